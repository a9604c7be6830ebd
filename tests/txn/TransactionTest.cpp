// The file transaction: its path and manifest rules, the bytes of its journal, the marker's grammar, and on real
// files every crash point, every refusal and rollback rule, the recovery of what an earlier run left, and the
// installation marker it installs last.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "payload/Sha256.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"
#include "txn/FileTransaction.h"
#include "txn/InstallationMarker.h"
#include "txn/MarkerGrammar.h"
#include "txn/TransactionPathRules.h"
#include "txn/TransactionPaths.h"

using namespace orvo;
using namespace orvo::test;

namespace {

const DigestFile fileDigest = [](const std::wstring& path) { return sha256File(path); };
const std::string Ok = "no exception";
const std::wstring A(64, L'a'), B(64, L'b'), C(64, L'c'), Rel = L"!Unsafe transaction relative path",
    Comp = L"!Unsafe transaction path component", Dev = L"!Reserved transaction path",
    Input = L"!Invalid transaction input", Dup = L"!Duplicate or invalid transaction manifest";

// r: a manifest path, i: an install root (accepted: their normal form); t: the root of a transaction, a: its area,
// n: a manifest of that many entries, m: one of "|"-separated paths, d: one entry with that digest.
std::wstring pathVerdict(char kind, const std::wstring& in) {
  try {
    if (kind == 'r') return normalizeRelativePath(in);
    if (kind == 'i') return normalizeInstallRoot(in);
    std::vector<TransactionEntry> entries(kind == 'd' || kind == 't' || kind == 'a', {L"a", 1, kind == 'd' ? in : A});
    for (int i = 0; kind == 'n' && i < std::stoi(in); ++i) entries.push_back({L"f" + std::to_wstring(i), 1, A});
    std::wistringstream list(kind == 'm' ? in : L"");
    for (std::wstring path; std::getline(list, path, L'|');) entries.push_back({path, 1, A});
    const FileTransaction transaction(kind == 't' || kind == 'a' ? in : L"C:\\Games\\Platform", entries, fileDigest);
    return kind == 'a' ? transaction.areaPath() : L"ok";
  } catch (const std::exception& error) {
    return L"!" + std::wstring(error.what(), error.what() + std::strlen(error.what()));
  }
}

// Kind, verdict ("=": the input itself), inputs.
const std::vector<std::tuple<char, std::wstring, std::vector<std::wstring>>> PathRows{
    {'r', L"=", {L"console", L"com10", L"lpt", L"com", L"auxiliary", L"com1x", L"nul1", std::wstring(240, L'a'), L"a\\b"}},
    {'r', L"Bin\\Plugins\\X.dll", {L"Bin/Plugins\\X.dll"}},
    {'r', Rel, {std::wstring(241, L'a'), L"", L"/a", L"\\a", L"\\\\server\\share", L"C:\\x", L"a:b", L"a*", L"a?"}},
    {'r', Rel, {L"a\"b", L"a<b", L"a>b", L"a|b", L"a\rb", L"a\nb", L"a\tb"}},
    {'r', Comp, {L"a//b", L"a/b/", L"./a", L"a/../b", L"dir./f", L"dir /f", L"..", L"x."}},
    {'r', L"!Unsafe transaction path character", {std::wstring(L"a\x01" L"b"), L"a\x1f"}},
    {'r', Dev, {L"CON.txt", L"com0", L"Lpt9.log", L"Aux.dat", L"NUL", L"prn", L"dir/Com5.tar.gz/x"}},
    {'i', L"D:\\Games", {L"D:\\Games\\", L"D:/Games//Platform/./.."}},
    {'i', L"!Drive root is not an install target", {L"C:\\.\\", L"C:\\x\\..\\\\"}},
    {'i', Rel, {L"D:\\a:b", L"D:\\a*b", L"D:\\" + std::wstring(241, L'a')}},
    {'i', Dev, {L"D:\\Games\\CON"}},
    {'i', Comp, {L"D:\\Games \\x"}},
    {'i', L"!Unsafe transaction root", {L"\\\\server\\share\\dir", L"//server/share/dir"}},
    {'t', Input, {L"C:\\", L"C:", L"Games\\Platform", L"C:Games"}},
    {'a', L"C:\\Games\\.orvo-file-txn-0f5f6d7c7344f45828693249", {L"C:\\Games\\Platform", L"C:\\Games\\PLATFORM\\"}},
    {'n', L"ok", {L"1", L"512"}},
    {'n', Input, {L"0", L"513"}},
    {'m', L"ok", {L"a/b|a/bc|a/b-c/d"}},
    {'m', Dup, {L"Bin/a.dll|bin\\A.DLL"}},
    {'m', L"!Manifest file/directory collision", {L"data|data/x.bin", L"Data/x.bin|data"}},
    {'m', Comp, {L"a/../b"}},
    {'d', L"ok", {std::wstring(64, L'A'), std::wstring(64, L'f')}},
    {'d', Dup, {std::wstring(63, L'a'), std::wstring(65, L'a'), std::wstring(63, L'a') + L"g"}},
};

TEST(TransactionPathRules, EachInputGetsItsVerdict) {
  for (const auto& [kind, verdict, inputs] : PathRows)
    for (const auto& in : inputs) EXPECT_EQ(pathVerdict(kind, in), verdict == L"=" ? in : verdict) << kind << " " << in;
}

std::string u64(std::uint64_t n) { std::string b; for (int i = 0; i < 8; ++i) b += static_cast<char>(n >> 8 * i); return b; }
std::string s16(std::wstring_view t) { std::string b = u64(t.size()); for (wchar_t c : t) b += {char(c), char(c >> 8)}; return b; }

const std::vector<TransactionEntry> Entries{{L"bin\\Core.dll", 3, A}, {L"readme.txt", 11, B}};
// A prepared journal of two entries: the first replaces a 5-byte original, the second is new.
const std::vector<std::string> Fields{s16(L"ORVO-FILE-TXN-1"), s16(L"d:\\games\\platform"), u64(2), u64(0), u64(2),
                                      s16(L"bin\\Core.dll"), u64(3), s16(A), u64(1), u64(5), s16(C),
                                      s16(L"readme.txt"), u64(11), s16(B), u64(0), u64(0), s16(L"")};

// The journal with field `at` replaced by `with`, and ending there when `cut`.
std::string journal(std::size_t at = 99, const std::string& with = "", bool cut = false) {
  std::string bytes;
  for (std::size_t i = 0; i < Fields.size() && !(cut && i > at); ++i) bytes += i == at ? with : Fields[i];
  return bytes;
}
JournalProgress decode(const std::string& bytes) {
  return decodeJournal(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), L"d:\\games\\platform", Entries);
}

