// The migration on real directories, where the platform lacks junctions (Wine) through the host-link stand-in of
// HostLinkEmulation.h: run, commit and archive; rollback of a failure and recovery from a crash at each journal
// write; every way a run must stop and what it must leave; the private descriptor and the descriptors refused.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <functional>
#include <regex>

#include "common/DesktopImpersonationSeam.h"
#include "common/Utf.h"
#include "migration/LegacyDataMigration.h"
#include "migration/MigrationSwitchSeam.h"
#include "tests/migration/HostLinkEmulation.h"
#include "tests/support/MessageOf.h"

namespace orvo {
namespace {

using test::isLink;
using test::messageOf;
using test::snapshotTree;
using Point = MigrationSwitchPoint;
using States = std::vector<std::uint32_t>;
constexpr wchar_t kId[] = L"0123456789abcdef0123456789abcdef", kReplay[] = L"\\saves\\deep\\replay.bin";

// The states recorded after a journal's header and saved descriptor, and the journal's run identity.
States statesOf(const std::string& j) {
  States states;
  for (std::size_t at = 124 + std::uint8_t(j[120]); at + 16 <= j.size(); at += 16) states.push_back(j[at + 4]);
  return states;
}
std::wstring idOf(const std::string& j) { std::wstring id; for (int i = 0; i < 32; ++i) id += j[16 + 2 * i]; return id; }
bool dir(const std::wstring& path) { return ::CreateDirectoryW(path.c_str(), nullptr); }
// The names in a directory, each run identity shown as '*'.
std::wstring namesIn(const std::wstring& d) {
  std::wstring all;
  for (const auto& name : listChildNames(d)) all += std::regex_replace(name, std::wregex(L"[0-9a-f]{32}"), L"*") + L"|";
  return all;
}
BOOL WINAPI refuseRevertToSelf() { return ::SetLastError(ERROR_ACCESS_DENIED), FALSE; }
BOOL WINAPI refuseSetThreadToken(PHANDLE, HANDLE) { return ::SetLastError(ERROR_ACCESS_DENIED), FALSE; }
const ThreadIdentityCalls kRevertRefused{&refuseRevertToSelf, &::SetThreadToken};
const ThreadIdentityCalls kSetRefused{&::RevertToSelf, &refuseSetThreadToken};

class LegacyMigration : public test::TempDirTest {
 public:
  void SetUp() override {
    root = temp.path();
    source = normalizeMigrationPath(temp / L"userdata");
    std::string large(600000, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 253);
    for (const wchar_t* d : {L"", L"\\saves", L"\\saves\\deep", L"\\empty"}) dir(source + d);
    const std::map<std::wstring, std::string> files{{L"\\a", "{}"}, {L"\\saves\\1", "1"}, {kReplay, large}};
    for (const auto& [name, bytes] : files) test::writeBytes(source + name, bytes);
    sourceTree = snapshotTree(source);
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token.put()));
  }
  void TearDown() override { bindMigrationSwitchObserver(nullptr); }

  // A fresh install directory whose ".platform" links to the user's data unless `linked` is false.
  void layout(const std::wstring& name, bool linked = true) {
    install = target = normalizeMigrationPath(temp / name);
    legacy = install + L"\\.platform";
    journalPath = install + L"\\.platform-migration-journal.bin";
    ASSERT_TRUE(dir(install));
    if (linked) test::makeDirectoryLink(legacy, source);
  }
  std::wstring named(const std::wstring& kind, const std::wstring& id) { return install + L"\\.platform.migration-" + kind + id; }
  // The live journal, or the archived one of run `id`.
  std::string journal(const std::wstring& id = L"") {
    return test::readBytes(id.empty() ? journalPath : named(L"journal-", id) + L".bin");
  }
  // Runs a fresh migration of `target` as the pipeline does: committed, or rolled back when it fails.
  std::string run() {
    return messageOf([&] {
      LegacyDataMigration migration(target, token.get());
      const std::string failure = messageOf([&] { migrated = migration.runMigration(), migration.commitMigration(); });
      if (failure != "no exception") migration.rollbackMigration(), throw std::runtime_error(failure);
    });
  }
  void failAt(Point point, std::function<void()> act = [] { throw std::runtime_error("injected"); }) {
    bindMigrationSwitchObserver([point, act](Point reached) { if (reached == point) act(); });
  }
  // A journal of run kId whose link and copy are the objects at ".platform" (p), at the parked name (k) or none.
  std::string craft(char link, char copy, const std::string& records) {
    const auto at = [&](char c) {
      const std::wstring path = c == 'p' ? legacy : c == 'k' ? named(L"original-", kId) : install;
      return c == 'x' ? FileIdentity{7, 8, 9} : readFileIdentity(openMigrationPath(path, 0, 7).get());
    };
    const auto head = encodeJournalHeader({1, 1, kId, 0, at('i'), at(link), at(copy), 28});
    std::string bytes = std::string(head.begin(), head.end()) + std::string("\x01\0\x04\x80", 4) + std::string(12, '\0');
    bytes += std::string("\x14\0\0\0\x02\0\x08\0\0\0\0\0", 12);
    for (char c : records) for (std::uint8_t b : encodeStateRecord(c - '0')) bytes += static_cast<char>(b);
    return bytes;
  }
  void put(const std::string& bytes) { test::writeBytes(journalPath, bytes); }

