// The migration's file-system building blocks against real directories and
// files: pinned chains, listings, digests, moves by handle and the tree walk.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "migration/MigrationPaths.h"
#include "payload/Sha256.h"
#include "tests/migration/HostLinkEmulation.h"
#include "tests/migration/MigrationTestSupport.h"
#include "tests/support/TestSupport.h"

namespace orvo {
namespace {

using test::messageOf;

void makeDirectory(const std::wstring& path) {
  if (!::CreateDirectoryW(path.c_str(), nullptr)) throw std::runtime_error("CreateDirectoryW failed");
}

std::wstring hexOf(const Sha256Digest& digest) { return digestToHex(digest.data(), digest.size()); }

class MigrationPaths : public test::TempDirTest {
 protected:
  void SetUp() override { root = normalizeMigrationPath(temp.path()); }
  std::wstring root;
};

TEST_F(MigrationPaths, PinsEveryDirectoryFromTheDriveRootDown) {
  makeDirectory(root + L"\\a");
  makeDirectory(root + L"\\a\\b");
  const std::wstring path = root + L"\\a\\b";
  PinnedChain chain = pinMigrationChain(path);
  std::size_t separators = 0;
  for (wchar_t c : path) separators += c == L'\\' ? 1 : 0;
  EXPECT_EQ(chain.size(), separators + 1);
  EXPECT_EQ(readFileIdentity(chain.last()), test::identityOfPath(path));
}

TEST_F(MigrationPaths, HeldChainKeepsItsDirectoriesFromBeingOpenedForDeletion) {
  makeDirectory(root + L"\\a");
  makeDirectory(root + L"\\a\\b");
  auto openForDeletion = [&](const std::wstring& path) {
    return UniqueHandle(::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  };
  {
    // Probe: does this platform enforce share modes on directories at all?
    UniqueHandle holder(::CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(holder.valid());
    if (openForDeletion(root).valid()) {
      GTEST_SKIP() << "this platform does not enforce delete sharing on directories";
    }
  }
  PinnedChain chain = pinMigrationChain(root + L"\\a\\b");
  EXPECT_FALSE(openForDeletion(root + L"\\a\\b").valid());
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(openForDeletion(root + L"\\a").valid());
  chain.release();
  EXPECT_TRUE(openForDeletion(root + L"\\a\\b").valid());
}

TEST_F(MigrationPaths, RefusesToPinThroughAFile) {
  test::writeBytes(root + L"\\file", "x");
  EXPECT_EQ(messageOf([&] { pinMigrationChain(root + L"\\file"); }), "Migration rejects linked parent directories");
}

TEST_F(MigrationPaths, RefusesToPinAMissingDirectory) {
  EXPECT_EQ(messageOf([&] { pinMigrationChain(root + L"\\missing\\deeper"); }),
            "Migration file is inaccessible or in use");
}

TEST_F(MigrationPaths, RefusesToPinThroughAJunction) {
  if (!test::platformHasJunctions()) GTEST_SKIP() << "this platform cannot create junctions (FSCTL_SET_REPARSE_POINT fails)";
  makeDirectory(root + L"\\target");
  test::makeJunction(root + L"\\link", root + L"\\target");
  EXPECT_EQ(messageOf([&] { pinMigrationChain(root + L"\\link"); }), "Migration rejects linked parent directories");
}

TEST_F(MigrationPaths, ListsChildrenSortedByCodeUnits) {
  for (const wchar_t* name : {L"b", L"aa", L"a"}) test::writeBytes(root + L"\\" + name, "");
  makeDirectory(root + L"\\Zeta");
  makeDirectory(root + L"\\_dir");
  const std::vector<std::wstring> expected{L"Zeta", L"_dir", L"a", L"aa", L"b"};
  EXPECT_EQ(listChildNames(root), expected);
}

TEST_F(MigrationPaths, ListsAnEmptyDirectoryAsNoNames) { EXPECT_TRUE(listChildNames(root).empty()); }

TEST_F(MigrationPaths, RefusesToListAMissingDirectory) {
  EXPECT_EQ(messageOf([&] { listChildNames(root + L"\\missing"); }), "Migration directory cannot be enumerated");
}

TEST_F(MigrationPaths, FailsAListingWithANameEndingInADotAfterItRanToItsEnd) {
  // A raw name that Win32 path handling would strip, made through the
  // prefix that passes names to the file system as they are.
  test::writeBytes(root + L"\\good", "");
  UniqueHandle raw(::CreateFileW((L"\\\\?\\" + root + L"\\bad.").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(raw.valid());
  raw.reset();
  bool seen = false;
  WIN32_FIND_DATAW data{};
  UniqueFindHandle find(::FindFirstFileW((root + L"\\*").c_str(), &data));
  ASSERT_TRUE(find.valid());
  do {
    seen = seen || std::wstring(data.cFileName) == L"bad.";
  } while (::FindNextFileW(find.get(), &data));
  if (!seen) GTEST_SKIP() << "this platform does not show a raw name ending in a dot";
  EXPECT_EQ(messageOf([&] { listChildNames(root); }), "Migration directory enumeration failed");
  EXPECT_TRUE(::DeleteFileW((L"\\\\?\\" + root + L"\\bad.").c_str()));
}

TEST_F(MigrationPaths, HashesAnOpenFileLikeAnIndependentDigest) {
  std::string content(600000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) % 251);
  const std::wstring file = root + L"\\big.bin";
  test::writeBytes(file, content);
  UniqueHandle handle = openMigrationPath(file, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(hexOf(hashOpenFile(handle.get())), sha256File(file));
  // Hashing starts again from the beginning wherever the pointer stood.
  EXPECT_EQ(hexOf(hashOpenFile(handle.get())), sha256File(file));
}

TEST_F(MigrationPaths, HashesTheKnownDigestOfAbc) {
  const std::wstring file = root + L"\\abc.txt";
  test::writeBytes(file, "abc");
  UniqueHandle handle = openMigrationPath(file, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(hexOf(hashOpenFile(handle.get())), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(MigrationPaths, MovesTheHeldDirectoryWhateverItsNameBecame) {
  makeDirectory(root + L"\\original");
  test::writeBytes(root + L"\\original\\inside.txt", "data");
  const FileIdentity before = test::identityOfPath(root + L"\\original");
  UniqueHandle handle = openMigrationPath(root + L"\\original", DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
  moveByHandle(handle.get(), root + L"\\moved");
  handle.reset();
  EXPECT_FALSE(test::directoryExists(root + L"\\original"));
  EXPECT_EQ(test::identityOfPath(root + L"\\moved"), before);
  EXPECT_EQ(test::readBytes(root + L"\\moved\\inside.txt"), "data");
}

TEST_F(MigrationPaths, RefusesToMoveOntoAnExistingObject) {
  test::writeBytes(root + L"\\source.txt", "source");
  test::writeBytes(root + L"\\target.txt", "target");
  UniqueHandle handle = openMigrationPath(root + L"\\source.txt", DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
  const std::string message = messageOf([&] { moveByHandle(handle.get(), root + L"\\target.txt"); });
  handle.reset();
  EXPECT_EQ(message.rfind("Migration atomic rename failed (", 0), 0u) << message;
  EXPECT_EQ(message.back(), ')');
  EXPECT_NE(message, "Migration atomic rename failed (0)");
  EXPECT_EQ(test::readBytes(root + L"\\target.txt"), "target");
  EXPECT_EQ(test::readBytes(root + L"\\source.txt"), "source");
}

TEST_F(MigrationPaths, WalksAnEmptyDirectoryToNoEntries) {
  std::vector<MigrationTreeEntry> entries;
  walkMigrationTree(root, L"", entries, 0);
  EXPECT_TRUE(entries.empty());
}

std::wstring nestDirectories(const std::wstring& root, int levels) {
  std::wstring path = root;
  for (int i = 0; i < levels; ++i) {
    path += L"\\d";
    makeDirectory(path);
  }
  return path;
}

TEST_F(MigrationPaths, WalksADirectoryNestedSixtyFourLevels) {
  nestDirectories(root, 64);
  std::vector<MigrationTreeEntry> entries;
  walkMigrationTree(root, L"", entries, 0);
  ASSERT_EQ(entries.size(), 64u);
  EXPECT_EQ(entries.front().relativePath, L"d");
  EXPECT_TRUE(entries.back().isDirectory);
  EXPECT_EQ(entries.back().relativePath.size(), 64u * 2 - 1);
}

TEST_F(MigrationPaths, RefusesADirectoryNestedSixtyFiveLevels) {
  nestDirectories(root, 65);
  std::vector<MigrationTreeEntry> entries;
  EXPECT_EQ(messageOf([&] { walkMigrationTree(root, L"", entries, 0); }), "Migration data tree exceeds safety bounds");
}

TEST_F(MigrationPaths, WalkHoldsEveryEntrySharedForReadOnly) {
  makeDirectory(root + L"\\dir");
  makeDirectory(root + L"\\dir\\sub");
  std::vector<MigrationTreeEntry> entries;
  walkMigrationTree(root, L"", entries, 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].relativePath, L"dir");
  EXPECT_EQ(entries[1].relativePath, L"dir\\sub");
  // A writer cannot open what the walk holds.
  UniqueHandle writer(::CreateFileW((root + L"\\dir\\sub").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  EXPECT_FALSE(writer.valid());
  EXPECT_FALSE(::RemoveDirectoryW((root + L"\\dir\\sub").c_str()));
  entries.clear();
  EXPECT_TRUE(::RemoveDirectoryW((root + L"\\dir\\sub").c_str()));
}

TEST_F(MigrationPaths, RefusesAFileWithASecondHardLink) {
  test::writeBytes(root + L"\\file.txt", "x");
  ASSERT_TRUE(::CreateHardLinkW((root + L"\\second.txt").c_str(), (root + L"\\file.txt").c_str(), nullptr));
  std::vector<MigrationTreeEntry> entries;
  EXPECT_EQ(messageOf([&] { walkMigrationTree(root, L"", entries, 0); }), "Migration rejects linked or special files");
}

TEST_F(MigrationPaths, RefusesAStreamCheckOnAMissingFile) {
  EXPECT_EQ(messageOf([&] { requireSingleDataStream(root + L"\\missing.txt"); }),
            "Migration file streams cannot be verified");
}

TEST_F(MigrationPaths, AcceptsAFileWithOnlyItsDataStream) {
  if (!test::platformHasFileStreams()) GTEST_SKIP() << "this platform cannot enumerate file streams (FindFirstStreamW fails)";
  test::writeBytes(root + L"\\plain.txt", "plain");
  EXPECT_NO_THROW(requireSingleDataStream(root + L"\\plain.txt"));
}

TEST_F(MigrationPaths, RefusesAFileWithANamedStream) {
  if (!test::platformHasFileStreams()) GTEST_SKIP() << "this platform cannot enumerate file streams (FindFirstStreamW fails)";
  test::writeBytes(root + L"\\download.exe", "program");
  test::writeBytes(root + L"\\download.exe:Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\n");
  EXPECT_EQ(messageOf([&] { requireSingleDataStream(root + L"\\download.exe"); }),
            "Migration rejects alternate file streams");
  std::vector<MigrationTreeEntry> entries;
  EXPECT_EQ(messageOf([&] { walkMigrationTree(root, L"", entries, 0); }), "Migration rejects alternate file streams");
}

// What a stream enumeration found, and whether the file is accepted: only its
// one unnamed data stream, enumerated to the end, passes.
struct StreamCase {
  const char* label;
  StreamListing listing;
  const char* message;  // "no exception": accepted
};

// Answers every stream enumeration with the row's listing; nothing else of
// the link seam is used by the rule.
class CraftedStreams final : public MigrationLinkPlatform {
 public:
  explicit CraftedStreams(StreamListing listing) : listing_(std::move(listing)) {}
  UniqueHandle openLink(const std::wstring&, DWORD, DWORD) override { throw std::logic_error("unused"); }
  DWORD linkAttributes(HANDLE) override { throw std::logic_error("unused"); }
  std::vector<std::uint8_t> readReparseData(HANDLE) override { throw std::logic_error("unused"); }
  void moveLink(HANDLE, const std::wstring&) override { throw std::logic_error("unused"); }
  StreamListing listStreams(const std::wstring&) override { return listing_; }

 private:
  StreamListing listing_;
};

class SingleDataStreamRule : public ::testing::TestWithParam<StreamCase> {};

TEST_P(SingleDataStreamRule, AcceptsOnlyTheUnnamedDataStream) {
  CraftedStreams streams(GetParam().listing);
  bindMigrationLinkPlatform(&streams);
  const std::string message = messageOf([] { requireSingleDataStream(L"C:\\data\\file.bin"); });
  bindMigrationLinkPlatform(nullptr);
  EXPECT_EQ(message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Listings, SingleDataStreamRule,
    ::testing::Values(
        StreamCase{"OnlyData", {true, true, {L"::$DATA"}}, "no exception"},
        StreamCase{"NotEnumerated", {false, false, {}}, "Migration file streams cannot be verified"},
        StreamCase{"ZoneMarker", {true, false, {L"::$DATA", L":Zone.Identifier:$DATA"}},
                   "Migration rejects alternate file streams"},
        StreamCase{"OnlyANamedStream", {true, true, {L":hidden:$DATA"}}, "Migration rejects alternate file streams"},
        StreamCase{"EndedByAnotherError", {true, false, {L"::$DATA"}}, "Migration rejects alternate file streams"}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.label); });

TEST_F(MigrationPaths, WalksFilesWithTheirDigestsAndSnapshots) {
  test::HostLinksWhereNeeded streams;  // Wine keeps no stream beyond a file's data
  makeDirectory(root + L"\\saves");
  test::writeBytes(root + L"\\saves\\slot1.dat", "slot one");
  test::writeBytes(root + L"\\config.json", "{}");
  std::vector<MigrationTreeEntry> entries;
  walkMigrationTree(root, L"", entries, 0);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].relativePath, L"config.json");
  EXPECT_EQ(hexOf(entries[0].digest), sha256File(root + L"\\config.json"));
  EXPECT_EQ(entries[0].snapshot.nFileSizeLow, 2u);
  EXPECT_EQ(entries[1].relativePath, L"saves");
  EXPECT_TRUE(entries[1].isDirectory);
  EXPECT_EQ(hexOf(entries[1].digest), std::wstring(64, L'0'));
  EXPECT_EQ(entries[2].relativePath, L"saves\\slot1.dat");
  EXPECT_EQ(hexOf(entries[2].digest), sha256File(root + L"\\saves\\slot1.dat"));
}

TEST_F(MigrationPaths, ReadsTheTargetOfARealJunction) {
  if (!test::platformHasJunctions()) GTEST_SKIP() << "this platform cannot create junctions (FSCTL_SET_REPARSE_POINT fails)";
  makeDirectory(root + L"\\target");
  test::makeJunction(root + L"\\link", root + L"\\target");
  UniqueHandle link = openMigrationPath(root + L"\\link", FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
  EXPECT_EQ(readJunctionTarget(link.get()), root + L"\\target");
}

TEST_F(MigrationPaths, RefusesANestedJunctionInTheWalkedTree) {
  if (!test::platformHasJunctions()) GTEST_SKIP() << "this platform cannot create junctions (FSCTL_SET_REPARSE_POINT fails)";
  const std::wstring target = temp / L"elsewhere";
  makeDirectory(root + L"\\data");
  makeDirectory(target);
  test::makeJunction(root + L"\\data\\link", target);
  std::vector<MigrationTreeEntry> entries;
  EXPECT_EQ(messageOf([&] { walkMigrationTree(root + L"\\data", L"", entries, 0); }),
            "Migration rejects nested links or encrypted/offline data");
}

TEST_F(MigrationPaths, FailsClosedReadingADirectoryLinkThatIsNoJunction) {
  // Where junctions are missing, a host symbolic link stands in for one: it
  // must never be taken as a junction whose target could be trusted.
  if (test::platformHasJunctions()) GTEST_SKIP() << "this platform has junctions; the stand-in link is not made here";
  makeDirectory(root + L"\\target");
  test::makeDirectoryLink(root + L"\\link", root + L"\\target");
  UniqueHandle link = openMigrationPath(root + L"\\link", FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
  EXPECT_EQ(messageOf([&] { readJunctionTarget(link.get()); }), "Migration link metadata unavailable");
  link.reset();
  test::removeDirectoryLink(root + L"\\link");
  EXPECT_TRUE(test::directoryExists(root + L"\\target"));
}

TEST_F(MigrationPaths, FindsNoJunctionInAnOrdinaryDirectory) {
  makeDirectory(root + L"\\plain");
  UniqueHandle handle = openMigrationPath(root + L"\\plain", FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
  EXPECT_EQ(messageOf([&] { readJunctionTarget(handle.get()); }), "Migration link metadata unavailable");
}

TEST_F(MigrationPaths, RefusesToOpenAMissingPath) {
  EXPECT_EQ(messageOf([&] { openMigrationPath(root + L"\\missing", FILE_READ_ATTRIBUTES, FILE_SHARE_READ); }),
            "Migration file is inaccessible or in use");
}

}  // namespace
}  // namespace orvo