TEST(TransactionJournalFormat, EncodesTheFixedLayoutAndAdoptsWhatItReads) {
  EXPECT_EQ(journal().substr(0, 12), std::string("\x0f\0\0\0\0\0\0\0O\0R\0", 12));
  const auto bytes = encodeJournal(L"D:\\Games\\Platform", 2, 0, {Entries[0], {L"readme.txt", 11, std::wstring(64, L'B')}},
                                   {{true, 5, C}, {}});
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), journal());
  const JournalProgress p = decode(journal(2, u64(3)).replace(88, 8, u64(2)));
  EXPECT_EQ(std::make_tuple(p.state, p.applyCursor, p.originals.size()), std::make_tuple(3u, 2u, std::size_t{2}));
  EXPECT_EQ(std::tie(p.originals[0].existed, p.originals[0].size, p.originals[0].sha256, p.originals[1].existed),
            std::make_tuple(true, 5ull, C, false));
}


// A field replaced, and the journal ending there when `cut`.
struct Edit { std::size_t at; std::string with; bool cut = false; };
const std::vector<std::pair<std::string, std::vector<Edit>>> JournalRows{
    {Ok, {{2, u64(1)}, {2, u64(6)}, {3, u64(2)}, {10, s16(std::wstring(64, L'C'))}}},
    {"Transaction journal root mismatch", {{0, s16(L"ORVO-FILE-TXN-2")}, {1, s16(L"d:\\games\\other")}, {1, s16(std::wstring(32768, L'r'))}}},
    {"Invalid transaction journal string",
     {{1, s16(std::wstring(32769, L'r'))}, {1, u64(~0ull)}, {13, u64(64) + std::string(10, 'b'), true}, {5, u64(12) + "b", true}}},
    {"Transaction journal state mismatch", {{2, u64(0)}, {2, u64(7)}, {2, u64(0x100000001)}, {3, u64(3)}, {4, u64(1)}}},
    {"Transaction recovery manifest differs; original installer required", {{5, s16(L"bin\\core.dll")}, {6, u64(4)}, {7, s16(B)}}},
    {"Invalid original file journal",
     {{8, u64(2)}, {10, s16(std::wstring(63, L'c'))}, {10, s16(std::wstring(63, L'c') + L"g")}, {14, u64(1)}, {15, u64(4)}, {16, s16(L"c")}}},
    {"Unexpected transaction journal bytes", {{16, s16(L"") + '\0'}}},
    {"Truncated transaction journal", {{16, std::string(3, '\0'), true}, {2, "\2\0\0", true}}},
};