  test::HostLinks hostLinks;
  std::wstring root, source, install, target, legacy, journalPath;
  std::map<std::wstring, std::wstring> sourceTree;
  UniqueHandle token;
  bool migrated = false;
};

// Each row fails a run at a journal write, rolls it back and migrates again; then crashes a run there and lets the
// next run recover it. Every migration is then committed and archived by the run after it.
TEST_F(LegacyMigration, RollsBackAFailureOrRecoversACrashAtEachJournalWriteThenMigrates) {
  const struct { Point point; States rolledBack; bool copyPlaced; } rows[] = {
      {Point::JournalCreated, {5}, false}, {Point::LinkParkedOnDisk, {5}, false}, {Point::LinkParkedRecorded, {2, 5}, false},
      {Point::CopyPlacedOnDisk, {2, 5}, true}, {Point::CopyPlacedRecorded, {2, 3, 5}, true}};
  for (const auto& row : rows) {
    const std::wstring copy = row.copyPlaced ? L"preserved-" : L"copy-", other = row.copyPlaced ? L"copy-" : L"preserved-";
    layout(L"failed" + std::to_wstring(&row - rows));
    failAt(row.point);
    EXPECT_EQ(run(), "injected");
    bindMigrationSwitchObserver(nullptr);
    const std::string left = journal();
    const std::wstring failed = idOf(left);
    EXPECT_EQ(statesOf(left), row.rolledBack);
    EXPECT_TRUE(isLink(legacy) && snapshotTree(legacy) == sourceTree && snapshotTree(named(copy, failed)) == sourceTree);
    EXPECT_FALSE(test::directoryExists(named(other, failed)) || test::directoryExists(named(L"original-", failed)));
    EXPECT_EQ(run(), "no exception");
    const std::string committed = journal();
    const std::wstring id = idOf(committed), names = namesIn(install);
    EXPECT_TRUE(migrated && id != failed && journal(failed) == left && statesOf(committed) == (States{2, 3, 4}));
    EXPECT_TRUE((::GetFileAttributesW(legacy.c_str()) & 0x5450) == 0x10 && snapshotTree(legacy) == sourceTree);
    EXPECT_TRUE(isLink(named(L"original-", id)) && snapshotTree(named(L"original-", id)) == sourceTree);
    EXPECT_TRUE(std::count(names.begin(), names.end(), L'|') == 5 && snapshotTree(source) == sourceTree) << wideToUtf8(names);
    EXPECT_EQ(run(), "no exception");
    EXPECT_TRUE(!migrated && !test::fileExists(journalPath) && journal(id) == committed);

    layout(L"crashed" + std::to_wstring(&row - rows));
    const std::wstring arguments = L"\"" + install + L"\" " + std::to_wstring(static_cast<int>(row.point));
    const std::wstring runner = test::helperProgram(L"MigrationCrashRunner");
    ASSERT_EQ(test::runToExit(runner, arguments), 77u);
    const std::string crashed = journal();
    const std::wstring lost = idOf(crashed);
    if (row.point == Point::CopyPlacedRecorded) {
      ASSERT_TRUE(dir(named(L"preserved-", lost)));
      EXPECT_EQ(run(), "Migration recovery destination occupied");
      EXPECT_TRUE(journal() == crashed && isLink(named(L"original-", lost)));
      ASSERT_TRUE(::RemoveDirectoryW(named(L"preserved-", lost).c_str()));
    }
    EXPECT_EQ(run(), "no exception");
    EXPECT_TRUE(idOf(journal()) != lost && snapshotTree(legacy) == sourceTree && snapshotTree(source) == sourceTree);
    EXPECT_EQ(statesOf(journal(lost)).back(), 5u);
    EXPECT_TRUE(test::directoryExists(named(copy, lost)) && !test::directoryExists(named(other, lost)));
  }
  std::vector<MigrationTreeEntry> entries;  // the deepest tree the walk takes
  for (std::wstring deep = root + L"\\deep"; dir(deep), deep.size() < root.size() + 135;) deep += L"\\d";
  EXPECT_EQ(messageOf([&] { walkMigrationTree(root + L"\\deep\\d", L"", entries, 0); }), "no exception");
  UniqueHandle held = openMigrationPath(source + L"\\a", DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
  EXPECT_EQ(messageOf([&] { moveByHandle(held.get(), source + L"\\saves\\1"); }), "Migration atomic rename failed (183)");
}

std::wstring shortAlias(const std::wstring& path) {
  wchar_t text[MAX_PATH];
  return normalizeMigrationPath(std::wstring(text, ::GetShortPathNameW(path.c_str(), text, MAX_PATH)));
}

// Every row stops the run (twice when a journal was there before it) and leaves exactly `names` in the install
// directory, the user's data intact and a journal that was there unchanged, unless it was cut and archived.
TEST_F(LegacyMigration, StopsWhereItMustAndLeavesEverythingAsItWas) {
  using F = LegacyMigration;
  static const auto linkTo = [](F& f, const std::wstring& to) { dir(to), test::makeDirectoryLink(f.legacy, to); };
  static const auto onCopy = [](F& f, std::function<void(const std::wstring&)> change) {
    linkTo(f, f.source);
    f.failAt(Point::SourceCopied, [&f, change] { change(f.install + L"\\" + listChildNames(f.install)[1]); });
  };
  static const auto streams = [](F& f, StreamListing listing) { linkTo(f, f.source), f.hostLinks.emulation.streams = listing; };
  static const auto patch = [](F& f, int at, char value, std::size_t size = 152) {
    std::string b = f.craft('x', 'x', "");
    b[at] = value, b.resize(size), f.put(b);
  };
  const std::wstring j = L".platform-migration-journal.bin|", pj = L".platform|" + j, p = L".platform|",
                     copy = p + L".platform.migration-copy-*|", archived = L".platform.migration-journal-*.bin|";
  const std::string overlap = "Migration source overlaps installation", junction = "Migration original junction changed",
                    identity = "Migration journal identity invalid", metadata = "Migration saved security metadata invalid",
                    bounded = "Migration journal is not an ordinary bounded file", copied = "Migration copied tree changed",
                    alternate = "Migration rejects alternate file streams", unavailable = "Migration identity unavailable";
  const struct { const wchar_t* label; void (*arrange)(F&); std::string message; std::wstring names; } rows[] = {
      {L"OrdinaryDirectory", [](F& f) { dir(f.legacy); }, "no exception", p},
      {L"FileAtPlatform", [](F& f) { test::writeBytes(f.legacy, ""); }, "Migration personal data is not an ordinary directory", p},
      {L"SourceInsideInstall", [](F& f) { linkTo(f, f.install + L"\\data"); }, overlap, p + L"data|"},
      {L"SourceAboveInstall", [](F& f) { linkTo(f, f.root); }, overlap, p},
      {L"SourceInsideAlias", [](F& f) { linkTo(f, f.install + L"\\data"), f.target = shortAlias(f.install); }, overlap, p + L"data|"},
      {L"SourceAboveAlias", [](F& f) { linkTo(f, f.root), f.target = shortAlias(f.install); }, overlap, p},
      {L"ThreadStaysTheUser", [](F& f) { linkTo(f, f.source), bindThreadIdentityCalls(&kRevertRefused); }, unavailable, p},
      {L"ThreadCannotGoBack",
       [](F& f) { linkTo(f, f.source), ::ImpersonateSelf(SecurityImpersonation), bindThreadIdentityCalls(&kSetRefused); },
       unavailable, p},
      {L"InstallThroughAFile", [](F& f) { test::writeBytes(f.target += L"\\f", ""); }, "Migration rejects linked parent directories",
       L"f|"},
      {L"NestedTooDeep",
       [](F& f) { linkTo(f, f.root + L"\\n"); for (std::wstring d = f.root + L"\\n"; d.size() < f.root.size() + 132;) dir(d += L"\\d"); },
       "Migration data tree exceeds safety bounds", p},
      {L"HardLinkedFile", [](F& f) {
         linkTo(f, f.root + L"\\h"), test::writeBytes(f.root + L"\\h\\a", "");
         ::CreateHardLinkW((f.root + L"\\h\\b").c_str(), (f.root + L"\\h\\a").c_str(), nullptr);
       },
       "Migration rejects linked or special files", p},
      {L"NameEndingInADot", [](F& f) { linkTo(f, f.root + L"\\dot"), test::writeBytes(L"\\\\?\\" + f.root + L"\\dot\\bad.", ""); },
       "Migration directory enumeration failed", p},
      {L"StreamsNotListed", [](F& f) { streams(f, {}); }, "Migration file streams cannot be verified", p},
      {L"ZoneMarker", [](F& f) { streams(f, {true, false, {L"::$DATA", L":Zone.Identifier:$DATA"}}); }, alternate, p},
      {L"OnlyANamedStream", [](F& f) { streams(f, {true, true, {L":hidden:$DATA"}}); }, alternate, p},
      {L"StreamListingCutShort", [](F& f) { streams(f, {true, false, {L"::$DATA"}}); }, alternate, p},
      {L"SourceGainedAFile", [](F& f) { onCopy(f, [&f](auto&) { test::writeBytes(f.source + L"\\new", ""); }); },
       "Migration source tree changed", copy},
      {L"CopiedFileRewritten", [](F& f) { onCopy(f, [](auto& c) { test::writeBytes(c + kReplay, test::readBytes(c + kReplay) + "!"); }); },
       copied, copy},
      {L"CopiedTreeGainedAFile", [](F& f) { onCopy(f, [](auto& c) { test::writeBytes(c + L"\\empty\\x", ""); }); }, copied, copy},
      // The host's link is replaced by name; a junction would be rewritten in place, as the run holds it.
      {L"LinkRetargeted", [](F& f) { onCopy(f, [&f](auto&) { test::removeDirectoryLink(f.legacy), linkTo(f, f.root + L"\\x"); }); },
       junction, copy},
      {L"StrangerAtPlatformAfterTheLinkMoved",
       [](F& f) { linkTo(f, f.source), f.failAt(Point::LinkParkedRecorded, [&f] { dir(f.legacy), throw std::runtime_error(""); }); },
       "Migration rollback personal data identity changed", pj + L".platform.migration-copy-*|.platform.migration-original-*|"},
      {L"CommittedCopyReplaced", [](F& f) { dir(f.legacy), f.put(f.craft('x', 'x', "234")); }, "Migration recovery identity mismatch",
       pj},
      {L"CommittedCopyIsAFile", [](F& f) { test::writeBytes(f.legacy, ""), f.put(f.craft('x', 'p', "234")); },
       "Migration recovery not directory", pj},
      {L"LinkMissing", [](F& f) { f.put(f.craft('x', 'x', "2")); }, "Migration recovery original data link missing", j},
      {L"DirectoryRecordedAsTheLink", [](F& f) { dir(f.legacy), f.put(f.craft('p', 'x', "")); }, junction, pj},
      {L"ParkedDirectory", [](F& f) { dir(f.named(L"original-", kId)), f.put(f.craft('k', 'x', "2")); }, junction,
       j + L".platform.migration-original-*|"},
      {L"RolledBackDirectory", [](F& f) { dir(f.legacy), f.put(f.craft('p', 'x', "25")); }, junction, pj},
      {L"HistoryPastItsBound", [](F& f) { f.put(f.craft('x', 'x', std::string(65, '2'))); },
       "Migration state history exceeds safety bound", j},
      {L"HeaderStateNotCreated", [](F& f) { patch(f, 12, 3); }, identity, j},
      {L"OtherInstallDirectory", [](F& f) { patch(f, 84, 1); }, identity, j},
      {L"DescriptorWithAnOwner", [](F& f) { patch(f, 128, 20); }, metadata, j},
      {L"NoDescriptor", [](F& f) { patch(f, 120, 0, 124); }, metadata, j},
      {L"PastItsBound", [](F& f) { patch(f, 0, 'O', 66685); }, bounded, j},
      {L"HardLinked",
       [](F& f) { f.put(""), ::CreateHardLinkW((f.install + L"\\2").c_str(), f.journalPath.c_str(), nullptr), patch(f, 0, 'O'); },
       bounded, j + L"2|"},
      {L"CutInTheHeader", [](F& f) { patch(f, 0, 'O', 60); }, "no exception", archived},
      {L"CutInTheDescriptor", [](F& f) { patch(f, 0, 'O', 151); }, "no exception", archived}};
  for (const auto& row : rows) {
    layout(row.label, false);
    row.arrange(*this);
    const std::string left = test::fileExists(journalPath) ? journal() : "";
    for (int attempt = left.empty(); attempt < 2; ++attempt) EXPECT_EQ(run(), row.message) << wideToUtf8(row.label);
    bindThreadIdentityCalls(nullptr), ::RevertToSelf(), bindMigrationSwitchObserver(nullptr);
    hostLinks.emulation.streams = {true, true, {L"::$DATA"}};
    EXPECT_FALSE(migrated);
    EXPECT_EQ(namesIn(install), row.names) << wideToUtf8(row.label);
    const std::string after = test::fileExists(journalPath) ? journal() : "";
    EXPECT_TRUE(left.empty() || after == (row.names == archived ? "" : left)) << wideToUtf8(row.label);
    auto now = snapshotTree(source);
    for (const auto& [path, digest] : sourceTree) EXPECT_EQ(now[path], digest) << wideToUtf8(row.label + path);
  }
  ::DeleteFileW((L"\\\\?\\" + root + L"\\dot\\bad.").c_str());
}

TEST_F(LegacyMigration, BuildsTheUsersPrivateDescriptorAndRefusesDescriptorsItCannotTrust) {
  UniqueSecurityDescriptor built = buildPrivateSecurityDescriptor(token.get());
  UniqueLocal<wchar_t*> text;
  const SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION;
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(built.get(), 1, parts, text.put(), nullptr));
  const std::wregex expected(L"D:P\\(A;OICI;FA;;;SY\\)\\(A;OICI;FA;;;BA\\)\\(A;OICI;FA;;;S-1-5-21-[-0-9]+\\)");
  EXPECT_TRUE(std::regex_match(text.get(), expected)) << wideToUtf8(text.get());
  SECURITY_DESCRIPTOR nullDacl{};  // everyone may do anything: no ACL the journal could keep
  ::InitializeSecurityDescriptor(&nullDacl, 1), ::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
  SECURITY_ATTRIBUTES everyone{sizeof(everyone), &nullDacl, FALSE};
  UniqueHandle event(::CreateEventW(&everyone, TRUE, FALSE, nullptr));
  UniqueHandle held = openMigrationPath(source, WRITE_DAC | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE);
  const std::vector<std::uint8_t> withOwner{1, 0, 4, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 2, 0, 8, 0, 0, 0, 0, 0};
  const std::string invalid = "Migration saved ACL invalid";
  const std::pair<std::function<void()>, std::string> rows[] = {
      {[&] { buildPrivateSecurityDescriptor(event.get()); }, "Migration user identity unavailable"},
      {[&] { saveObjectDacl(event.get()); }, "Migration ACL snapshot failed"},
      {[&] { restoreSavedDacl(held.get(), saveObjectDacl(held.get())); }, "no exception"},
      {[&] { restoreSavedDacl(held.get(), withOwner); }, invalid}, {[&] { restoreSavedDacl(held.get(), {}); }, invalid}};
  for (const auto& [action, message] : rows) EXPECT_EQ(messageOf(action), message) << message;
}

}  // namespace
}  // namespace orvo
