// The area beside the install root, its lease, the pinned directories and the
// file probe, on real files under Wine.
#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "payload/Sha256.h"
#include "tests/helpers/TxnManifest.h"
#include "tests/txn/TxnTestFiles.h"
#include "txn/FileTransaction.h"
#include "txn/TransactionPathRules.h"
#include "txn/TransactionPaths.h"

using namespace orvo;
using namespace orvo::test;

namespace {

const std::wstring AnySha(64, L'a');

class TransactionArea : public TempDirTest {
 protected:
  std::wstring root = temp / L"Games\\Platform";
  std::wstring candidate = temp / L"candidate";

};

TEST_F(TransactionArea, LiesInTheRootsParentNamedAfterTheLowercaseRootDigest) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest);
  const std::wstring expected =
      temp / (L"Games\\.orvo-file-txn-" + sha256Text(lowercaseText(transaction.root())).substr(0, 24));
  EXPECT_EQ(transaction.areaPath(), expected);
  FileTransaction upper(temp / L"GAMES\\PLATFORM\\", {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest);
  EXPECT_EQ(lowercaseText(upper.areaPath()), lowercaseText(expected));
  EXPECT_EQ(upper.root(), temp / L"GAMES\\PLATFORM");
}

TEST_F(TransactionArea, RootBelowADirectoryLinkIsRefusedEvenBeforeItExists) {
  std::filesystem::create_directories(temp / L"real");
  makeDirectoryLink(temp / L"link", temp / L"real");
  EXPECT_FAILS_WITH(FileTransaction(temp / L"link\\Platform", {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest),
                    "Transaction refuses reparse paths");
}

TEST_F(TransactionArea, OpeningWithoutCreateWhereNoAreaIsDoesNothing) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest);
  EXPECT_FALSE(transaction.probeArea().has_value());
  transaction.openArea(false);
  EXPECT_FALSE(directoryExists(transaction.areaPath()));
  EXPECT_FALSE(directoryExists(temp / L"Games"));
}

TEST_F(TransactionArea, AFileInThePlaceOfTheAreaIsAConflict) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest);
  writeTree(temp.path(), {{L"Games/keep.txt", "x"}});
  writeBytes(transaction.areaPath(), "not a directory");
  ASSERT_TRUE(transaction.probeArea().has_value());
  EXPECT_FAILS_WITH(transaction.openArea(false), "Transaction area path conflict");
  EXPECT_EQ(readBytes(transaction.areaPath()), "not a directory");
}

TEST_F(TransactionArea, CreatingAnAreaThatAppearedMeanwhileFails) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest);
  std::filesystem::create_directories(temp / L"Games");
  transaction.openArea(true);
  FileTransaction second(root, {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest);
  EXPECT_FAILS_WITH(second.openArea(false), "Another installer or recovery owns transaction");
}

TEST_F(TransactionArea, ALeaseHeldHereStopsARecoveryInAnotherProcess) {
  writeTree(candidate, {{L"a.bin", "payload"}});
  FileTransaction holder(root, candidateManifest(candidate), fileDigest);
  holder.prepare(candidate);
  const std::wstring result = temp / L"result.txt";
  EXPECT_EQ(runToExit(helperProgram(L"TxnCrashRunner"),
                      L"recover \"" + root + L"\" \"" + candidate + L"\" \"" + result + L"\""),
            1u);
  EXPECT_EQ(readBytes(result), "error Another installer or recovery owns transaction");
  // The holder's area and journal are untouched by the refused recovery.
  EXPECT_TRUE(fileExists(holder.areaPath() + L"\\journal.bin"));
  EXPECT_TRUE(fileExists(holder.stagedPath(0)));
}

TEST_F(TransactionArea, ALeaseLeftByAnEndedProcessIsTakenOver) {
  writeTree(candidate, {{L"a.bin", "payload"}});
  const std::wstring result = temp / L"result.txt";
  // Dies right after the journal was first written, holding the lease.
  ASSERT_EQ(runToExit(helperProgram(L"TxnCrashRunner"),
                      L"forward \"" + root + L"\" \"" + candidate + L"\" 1 \"" + result + L"\""),
            77u);
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest);
  ASSERT_TRUE(transaction.probeArea().has_value());
  transaction.openArea(false);
  transaction.scanArea();
  transaction.loadJournal();
  EXPECT_EQ(transaction.state(), TransactionState::Preparing);
}

TEST_F(TransactionArea, ScanRefusesALinkInsideTheAreaAndDeletesNothing) {
  writeTree(candidate, {{L"a.bin", "payload"}});
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest);
  transaction.prepare(candidate);
  std::filesystem::create_directories(temp / L"elsewhere");
  makeDirectoryLink(transaction.areaPath() + L"\\old-0", temp / L"elsewhere");
  EXPECT_FAILS_WITH(transaction.scanArea(), "Transaction refuses reparse paths");
  EXPECT_FAILS_WITH(transaction.rollback(), "Transaction refuses reparse paths");
  EXPECT_TRUE(fileExists(transaction.stagedPath(0)));
  EXPECT_TRUE(fileExists(transaction.areaPath() + L"\\journal.bin"));
  std::filesystem::remove(std::filesystem::path(transaction.areaPath() + L"\\old-0"));
}