TEST(TransactionJournalFormat, EachMalformedJournalIsRefusedWithItsReason) {
  for (const auto& [verdict, edits] : JournalRows)
    for (const auto& e : edits) EXPECT_EQ(messageOf([&] { decode(journal(e.at, e.with, e.cut)); }), verdict) << e.at;
  for (auto [size, verdict] : std::vector<std::pair<std::uint64_t, std::string>>{
           {31, "Invalid transaction journal size"}, {32, Ok}, {1048576, Ok}, {1048577, "Invalid transaction journal size"}})
    EXPECT_EQ(messageOf([&] { checkJournalSize(size); }), verdict) << size;
}

const std::string P = R"("Product":"q9-platform-202")";
const std::vector<std::pair<std::string, std::vector<std::string>>> MarkerRows{
    {Ok, {"{" + P + "}\n", "\r\n{\r\n  \"Product\" : \"q9-platform-202\" ,\r\n\t\"Revision\" : 7\r\n}\r\n  ",
          R"({"Revision":123456789012345678,)" + P + "}", "{" + P + R"(,"Revision":0})", "{" + P + "}" + std::string(4067, ' ')}},
    {"Installation marker revision is invalid; existing file retained", {"{" + P + R"(,"Revision":007})",
     "{" + P + R"(,"Revision":"7"})", "{" + P + R"(,"Revision":1234567890123456789})", R"({"Revision":,"Product":"x"})"}},
    {"Installation marker is invalid; existing file retained", {"", "{}", "{", P, "{" + P, "{" + P + "} x", "{" + P + ",}",
     R"({"Revision":1})", "{" + P + R"("Revision":1})", "{" + P + R"(,"Revision":7x})", R"({"Product":"q9-platform-202\""})",
     R"({"Pro\duct":"q9-platform-202"})", "{" + P + ",\"Note\x01\":1}", "{" + P + "}" + std::string(4068, ' ')}},
    {"Installation marker belongs to another product; existing file retained",
     {R"({"Product":"q9-platform-203"})", R"({"Product":"Q9-PLATFORM-202"})", R"({"Product":202})", R"({"Product":"x","Owner":1})"}},
    {"Installation marker has private or unknown fields; existing file retained", {"{" + P + R"(,"Owner":"me"})",
     R"({"product":"x"})", "{" + P + "," + P + "}", "{" + P + R"(,"Revision":1,"Revision":1})", R"({"Owner":1,"Product":"x"})"}},
};

TEST(MarkerGrammar, EachTextGetsItsVerdict) {
  EXPECT_EQ(DefaultMarkerContent, "{" + P + "}\n");
  for (const auto& [verdict, texts] : MarkerRows)
    for (const auto& text : texts) EXPECT_EQ(messageOf([&] { validateMarker(text); }), verdict) << text;
}


// "/"-separated relative path to content; a file open without read sharing (a live lease) reads as "<held>".
using FileTree = std::map<std::wstring, std::string>;

void writeTree(const std::wstring& root, const FileTree& files) {
  for (const auto& [relative, content] : files) {
    const std::filesystem::path path = std::filesystem::path(root) / relative;
    std::filesystem::create_directories(path.parent_path()), writeBytes(path.wstring(), content);
  }
}
FileTree readTree(const std::wstring& root) {
  FileTree files;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    std::ifstream in(item.path(), std::ios::binary);
    if (!item.is_regular_file()) continue;
    files[item.path().lexically_relative(root).generic_wstring()] = in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<held>";
  }
  return files;
}
FileTree with(FileTree tree, const FileTree& changes) {
  for (const auto& [path, content] : changes) content.empty() ? void(tree.erase(path)) : void(tree[path] = content);
  return tree;
}
// "b.bin" keeps its size: only its digest tells old from new.
const FileTree Old{{L"a.bin", "old a"}, {L"b.bin", "old b"}, {L"mine.txt", "the user's"}};
const FileTree Fresh{{L"a.bin", "new a, longer"}, {L"b.bin", "new b"}, {L"c/new.bin", "new c"}};
const FileTree New = with(Fresh, {{L"mine.txt", "the user's"}});

