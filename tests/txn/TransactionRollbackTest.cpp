// Rollback, recovery and cleanup against real files: what they restore, what
// they refuse to touch, and that running them again is harmless.
#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "tests/helpers/TxnManifest.h"
#include "tests/txn/TxnTestFiles.h"
#include "txn/FileTransaction.h"
#include "txn/TransactionJournalFile.h"
#include "txn/TransactionPathRules.h"

using namespace orvo;
using namespace orvo::test;

namespace {

class TransactionRollback : public TempDirTest {
 protected:
  std::wstring root = temp / L"Games\\Platform";
  std::wstring candidate = temp / L"candidate";
  std::vector<std::string> events;

  std::unique_ptr<FileTransaction> applied(const FileTree& old, const FileTree& fresh) {
    writeTree(root, old);
    writeTree(candidate, fresh);
    auto transaction = createTransaction(root, candidateManifest(candidate), fileDigest, {},
                                         [this](const char* label, std::uint64_t index) {
                                           events.push_back(std::string(label) + " " + std::to_string(index));
                                         });
    transaction->prepare(candidate);
    transaction->apply();
    events.clear();
    return transaction;
  }

  // Holds a file open for reading without delete sharing, so it cannot be replaced.
  static UniqueHandle holdOpen(const std::wstring& path) {
    return UniqueHandle(
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
};

const FileTree Old{{L"a.bin", "old a"}, {L"b.bin", "old b"}};
const FileTree Fresh{{L"a.bin", "new a"}, {L"b.bin", "new b"}, {L"c/new.bin", "new c"}};

TEST_F(TransactionRollback, RestoresReplacedFilesRemovesNewOnesInReverseOrderAndKeepsNewDirectories) {
  auto transaction = applied(Old, Fresh);
  transaction->rollback();
  EXPECT_EQ(readTree(root), Old);
  EXPECT_TRUE(directoryExists(root + L"\\c"));
  EXPECT_EQ(transaction->state(), TransactionState::RolledBack);
  EXPECT_FALSE(transaction->isActive());
  EXPECT_FALSE(directoryExists(transaction->areaPath()));
  EXPECT_EQ(events, (std::vector<std::string>{"rolled-back-file 2", "rolled-back-file 1", "rolled-back-file 0",
                                              "rolled-back 0"}));
  transaction->rollback();  // inactive now: nothing to do
  EXPECT_EQ(readTree(root), Old);
}

TEST_F(TransactionRollback, FailureAtTheFirstReplacementChangesNoFileUnderTheRoot) {
  writeTree(root, Old);
  writeTree(candidate, Fresh);
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest);
  transaction.prepare(candidate);
  {
    UniqueHandle reader = holdOpen(root + L"\\a.bin");
    ASSERT_TRUE(reader.valid());
    EXPECT_FAILS_WITH(transaction.apply(), "Cannot replace file; rolling back installation");
  }
  EXPECT_EQ(transaction.applyCursor(), 1u);
  EXPECT_TRUE(fileExists(transaction.stagedPath(0)));
  transaction.rollback();
  EXPECT_EQ(readTree(root), Old);
  EXPECT_FALSE(directoryExists(transaction.areaPath()));
}

TEST_F(TransactionRollback, StagedCopiesThatApplyNeverMovedAreFreedBeforeTheJournalIsWritten) {
  // On a full disk the journal of the rollback only fits once they are gone.
  writeTree(root, Old);
  writeTree(candidate, Fresh);
  std::vector<bool> stagedWhenJournalled;
  FileTransaction* self = nullptr;
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest, {},
                              [&](const char* label, std::uint64_t) {
                                if (std::string(label) != "rolled-back") return;
                                for (std::size_t i = 0; i < 3; ++i) {
                                  stagedWhenJournalled.push_back(fileExists(self->stagedPath(i)));
                                }
                              });
  self = &transaction;
  transaction.prepare(candidate);
  {
    UniqueHandle reader = holdOpen(root + L"\\a.bin");
    ASSERT_TRUE(reader.valid());
    EXPECT_FAILS_WITH(transaction.apply(), "Cannot replace file; rolling back installation");
  }
  ASSERT_EQ(transaction.applyCursor(), 1u);
  transaction.rollback();
  // Entry 0 lies below the cursor and its staged copy says its move never
  // happened, so it stays until cleanup; entries 1 and 2 were never touched.
  EXPECT_EQ(stagedWhenJournalled, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(readTree(root), Old);
  EXPECT_FALSE(directoryExists(transaction.areaPath()));
}

TEST_F(TransactionRollback, LockedOriginalKeepsTheJournalAndASecondRunFinishes) {
  auto transaction = applied(Old, Fresh);
  {
    UniqueHandle reader = holdOpen(root + L"\\a.bin");
    ASSERT_TRUE(reader.valid());
    EXPECT_FAILS_WITH(transaction->rollback(), "Rollback file locked; journal retained for retry");
    EXPECT_TRUE(fileExists(transaction->areaPath() + L"\\journal.bin"));
    EXPECT_EQ(readBytes(root + L"\\b.bin"), "old b");  // already restored stays restored
    EXPECT_EQ(readBytes(root + L"\\a.bin"), "new a");
  }
  events.clear();
  transaction->rollback();
  EXPECT_EQ(readTree(root), Old);
  // The second pass found b already original and c already gone.
  EXPECT_EQ(events, (std::vector<std::string>{"rolled-back-file 0", "rolled-back 0"}));
}

TEST_F(TransactionRollback, UserEditedFileIsKeptAsAConflict) {
  auto transaction = applied(Old, Fresh);
  writeBytes(root + L"\\b.bin", "the user's own b");
  EXPECT_FAILS_WITH(transaction->rollback(), "Rollback conflict: externally modified file retained");
  EXPECT_EQ(readBytes(root + L"\\b.bin"), "the user's own b");
  EXPECT_TRUE(fileExists(transaction->areaPath() + L"\\journal.bin"));
  EXPECT_TRUE(fileExists(transaction->backupPath(1)));
}

TEST_F(TransactionRollback, ForeignFileInPlaceOfANewOneIsKeptAsAConflict) {
  auto transaction = applied(Old, Fresh);
  writeBytes(root + L"\\c\\new.bin", "foreign");
  EXPECT_FAILS_WITH(transaction->rollback(), "Rollback conflict: new external file retained");
  EXPECT_EQ(readBytes(root + L"\\c\\new.bin"), "foreign");
  EXPECT_EQ(readBytes(root + L"\\a.bin"), "new a");
}

TEST_F(TransactionRollback, BackupWhoseDigestChangedIsNotRestored) {
  auto transaction = applied(Old, Fresh);
  writeBytes(transaction->backupPath(0), "old A");
  EXPECT_FAILS_WITH(transaction->rollback(), "Rollback backup invalid; journal retained");
  EXPECT_EQ(readBytes(root + L"\\a.bin"), "new a");
  EXPECT_TRUE(fileExists(transaction->areaPath() + L"\\journal.bin"));
}

TEST_F(TransactionRollback, UnknownAreaContentStopsRollbackAndCleanupBeforeAnythingIsDeleted) {
  auto transaction = applied(Old, Fresh);
  writeBytes(transaction->areaPath() + L"\\notes.txt", "mine");
  EXPECT_FAILS_WITH(transaction->rollback(), "Unknown transaction area content; refusing cleanup");
  EXPECT_FAILS_WITH(transaction->cleanupArea(), "Unknown transaction area content; refusing cleanup");
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "new a"}, {L"b.bin", "new b"}, {L"c/new.bin", "new c"}}));
  EXPECT_TRUE(fileExists(transaction->backupPath(0)));
  std::filesystem::remove(std::filesystem::path(transaction->areaPath() + L"\\notes.txt"));

  std::filesystem::create_directories(transaction->areaPath() + L"\\new-9");
  EXPECT_FAILS_WITH(transaction->scanArea(), "Unknown transaction area content; refusing cleanup");
  std::filesystem::remove(std::filesystem::path(transaction->areaPath() + L"\\new-9"));
  // Names are exact: no leading zeros, no index beyond the manifest, nothing else.
  for (const wchar_t* name : {L"new-01", L"restore-3", L"journal.bak", L"lease.lock.old"}) {
    writeBytes(transaction->areaPath() + L"\\" + name, "x");
    EXPECT_FAILS_WITH(transaction->scanArea(), "Unknown transaction area content; refusing cleanup");
    std::filesystem::remove(std::filesystem::path(transaction->areaPath() + L"\\" + name));
  }
  transaction->rollback();
  EXPECT_EQ(readTree(root), Old);
}