TEST_F(TransactionArea, EnsureDirectoryCreatesEveryLevelAndRefusesAFileInTheWay) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, AnySha}}, fileDigest);
  transaction.ensureDirectory(temp / L"x\\y\\z");
  EXPECT_TRUE(directoryExists(temp / L"x\\y\\z"));
  writeBytes(temp / L"x\\file", "in the way");
  EXPECT_FAILS_WITH(transaction.ensureDirectory(temp / L"x\\file"), "Transaction directory missing or conflicting");
  EXPECT_FAILS_WITH(transaction.ensureDirectory(temp / L"x\\file\\sub"), "Transaction directory missing or conflicting");
}

TEST_F(TransactionArea, FileProbeComparesSizeFirstAndDigestOnlyOnASizeMatch) {
  writeBytes(temp / L"f.bin", "hello world");
  int digests = 0;
  const DigestFile counting = [&](const std::wstring& path) {
    ++digests;
    return sha256File(path);
  };
  const std::wstring upperSha = L"B94D27B9934D3E08A52E52D7DA7DABFAC484EFE37A5380EE9088F7ACE2EFCDE9";
  EXPECT_TRUE(fileMatches(temp / L"f.bin", 11, upperSha, counting));
  EXPECT_EQ(digests, 1);
  EXPECT_FALSE(fileMatches(temp / L"f.bin", 12, upperSha, counting));
  EXPECT_EQ(digests, 1);
  EXPECT_FALSE(fileMatches(temp / L"f.bin", 11, std::wstring(64, L'0'), counting));
  EXPECT_FALSE(fileMatches(temp / L"missing.bin", 11, upperSha, counting));
  EXPECT_FALSE(fileMatches(temp / L"missing-dir\\f.bin", 11, upperSha, counting));
  EXPECT_FALSE(fileMatches(temp.path(), 0, upperSha, counting));
  EXPECT_EQ(digests, 2);
}

struct MatchingFileRow {
  const char* name;
  const wchar_t* path;  // below the test directory; "f.bin" holds "hello world"
  std::uint64_t size;
  const wchar_t* sha256;
  bool opens;
};

void PrintTo(const MatchingFileRow& row, std::ostream* out) { *out << row.name; }

const wchar_t* const HelloWorldSha = L"b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9";
const wchar_t* const HelloWorldUpperSha = L"B94D27B9934D3E08A52E52D7DA7DABFAC484EFE37A5380EE9088F7ACE2EFCDE9";
const wchar_t* const ZeroSha = L"0000000000000000000000000000000000000000000000000000000000000000";

const DigestFile digestOf = [](const std::wstring& path) { return sha256File(path); };

class MatchingFile : public TempDirTest, public ::testing::WithParamInterface<MatchingFileRow> {};