class Txn : public TempDirTest {
 protected:
  std::wstring games = temp / L"Games", root = games + L"\\Platform", candidate = temp / L"candidate";
  std::vector<std::string> events;
  std::function<void()> onEvent = [] {};
  std::vector<std::wstring> swaps;  // moved aside, if they can be, while the original is digested

  std::vector<TransactionEntry> manifest(const FileTree& files) {
    writeTree(candidate, files);
    std::vector<TransactionEntry> entries;
    for (const auto& [path, content] : files) entries.push_back({path, content.size(), fileDigest(candidate + L"\\" + path)});
    return entries;
  }
  std::unique_ptr<FileTransaction> start() {
    removeTree(games), writeTree(root, Old), std::filesystem::create_directories(temp / L"elsewhere");
    const DigestFile digest = [this](const std::wstring& path) {
      for (const auto& name : path == root + L"\\b.bin" ? std::exchange(swaps, {}) : std::vector<std::wstring>{}) {
        if (::MoveFileW(name.c_str(), (name + L".aside").c_str())) throw std::runtime_error("swapped");
      }
      return fileDigest(path);
    };
    return std::make_unique<FileTransaction>(root, manifest(Fresh), digest, CheckCancelled{}, [this](const char* label, std::uint64_t i) {
      events.push_back(std::string(label) + " " + std::to_string(i));
      onEvent();
    });
  }
};

// The disk as each event left it is what a crash there leaves: a later run recovers the old files from it, or the
// new ones once the journal said Committed, and removes the area either way. Forward, then rolling back a full and a
// partial apply.
TEST_F(Txn, EveryCrashPointRecoversToTheOldOrTheCommittedFiles) {
  const std::vector<std::vector<std::string>> runs{
      {"journal-created 0", "prepared-file 0", "prepared-file 1", "prepared-file 2", "prepared 0", "before-replace 0",
       "after-replace 0", "before-replace 1", "after-replace 1", "before-replace 2", "after-replace 2", "applied 0", "committed 0"},
      {"rolled-back-file 2", "rolled-back-file 1", "rolled-back-file 0", "rolled-back 0"}, {"rolled-back-file 0", "rolled-back 0"}};
  for (std::size_t run = 0; run < runs.size(); ++run) {
    std::vector<FileTree> disks;
    auto t = start();
    if (run == 0) onEvent = [&] { disks.push_back(readTree(games)); };
    if (run == 2) onEvent = [&] { if (events.back() == "after-replace 0") throw std::runtime_error("stopped"); };
    t->prepare(candidate);
    messageOf([&] { t->apply(); });
    if (run > 0) events.clear(), onEvent = [&] { disks.push_back(readTree(games)); };
    run == 0 ? t->commit() : t->rollback();
    ASSERT_EQ(events, runs[run]);
    // Staged copies that were never moved go before the rollback's journal, which a full disk may need room for.
    for (const auto& [path, content] : run == 2 ? disks.back() : FileTree{}) EXPECT_EQ(path.find(L"/new-"), path.npos) << path;
    for (std::size_t k = 0; k < disks.size(); ++k) {
      removeTree(games), writeTree(games, disks[k]);
      FileTransaction later(root, manifest(Fresh), fileDigest);
      EXPECT_EQ(messageOf([&] { later.recover(); }), "no exception") << events[k];
      EXPECT_EQ(readTree(root), run == 0 && k + 1 == disks.size() ? New : Old) << events[k];
      EXPECT_FALSE(later.probeArea().has_value()) << events[k];
    }
  }
}

// A change at a stage (0: before preparation, 1: after it, 2: after apply, then commit; 3: after apply, then roll
// back) to a path under the root (r/), the area (a/) or the candidate (c/), or a call out of turn: the first
// failure, and what the root holds once the transaction is gone. Another's file is never overwritten or deleted, an
// earlier run's area without a journal to finish is removed only when nothing but its lease is there, and the
// checked candidate and the examined original stay held until they are copied.
struct Case { int stage; std::vector<std::pair<std::wstring, std::string>> changes; std::string failure; FileTree after; };
const std::string Unknown = "Unknown transaction area content; refusing cleanup", Link = "Transaction refuses reparse paths",
                  Missing = "Transaction journal missing; area retained for inspection";
