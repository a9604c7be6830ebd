// Creation checks and the forward path (prepare, apply, commit) on real files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "tests/helpers/TxnManifest.h"
#include "tests/txn/TxnTestFiles.h"
#include "txn/FileTransaction.h"

using namespace orvo;
using namespace orvo::test;

namespace {

const std::wstring AnySha(64, L'a');

std::vector<TransactionEntry> numberedEntries(std::size_t count) {
  std::vector<TransactionEntry> entries;
  for (std::size_t i = 0; i < count; ++i) entries.push_back({L"f" + std::to_wstring(i), 1, AnySha});
  return entries;
}

class FileTransactionTest : public TempDirTest {
 protected:
  std::wstring root = temp / L"Games\\Platform";
  std::wstring candidate = temp / L"candidate";
  std::vector<std::string> events;

  std::string create(const std::wstring& at, std::vector<TransactionEntry> entries, DigestFile digest = fileDigest) {
    return messageOf([&] { FileTransaction transaction(at, std::move(entries), std::move(digest)); });
  }

  std::unique_ptr<FileTransaction> transactionFor(const FileTree& candidateFiles, CheckCancelled cancel = {}) {
    writeTree(candidate, candidateFiles);
    return createTransaction(root, candidateManifest(candidate), fileDigest, std::move(cancel),
                             [this](const char* label, std::uint64_t index) {
                               events.push_back(std::string(label) + " " + std::to_string(index));
                             });
  }
};

TEST_F(FileTransactionTest, AcceptsUpTo512EntriesAndRefusesEmptyOversizedOrDigestlessInput) {
  EXPECT_EQ(create(root, numberedEntries(512)), "no exception");
  EXPECT_EQ(create(root, numberedEntries(513)), "Invalid transaction input");
  EXPECT_EQ(create(root, {}), "Invalid transaction input");
  EXPECT_EQ(create(root, numberedEntries(1), DigestFile{}), "Invalid transaction input");
}

TEST_F(FileTransactionTest, RootMustBeAbsoluteAndNotADriveRoot) {
  EXPECT_EQ(create(L"C:\\", numberedEntries(1)), "Invalid transaction input");
  EXPECT_EQ(create(L"C:", numberedEntries(1)), "Invalid transaction input");
  EXPECT_EQ(create(L"Games\\Platform", numberedEntries(1)), "Invalid transaction input");
  EXPECT_EQ(create(L"C:Games", numberedEntries(1)), "Invalid transaction input");
  EXPECT_EQ(create(L"C:\\.\\", numberedEntries(1)), "Drive root is not an install target");
  EXPECT_EQ(create(L"C:\\x\\..", numberedEntries(1)), "Drive root is not an install target");
  EXPECT_EQ(create(L"\\\\server\\share\\dir", numberedEntries(1)), "Unsafe transaction root");
  EXPECT_EQ(create(L"D:\\a:b", numberedEntries(1)), "Unsafe transaction relative path");
}

TEST_F(FileTransactionTest, RefusesDuplicatesBadDigestsAndFileDirectoryCollisions) {
  EXPECT_EQ(create(root, {{L"Bin/a.dll", 1, AnySha}, {L"bin\\A.DLL", 1, AnySha}}),
            "Duplicate or invalid transaction manifest");
  EXPECT_EQ(create(root, {{L"data", 1, AnySha}, {L"data/x.bin", 1, AnySha}}), "Manifest file/directory collision");
  EXPECT_EQ(create(root, {{L"Data/x.bin", 1, AnySha}, {L"data", 1, AnySha}}), "Manifest file/directory collision");
  EXPECT_EQ(create(root, {{L"a/b", 1, AnySha}, {L"a/bc", 1, AnySha}, {L"a/b-c/d", 1, AnySha}}), "no exception");
  EXPECT_EQ(create(root, {{L"a", 1, std::wstring(63, L'a')}}), "Duplicate or invalid transaction manifest");
  EXPECT_EQ(create(root, {{L"a", 1, std::wstring(63, L'a') + L"g"}}), "Duplicate or invalid transaction manifest");
  EXPECT_EQ(create(root, {{L"a/../b", 1, AnySha}}), "Unsafe transaction path component");
}

TEST_F(FileTransactionTest, NormalisesPathsAndLowercasesDigests) {
  FileTransaction transaction(root + L"\\", {{L"Bin/Core.dll", 1, std::wstring(64, L'A')}}, fileDigest);
  EXPECT_EQ(transaction.root(), root);
  EXPECT_EQ(transaction.entries()[0].relativePath, L"Bin\\Core.dll");
  EXPECT_EQ(transaction.entries()[0].sha256, AnySha);
  EXPECT_FALSE(transaction.isActive());
  EXPECT_EQ(transaction.state(), TransactionState::Preparing);
  EXPECT_FALSE(directoryExists(temp / L"Games"));
}

TEST_F(FileTransactionTest, FreshInstallStagesNoBackupsAndReportsEveryJournalWrite) {
  auto transaction = transactionFor({{L"a.bin", "alpha"}, {L"sub/dir/b.bin", "beta"}});
  transaction->prepare(candidate);
  EXPECT_FALSE(fileExists(transaction->backupPath(0)));
  EXPECT_FALSE(fileExists(transaction->backupPath(1)));
  EXPECT_EQ(readBytes(transaction->stagedPath(1)), "beta");
  EXPECT_FALSE(directoryExists(root));  // nothing under the root before apply
  transaction->apply();
  EXPECT_EQ(transaction->state(), TransactionState::Applied);
  transaction->commit();
  EXPECT_EQ(transaction->state(), TransactionState::Committed);
  EXPECT_FALSE(transaction->isActive());
  EXPECT_FALSE(directoryExists(transaction->areaPath()));
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "alpha"}, {L"sub/dir/b.bin", "beta"}}));
  EXPECT_EQ(events, (std::vector<std::string>{"journal-created 0", "prepared-file 0", "prepared-file 1", "prepared 0",
                                              "before-replace 0", "after-replace 0", "before-replace 1",
                                              "after-replace 1", "applied 0", "committed 0"}));
}