TEST_P(MatchingFile, OpensOnlyARegularFileOfTheListedSizeAndDigest) {
  writeBytes(temp / L"f.bin", "hello world");
  std::filesystem::create_directories(temp / L"dir");
  const MatchingFileRow& row = GetParam();
  EXPECT_EQ(openMatchingFile(temp / row.path, row.size, row.sha256, digestOf).valid(), row.opens);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MatchingFile,
    ::testing::Values(MatchingFileRow{"Listed", L"f.bin", 11, HelloWorldSha, true},
                      MatchingFileRow{"UpperCaseDigest", L"f.bin", 11, HelloWorldUpperSha, true},
                      MatchingFileRow{"OtherSizeSameDigest", L"f.bin", 12, HelloWorldSha, false},
                      MatchingFileRow{"OtherDigest", L"f.bin", 11, ZeroSha, false},
                      MatchingFileRow{"Missing", L"missing.bin", 11, HelloWorldSha, false},
                      MatchingFileRow{"Directory", L"dir", 0, HelloWorldSha, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransactionArea, MatchingFileStaysUnchangeableWhileHeldAndCopiesWhatWasChecked) {
  const std::wstring path = temp / L"f.bin";
  writeBytes(path, "hello world");
  const UniqueHandle held = openMatchingFile(path, 11, HelloWorldSha, digestOf);
  ASSERT_TRUE(held.valid());
  writeBytes(temp / L"other.bin", "other bytes");
  EXPECT_FALSE(::MoveFileExW((temp / L"other.bin").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(::DeleteFileW(path.c_str()));
  UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
  EXPECT_FALSE(writer.valid());
  // The digest left the handle at the end: the copy still takes every byte.
  copyAndFlush(held.get(), temp / L"copy.bin");
  EXPECT_EQ(readBytes(temp / L"copy.bin"), "hello world");
  EXPECT_FAILS_WITH(copyAndFlush(held.get(), temp / L"copy.bin"), "Cannot stage or back up transaction file");
}

TEST_F(TransactionArea, OwnedFileDeletionRefusesADirectoryAndIgnoresAbsence) {
  std::filesystem::create_directories(temp / L"new-0");
  EXPECT_FAILS_WITH(deleteOwnedFile(temp / L"new-0"), "Transaction file became directory");
  EXPECT_NO_THROW(deleteOwnedFile(temp / L"absent"));
  writeBytes(temp / L"old-0", "x");
  deleteOwnedFile(temp / L"old-0");
  EXPECT_FALSE(fileExists(temp / L"old-0"));
}

TEST_F(TransactionArea, AnAreaBeyondMaxPathIsScannedAndCleanedUpAfterACommit) {
  // A root of 240 characters puts the area and its files past MAX_PATH.
  std::wstring longRoot = temp.path();
  while (longRoot.size() + 1 + 60 < 229) longRoot += L"\\" + std::wstring(60, L'd');
  longRoot += L"\\" + std::wstring(229 - longRoot.size(), L'e') + L"\\orvo game";
  ASSERT_EQ(longRoot.size(), 240u);
  writeTree(candidate, {{L"sub/a.bin", "payload"}});
  FileTransaction transaction(longRoot, candidateManifest(candidate), fileDigest);
  ASSERT_GT(transaction.stagedPath(0).size(), 260u);
  transaction.prepare(candidate);
  EXPECT_NO_THROW(transaction.scanArea());
  transaction.apply();
  transaction.commit();
  EXPECT_EQ(readBytes(longRoot + L"\\sub\\a.bin"), "payload");
  EXPECT_FALSE(transaction.probeArea().has_value()) << "the committed area is gone";
}

TEST_F(TransactionArea, ScanOfALongAreaStillRefusesWhatItDoesNotOwn) {
  std::wstring longRoot = temp.path();
  while (longRoot.size() < 200) longRoot += L"\\" + std::wstring(40, L'f');
  longRoot += L"\\orvo game";
  writeTree(candidate, {{L"a.bin", "payload"}});
  FileTransaction transaction(longRoot, candidateManifest(candidate), fileDigest);
  transaction.prepare(candidate);
  writeBytes(transaction.areaPath() + L"\\stray.txt", "not ours");
  EXPECT_FAILS_WITH(transaction.scanArea(), "Unknown transaction area content; refusing cleanup");
  EXPECT_TRUE(fileExists(transaction.stagedPath(0)));
}


// What a recovery does with an area of each content a stopped run can leave
// without a journal.
struct JournallessArea {
  const char* name;
  std::vector<const wchar_t*> files;
  const char* failure;  // nullptr: the area is removed and the run goes on
};

void PrintTo(const JournallessArea& c, std::ostream* out) { *out << c.name; }

class JournallessAreaTest : public TransactionArea, public ::testing::WithParamInterface<JournallessArea> {};

TEST_P(JournallessAreaTest, IsRemovedOnlyWhenItHoldsNothingButItsLease) {
  const JournallessArea& c = GetParam();
  writeTree(candidate, {{L"a.bin", "new a"}});
  writeTree(root, {{L"a.bin", "old a"}});
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  for (const wchar_t* name : c.files) writeBytes(transaction.areaPath() + L"\\" + name, "left behind");

  const std::string outcome = messageOf([&] { transaction.recover(); });
  EXPECT_FALSE(transaction.isActive());
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "old a"}}));
  if (c.failure == nullptr) {
    EXPECT_EQ(outcome, "no exception");
    EXPECT_FALSE(directoryExists(transaction.areaPath()));
    transaction.prepare(candidate);  // the run goes on
    EXPECT_EQ(transaction.state(), TransactionState::Prepared);
  } else {
    EXPECT_EQ(outcome, c.failure);
    for (const wchar_t* name : c.files) {
      EXPECT_TRUE(fileExists(transaction.areaPath() + L"\\" + name)) << "kept for inspection";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    ByContent, JournallessAreaTest,
    ::testing::Values(JournallessArea{"Empty", {}, nullptr},
                      JournallessArea{"LeaseOnly", {L"lease.lock"}, nullptr},
                      JournallessArea{"LeaseAndTemporaryJournal", {L"lease.lock", L"journal.tmp"},
                                      "Transaction journal missing; area retained for inspection"},
                      JournallessArea{"StagedCopyWithoutJournal", {L"lease.lock", L"new-0"},
                                      "Transaction journal missing; area retained for inspection"},
                      JournallessArea{"UnknownFile", {L"notes.txt"}, "Unknown transaction area content; refusing cleanup"}),
    [](const ::testing::TestParamInfo<JournallessArea>& info) { return std::string(info.param.name); });

}  // namespace