const std::vector<Case> Cases{
    {3, {}, Ok, Old},
    {2, {}, Ok, New},
    {0, {{L"r/a.bin", "<ro>"}}, "Destination is directory or read-only", Old},
    {0, {{L"r/b.bin", "<held>"}}, "Destination file is locked; installation not changed", Old},
    {0, {{L"c/b.bin", "new B"}}, "Candidate file differs from manifest", Old},
    {0, {{L"r/c", "<link>"}}, Link, Old},
    {0, {{L"", "<apply>"}}, "Transaction is not prepared", Old},
    {1, {{L"", "<commit>"}}, "Transaction has not applied all files", Old},
    {1, {{L"", "<prepare>"}}, "Recover existing transaction before preparation", Old},
    {2, {{L"", "<apply>"}}, "Transaction is not prepared", Old},
    {1, {{L"r/b.bin", "user b"}}, "Destination changed since backup", with(Old, {{L"b.bin", "user b"}})},
    {1, {{L"r/c/new.bin", "theirs"}}, "New destination unexpectedly exists", with(Old, {{L"c/new.bin", "theirs"}})},
    {1, {{L"a/new-1", "new B"}}, "Candidate changed before apply", Old},
    {1, {{L"r/c", "a file"}}, "Transaction directory missing or conflicting", with(Old, {{L"c", "a file"}})},
    {2, {{L"a/journal.tmp", "<held>"}}, "Cannot persist transaction journal", Old},
    {2, {{L"r/a.bin", "user a"}}, "Installed candidate changed before commit", with(Old, {{L"a.bin", "user a"}})},
    {3, {{L"r/b.bin", "user b"}}, "Rollback conflict: externally modified file retained", with(New, {{L"b.bin", "user b"}, {L"c/new.bin", ""}})},
    {3, {{L"r/c/new.bin", "theirs"}}, "Rollback conflict: new external file retained", with(New, {{L"c/new.bin", "theirs"}})},
    {3, {{L"a/old-0", "old A"}}, "Rollback backup invalid; journal retained", with(Old, {{L"a.bin", "new a, longer"}})},
    {3, {{L"r/a.bin", "<held>"}}, "Rollback file locked; journal retained for retry", Old},
    {3, {{L"a/new-01", "x"}}, Unknown, New},
    {3, {{L"a/restore-1", "<dir>"}}, Unknown, New},
    {3, {{L"a/old-0", "<link>"}}, Link, New},
    {3, {{L"a/restore-1", "half a copy"}}, Ok, Old},
    {1, {{L"r/b.bin", "user b"}, {L"a/new-2", "<kept>"}}, "Destination changed since backup", with(Old, {{L"b.bin", "user b"}})},
    {0, {{L"c/b.bin", "<swap>"}, {L"r/b.bin", "<swap>"}}, Ok, New},
    {1, {{L"", "<recover>"}}, "Another installer or recovery owns transaction", Old},
    {0, {{L"a/", "<dir>"}, {L"", "<recover>"}}, Ok, New},
    {0, {{L"a/lease.lock", ""}, {L"", "<recover>"}}, Ok, New},
    {0, {{L"a/lease.lock", ""}, {L"a/journal.tmp", "half"}, {L"", "<recover>"}}, Missing, Old},
    {0, {{L"a/lease.lock", ""}, {L"a/new-0", "staged"}, {L"", "<recover>"}}, Missing, Old},
    {0, {{L"a/notes.txt", "x"}, {L"", "<recover>"}}, Unknown, Old},
    {0, {{L"a/journal.bin", std::string(31, '\0')}, {L"", "<recover>"}}, "Invalid transaction journal size", Old},
};