TEST_F(TransactionRollback, LeftoverRestoreCopyIsRebuiltBeforeTheMove) {
  const FileTree old{{L"0", "o0"}, {L"1", "o1"}, {L"2", "o2"}, {L"3", "o3"}};
  auto transaction = applied(old, {{L"0", "n0"}, {L"1", "n1"}, {L"2", "n2"}, {L"3", "n3"}});
  writeBytes(transaction->restorePath(3), "half-written restore");
  transaction->rollback();
  EXPECT_EQ(readTree(root), old);
}

TEST_F(TransactionRollback, CommittedTransactionCannotRollBack) {
  writeTree(candidate, {{L"a.bin", "a"}});
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  const auto bytes = encodeJournal(transaction.root(), 5, 1, transaction.entries(), {{}});
  writeBytes(transaction.areaPath() + L"\\journal.bin", std::string(bytes.begin(), bytes.end()));
  transaction.openArea(false);
  transaction.loadJournal();
  EXPECT_FAILS_WITH(transaction.rollback(), "Committed transaction cannot roll back");
}

TEST_F(TransactionRollback, RecoveryOfACommittedJournalOnlyCleansUp) {
  writeTree(candidate, {{L"a.bin", "a"}});
  writeTree(root, {{L"a.bin", "installed and committed"}});
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  const auto bytes = encodeJournal(transaction.root(), 5, 1, transaction.entries(), {{true, 3, std::wstring(64, L'b')}});
  writeBytes(transaction.areaPath() + L"\\journal.bin", std::string(bytes.begin(), bytes.end()));
  writeBytes(transaction.backupPath(0), "bak");
  transaction.recover();
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "installed and committed"}}));
  EXPECT_FALSE(directoryExists(transaction.areaPath()));
  EXPECT_FALSE(transaction.isActive());
  // The recovered object can prepare anew.
  transaction.prepare(candidate);
  EXPECT_TRUE(transaction.originals()[0].existed);
  EXPECT_EQ(transaction.originals()[0].sha256, digestOfBytes("installed and committed"));
}