TEST_F(FileTransactionTest, UpgradeBacksUpOriginalsAndLeavesForeignFilesAlone) {
  writeTree(root, {{L"a.bin", "old alpha"}, {L"mine.txt", "user"}});
  auto transaction = transactionFor({{L"a.bin", "alpha"}});
  transaction->prepare(candidate);
  EXPECT_EQ(readBytes(transaction->backupPath(0)), "old alpha");
  EXPECT_TRUE(transaction->originals()[0].existed);
  EXPECT_EQ(transaction->originals()[0].size, 9u);
  EXPECT_EQ(transaction->originals()[0].sha256, digestOfBytes("old alpha"));
  transaction->apply();
  transaction->commit();
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "alpha"}, {L"mine.txt", "user"}}));
}

TEST_F(FileTransactionTest, CandidateThatDiffersFromTheManifestIsRefused) {
  writeTree(candidate, {{L"a.bin", "alpha"}});
  FileTransaction transaction(root, {{L"a.bin", 5, digestOfBytes("alphb")}}, fileDigest);
  EXPECT_FAILS_WITH(transaction.prepare(candidate), "Candidate file differs from manifest");
  FileTransaction missing(temp / L"Other", {{L"z.bin", 5, digestOfBytes("alpha")}}, fileDigest);
  EXPECT_FAILS_WITH(missing.prepare(candidate), "Candidate file differs from manifest");
}

TEST_F(FileTransactionTest, CandidateCannotBeReplacedBetweenItsCheckAndItsCopy) {
  writeTree(root, {{L"a.bin", "old alpha"}});
  writeTree(candidate, {{L"a.bin", "alpha"}});
  writeBytes(temp / L"other.bin", "omega");
  // The original's digest is the last step between the candidate's check and
  // its copy: right there the candidate is moved aside and the other file put
  // at its name.
  bool replaced = false;
  bool tried = false;
  const DigestFile replacingCandidate = [&](const std::wstring& path) {
    if (!tried && path == root + L"\\a.bin") {
      tried = true;
      const std::wstring name = candidate + L"\\a.bin";
      replaced = ::MoveFileW(name.c_str(), (temp / L"aside.bin").c_str()) &&
                 ::MoveFileW((temp / L"other.bin").c_str(), name.c_str());
    }
    return fileDigest(path);
  };
  FileTransaction transaction(root, candidateManifest(candidate), replacingCandidate);
  transaction.prepare(candidate);
  EXPECT_TRUE(tried);
  EXPECT_FALSE(replaced) << "the checked candidate was not held until its copy";
  transaction.apply();
  transaction.commit();
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "alpha"}}));
}

TEST_F(FileTransactionTest, ReadOnlyOrDirectoryDestinationStopsPreparationWithTheRootUntouched) {
  writeTree(root, {{L"a.bin", "old"}});
  ASSERT_TRUE(::SetFileAttributesW((root + L"\\a.bin").c_str(), FILE_ATTRIBUTE_READONLY));
  auto transaction = transactionFor({{L"a.bin", "new"}});
  EXPECT_FAILS_WITH(transaction->prepare(candidate), "Destination is directory or read-only");
  transaction->rollback();
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "old"}}));
  EXPECT_FALSE(directoryExists(transaction->areaPath()));
  ::SetFileAttributesW((root + L"\\a.bin").c_str(), FILE_ATTRIBUTE_NORMAL);

  std::filesystem::create_directories(root + L"\\b.bin");
  FileTransaction directory(root, {{L"b.bin", 3, digestOfBytes("new")}}, fileDigest);
  writeTree(candidate, {{L"b.bin", "new"}});
  EXPECT_FAILS_WITH(directory.prepare(candidate), "Destination is directory or read-only");
}

TEST_F(FileTransactionTest, DestinationHeldForWritingByAnotherHandleIsLocked) {
  writeTree(root, {{L"a.bin", "old"}});
  UniqueHandle writer(::CreateFileW((root + L"\\a.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer.valid());
  auto transaction = transactionFor({{L"a.bin", "new"}});
  EXPECT_FAILS_WITH(transaction->prepare(candidate), "Destination file is locked; installation not changed");
  writer.reset();
  transaction->rollback();
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "old"}}));
}

