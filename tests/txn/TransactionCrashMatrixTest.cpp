// Kills a real transaction process at every event it reports, forward and
// during rollback, then recovers in another process and demands the old set
// or (once the commit was recorded) the new set, byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/helpers/TxnManifest.h"
#include "tests/support/TestSupport.h"
#include "tests/txn/TxnTestFiles.h"
#include "txn/FileTransaction.h"

using namespace orvo;
using namespace orvo::test;

namespace {

constexpr DWORD CrashedAtEvent = 77;

const FileTree OldSet{
    {L"bin/core.dll", "old core library"},
    {L"data/levels/one.pak", "level one, first"},
    {L"readme.txt", "old readme"},
    {L"user-notes.txt", "not ours: never touched"},
};
const FileTree Candidate{
    {L"bin/core.dll", "new core library, a bit longer"},
    {L"bin/plugins/extra.dll", "a new plugin in a new directory"},
    {L"data/levels/one.pak", "level one, other"},  // same size as before, other bytes
    {L"data/levels/two.pak", "level two"},
    {L"readme.txt", "new readme"},
};

FileTree newSet() {
  FileTree files = Candidate;
  files[L"user-notes.txt"] = OldSet.at(L"user-notes.txt");
  return files;
}

class TransactionCrashMatrix : public TempDirTest {
 protected:
  std::wstring root = temp / L"Games\\Platform";
  std::wstring candidate = temp / L"candidate";
  std::wstring result = temp / L"result.txt";

  void SetUp() override { writeTree(candidate, Candidate); }

  void resetRoot() {
    removeTree(root);
    writeTree(root, OldSet);
  }

  DWORD runner(const std::wstring& mode, std::uint64_t k) {
    return runToExit(helperProgram(L"TxnCrashRunner"), mode + L" \"" + root + L"\" \"" + candidate + L"\" " +
                                                            std::to_wstring(k) + L" \"" + result + L"\"",
                     std::chrono::seconds(60));
  }

  // Recovers in this process (a fresh one for the crashed run), then checks the
  // tree, the area, and that a second recovery finds nothing to do.
  void recoverAndExpect(const FileTree& expected, const std::string& where) {
    FileTransaction recovery(root, candidateManifest(candidate), fileDigest);
    ASSERT_TRUE(recovery.probeArea().has_value()) << where << ": the crash left no area";
    recovery.recover();
    EXPECT_FALSE(recovery.isActive()) << where;
    EXPECT_EQ(readTree(root), expected) << where;
    EXPECT_FALSE(directoryExists(recovery.areaPath())) << where;

    FileTransaction second(root, candidateManifest(candidate), fileDigest);
    EXPECT_FALSE(second.probeArea().has_value()) << where;
    second.recover();
    EXPECT_EQ(readTree(root), expected) << where << " after a second recovery";
  }
};

TEST_F(TransactionCrashMatrix, EveryForwardCrashPointRecoversToTheOldOrTheCommittedNewSet) {
  resetRoot();
  ASSERT_EQ(runner(L"forward", 0), 0u) << readBytes(result);
  const std::string finished = readBytes(result);
  // journal-created, 5 prepared-file, prepared, 5 before-replace, 5 after-replace, applied, committed
  ASSERT_EQ(finished, "ok 19");
  ASSERT_EQ(readTree(root), newSet());

  const std::uint64_t events = 19;
  for (std::uint64_t k = 1; k <= events; ++k) {
    resetRoot();
    const std::string where = "crash at forward event " + std::to_string(k);
    ASSERT_EQ(runner(L"forward", k), CrashedAtEvent) << where;
    // Only the last event follows the journal's Committed record.
    recoverAndExpect(k == events ? newSet() : OldSet, where);
    if (HasFatalFailure()) return;
  }
  RecordProperty("forwardCrashPoints", static_cast<int>(events));
}

TEST_F(TransactionCrashMatrix, EveryRollbackCrashPointRecoversToTheOldSet) {
  resetRoot();
  ASSERT_EQ(runner(L"rollback", 0), 0u) << readBytes(result);
  // 5 rolled-back-file (every file was moved), then rolled-back
  ASSERT_EQ(readBytes(result), "ok 6");
  ASSERT_EQ(readTree(root), OldSet);

  const std::uint64_t events = 6;
  for (std::uint64_t k = 1; k <= events; ++k) {
    resetRoot();
    const std::string where = "crash at rollback event " + std::to_string(k);
    ASSERT_EQ(runner(L"rollback", k), CrashedAtEvent) << where;
    recoverAndExpect(OldSet, where);
    if (HasFatalFailure()) return;
  }
  RecordProperty("rollbackCrashPoints", static_cast<int>(events));
}

TEST_F(TransactionCrashMatrix, RecoveryInAnotherProcessFinishesACrashedRun) {
  resetRoot();
  ASSERT_EQ(runner(L"forward", 12), CrashedAtEvent);  // the third move was announced, not made
  ASSERT_EQ(runToExit(helperProgram(L"TxnCrashRunner"),
                      L"recover \"" + root + L"\" \"" + candidate + L"\" \"" + result + L"\""),
            0u)
      << readBytes(result);
  EXPECT_EQ(readTree(root), OldSet);
}

}  // namespace