TEST_F(TransactionRollback, RecoveryRefusesAJournalFromAnotherManifest) {
  writeTree(candidate, {{L"a.bin", "a"}});
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  const auto bytes = encodeJournal(transaction.root(), 3, 1, {{L"a.bin", 2, std::wstring(64, L'c')}}, {{}});
  writeBytes(transaction.areaPath() + L"\\journal.bin", std::string(bytes.begin(), bytes.end()));
  EXPECT_FAILS_WITH(transaction.recover(), "Transaction recovery manifest differs; original installer required");
  EXPECT_TRUE(fileExists(transaction.areaPath() + L"\\journal.bin"));
}


TEST_F(TransactionRollback, AStagedCopyThatCannotBeFreedEarlyDoesNotStopTheRestore) {
  writeTree(root, Old);
  writeTree(candidate, Fresh);
  bool cancel = false;
  UniqueHandle stagedHeld;
  FileTransaction* self = nullptr;
  auto transactionOwner = createTransaction(
      root, candidateManifest(candidate), fileDigest, [&] { if (cancel) throw std::runtime_error("CANCELLED"); },
      [&](const char* label, std::uint64_t index) {
        if (std::string(label) != "after-replace" || index != 0) return;
        // The first file is replaced; the last staged copy is held where the
        // rollback wants to free it first.
        stagedHeld = holdOpen(self->stagedPath(2));
        cancel = true;
      });
  FileTransaction& transaction = *transactionOwner;
  self = &transaction;
  transaction.prepare(candidate);
  EXPECT_FAILS_WITH(transaction.apply(), "CANCELLED");
  ASSERT_TRUE(stagedHeld.valid());
  ASSERT_EQ(readBytes(root + L"\\a.bin"), "new a");

  EXPECT_FAILS_WITH(transaction.rollback(), "Cannot clean transaction-owned file; recovery retained");
  EXPECT_EQ(readTree(root), Old) << "the restore ran although one staged copy could not go";
  EXPECT_EQ(transaction.state(), TransactionState::RolledBack);

  // The next run, once this one has ended and the copy is free again.
  const std::wstring area = transaction.areaPath();
  stagedHeld.reset();
  self = nullptr;
  transactionOwner.reset();
  FileTransaction nextRun(root, candidateManifest(candidate), fileDigest);
  nextRun.recover();
  EXPECT_EQ(readTree(root), Old);
  EXPECT_FALSE(directoryExists(area));
}