TEST_F(FileTransactionTest, SecondPreparationWhileAnAreaExistsMustRecoverFirst) {
  auto first = transactionFor({{L"a.bin", "alpha"}});
  first->prepare(candidate);
  EXPECT_FAILS_WITH(first->prepare(candidate), "Recover existing transaction before preparation");
  FileTransaction second(root, candidateManifest(candidate), fileDigest);
  EXPECT_FAILS_WITH(second.prepare(candidate), "Recover existing transaction before preparation");
}

TEST_F(FileTransactionTest, ApplyTwiceAndCommitBeforeApplyAreRefused) {
  auto transaction = transactionFor({{L"a.bin", "alpha"}});
  EXPECT_FAILS_WITH(transaction->apply(), "Transaction is not prepared");
  transaction->prepare(candidate);
  EXPECT_FAILS_WITH(transaction->commit(), "Transaction has not applied all files");
  transaction->apply();
  EXPECT_FAILS_WITH(transaction->apply(), "Transaction is not prepared");
  transaction->commit();
  EXPECT_FAILS_WITH(transaction->commit(), "Transaction has not applied all files");
}

TEST_F(FileTransactionTest, DestinationEditedAfterPreparationStopsApplyAndRollbackRestoresEarlierFiles) {
  writeTree(root, {{L"a.bin", "old a"}, {L"b.bin", "old b"}});
  auto transaction = transactionFor({{L"a.bin", "new a"}, {L"b.bin", "new b"}, {L"c.bin", "new c"}});
  transaction->prepare(candidate);
  writeBytes(root + L"\\b.bin", "user b");
  EXPECT_FAILS_WITH(transaction->apply(), "Destination changed since backup");
  EXPECT_EQ(readBytes(root + L"\\a.bin"), "new a");  // moved before the check of b
  transaction->rollback();
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "old a"}, {L"b.bin", "user b"}}));
  EXPECT_FALSE(directoryExists(transaction->areaPath()));
}

TEST_F(FileTransactionTest, NewDestinationThatAppearedAfterPreparationIsNotOverwritten) {
  auto transaction = transactionFor({{L"a.bin", "new a"}});
  transaction->prepare(candidate);
  writeTree(root, {{L"a.bin", "someone else"}});
  EXPECT_FAILS_WITH(transaction->apply(), "New destination unexpectedly exists");
  transaction->rollback();
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "someone else"}}));
}

TEST_F(FileTransactionTest, StagedCopyChangedBeforeApplyIsRefused) {
  auto transaction = transactionFor({{L"a.bin", "new a"}});
  transaction->prepare(candidate);
  writeBytes(transaction->stagedPath(0), "new b");
  EXPECT_FAILS_WITH(transaction->apply(), "Candidate changed before apply");
  EXPECT_FALSE(fileExists(root + L"\\a.bin"));
}

TEST_F(FileTransactionTest, InstalledFileChangedBeforeCommitIsRefusedAndRolledBack) {
  writeTree(root, {{L"a.bin", "old a"}});
  auto transaction = transactionFor({{L"a.bin", "new a"}});
  transaction->prepare(candidate);
  transaction->apply();
  writeBytes(root + L"\\a.bin", "new b");
  EXPECT_FAILS_WITH(transaction->commit(), "Installed candidate changed before commit");
  EXPECT_EQ(transaction->state(), TransactionState::Applied);
  // The edit is neither ours nor the original: rollback keeps it.
  EXPECT_FAILS_WITH(transaction->rollback(), "Rollback conflict: externally modified file retained");
  EXPECT_EQ(readBytes(root + L"\\a.bin"), "new b");
}

TEST_F(FileTransactionTest, CancellationStopsPreparationAndTheDestructorRemovesTheArea) {
  int checks = 0;
  std::wstring area;
  {
    auto transaction = transactionFor({{L"a.bin", "a"}, {L"b.bin", "b"}}, [&] {
      if (++checks == 3) throw std::runtime_error("CANCELLED");
    });
    area = transaction->areaPath();
    EXPECT_FAILS_WITH(transaction->prepare(candidate), "CANCELLED");
    EXPECT_TRUE(transaction->isActive());
    EXPECT_TRUE(fileExists(transaction->stagedPath(0)));
  }
  EXPECT_FALSE(directoryExists(area));
  EXPECT_FALSE(directoryExists(root));
}

TEST_F(FileTransactionTest, DestroyingAnAppliedTransactionRestoresTheOriginals) {
  writeTree(root, {{L"a.bin", "old a"}});
  std::wstring area;
  {
    auto transaction = transactionFor({{L"a.bin", "new a"}, {L"n/b.bin", "new b"}});
    area = transaction->areaPath();
    transaction->prepare(candidate);
    transaction->apply();
  }
  EXPECT_EQ(readTree(root), (FileTree{{L"a.bin", "old a"}}));
  EXPECT_FALSE(directoryExists(area));
}

}  // namespace