TEST_F(Txn, EachChangeStopsTheRunWithItsReasonAndTheRollbackKeepsWhatIsNotOurs) {
  for (const Case& c : Cases) {
    std::vector<UniqueHandle> held, kept;
    auto t = start();
    const auto change = [&](int stage) {
      for (const auto& [where, what] : stage == c.stage ? c.changes : decltype(c.changes){}) {
        const std::wstring base = where[0] == L'a' ? t->areaPath() : where[0] == L'c' ? candidate : root;
        const std::wstring path = base + L"\\" + where.substr(where.empty() ? 0 : 2);
        if (what == "<apply>") t->apply();
        if (what == "<commit>") t->commit();
        if (what == "<prepare>") t->prepare(candidate);
        if (what == "<recover>") FileTransaction(root, manifest(Fresh), fileDigest).recover();
        if (what == "<swap>") swaps.push_back(path);
        if (what == "<ro>") ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
        if (what == "<dir>") std::filesystem::create_directories(path);
        if (what == "<link>") removeTree(path), makeDirectoryLink(path, temp / L"elsewhere");
        if (what == "<held>" || what == "<kept>")
          (what == "<held>" ? held : kept)
              .emplace_back(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
        if (what[0] != '<') writeTree(L"", {{path, what}});
      }
    };
    const std::string failure = messageOf(
        [&] { change(0), t->prepare(candidate), change(1), t->apply(), change(2), change(3), c.stage == 3 ? t->rollback() : t->commit(); });
    EXPECT_EQ(failure, c.failure) << "row " << &c - Cases.data();
    held.clear();
    t.reset();  // its destructor rolls back what is unfinished
    EXPECT_EQ(readTree(root), c.after) << "row " << &c - Cases.data();
  }
}

// The marker staged into the candidate and listed last: the installed one byte for byte, or the default; anything
// not exactly ours is refused with the installed file left as it was. A later change to the installed one shows.
TEST_F(Txn, TheMarkerIsCarriedOverOrDefaultedAndAnythingNotOursIsRefused) {
  const std::string crlf = "{\r\n  \"Product\" : \"q9-platform-202\" ,\r\n  \"Revision\" : 7\r\n}\r\n", ours = R"({"Product":"q9-platform-202")";
  const std::wstring marker = root + L"\\" + MarkerFileName;
  for (const auto& [installed, offered, result] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"", "", ours + "}\n"}, {crlf, ours + "}", crlf},
           {R"({"Product":"someone-else"})", "", "!Installation marker belongs to another product; existing file retained"},
           {ours + "}" + std::string(4068, ' '), "", "!Installation marker is missing or too large; existing file retained"},
           {"<dir>", "", "!Installation marker is a directory; existing path retained"},
           {"<link>", "", "!Installation marker cannot use links; existing file retained"},
           {"", ours + R"(,"Secret":1})", "!Installation marker has private or unknown fields; existing file retained"}}) {
    removeTree(games), removeTree(candidate), std::filesystem::create_directories(candidate);
    if (installed == "<link>") std::filesystem::create_directories(games), makeDirectoryLink(root, candidate);
    if (installed == "<dir>") std::filesystem::create_directories(marker);
    if (installed[0] != '<' && !installed.empty()) writeTree(root, {{MarkerFileName, installed}});
    if (!offered.empty()) writeTree(candidate, {{MarkerFileName, offered}});
    std::vector<TransactionEntry> entries{{L"Platform-Installation.JSON", 9, {}}, {L"q9.dll", 1, {}}};
    MarkerSnapshot snapshot;
    const std::string failure = messageOf([&] { snapshot = prepareMarker(candidate, root, entries, fileDigest); });
    if (installed[0] != '<') { EXPECT_EQ(fileExists(marker) ? readBytes(marker) : "", installed); }
    if (result[0] == '!') { EXPECT_EQ("!" + failure, result); continue; }
    EXPECT_EQ(readTree(candidate), (FileTree{{MarkerFileName, result}}));
    EXPECT_EQ(std::make_tuple(entries.size(), entries.back().relativePath, entries.back().size, entries.back().sha256),
              std::make_tuple(std::size_t{2}, std::wstring(MarkerFileName), result.size(), fileDigest(candidate + L"\\" + MarkerFileName)));
    EXPECT_EQ(messageOf([&] { verifyMarkerUnchanged(root, snapshot); }), Ok);
    installed.empty() ? writeTree(root, {{MarkerFileName, result}}) : removeTree(marker);
    EXPECT_EQ(messageOf([&] { verifyMarkerUnchanged(root, snapshot); }), "Installation marker changed during preparation; existing file retained");
  }
}

}  // namespace