TEST_F(TransactionRollback, AnOriginalWhoseDigestFailedNeverReachesTheJournalHalfRecorded) {
  writeTree(root, Old);
  writeTree(candidate, Fresh);
  const DigestFile digestRefusingOriginals = [this](const std::wstring& path) {
    return path.rfind(root, 0) == 0 ? std::wstring(L"unreadable") : fileDigest(path);
  };
  std::string recordedAtRollback;
  FileTransaction* self = nullptr;
  FileTransaction transaction(root, candidateManifest(candidate), digestRefusingOriginals, {},
                              [&](const char* label, std::uint64_t) {
                                if (std::string(label) != "rolled-back") return;
                                // What the next run reads if this one ends here.
                                recordedAtRollback = messageOf([&] {
                                  const std::vector<std::uint8_t> disk = readJournalFile(self->areaPath());
                                  decodeJournal(disk.data(), disk.size(), lowercaseText(self->root()), self->entries());
                                });
                              });
  self = &transaction;
  EXPECT_FAILS_WITH(transaction.prepare(candidate), "Invalid original file hash");
  transaction.rollback();
  EXPECT_EQ(recordedAtRollback, "no exception");
  EXPECT_EQ(readTree(root), Old);
}

// A journal write that fails leaves memory at the state the disk records, so
// the owner's rollback (or the next run) restores the old files.
struct JournalWriteFailure {
  const char* name;
  const char* blockAfterEvent;  // the next journal write fails
  bool failsInRollback;         // otherwise in prepare/apply/commit
  TransactionState stateAfter;
  std::uint32_t cursorAfter;
};

void PrintTo(const JournalWriteFailure& c, std::ostream* out) { *out << c.name; }

class JournalWriteFailureTest : public TransactionRollback, public ::testing::WithParamInterface<JournalWriteFailure> {};

TEST_P(JournalWriteFailureTest, LeavesMemoryAtTheRecordedStateAndTheRollbackRestoresTheOldFiles) {
  const JournalWriteFailure& c = GetParam();
  writeTree(root, Old);
  writeTree(candidate, Fresh);
  UniqueHandle blocker;
  std::wstring area;
  FileTransaction transaction(root, candidateManifest(candidate), fileDigest, {},
                              [&](const char* label, std::uint64_t) {
                                if (blocker.valid() || std::string(label) != c.blockAfterEvent) return;
                                // Taken without sharing, the temporary journal cannot be rewritten.
                                blocker.reset(::CreateFileW((area + L"\\journal.tmp").c_str(), GENERIC_WRITE, 0,
                                                            nullptr, CREATE_ALWAYS, 0, nullptr));
                              });
  area = transaction.areaPath();
  const std::string failure = messageOf([&] {
    transaction.prepare(candidate);
    transaction.apply();
    if (c.failsInRollback) {
      transaction.rollback();
    } else {
      transaction.commit();
    }
  });
  ASSERT_TRUE(blocker.valid());
  EXPECT_EQ(failure, "Cannot persist transaction journal");
  EXPECT_EQ(transaction.state(), c.stateAfter);
  EXPECT_EQ(transaction.applyCursor(), c.cursorAfter);
  const std::vector<std::uint8_t> disk = readJournalFile(area);
  const JournalProgress recorded =
      decodeJournal(disk.data(), disk.size(), lowercaseText(transaction.root()), transaction.entries());
  EXPECT_EQ(recorded.state, static_cast<std::uint32_t>(c.stateAfter));
  EXPECT_EQ(recorded.applyCursor, c.cursorAfter);

  blocker.reset();
  transaction.rollback();
  EXPECT_EQ(readTree(root), Old);
  EXPECT_FALSE(directoryExists(area));
}

INSTANTIATE_TEST_SUITE_P(
    AtEachStateChange, JournalWriteFailureTest,
    ::testing::Values(JournalWriteFailure{"FirstMove", "prepared", false, TransactionState::Prepared, 0},
                      JournalWriteFailure{"NextMove", "after-replace", false, TransactionState::Applying, 1},
                      JournalWriteFailure{"Committed", "applied", false, TransactionState::Applied, 3},
                      JournalWriteFailure{"RolledBack", "rolled-back-file", true, TransactionState::Applied, 3}),
    [](const ::testing::TestParamInfo<JournalWriteFailure>& info) { return std::string(info.param.name); });

}  // namespace
