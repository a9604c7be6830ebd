// The live journal on disk: written and extended through a real file, read
// back with each of its checks, held exclusively.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "migration/MigrationJournal.h"
#include "migration/MigrationPaths.h"
#include "tests/migration/MigrationTestSupport.h"
#include "tests/support/TestSupport.h"

namespace orvo {
namespace {

using test::CraftedJournal;
using test::craftJournalBytes;

using test::messageOf;

class MigrationJournalFile : public test::TempDirTest {
 protected:
  void SetUp() override {
    install = temp / L"install";
    ASSERT_TRUE(::CreateDirectoryW(install.c_str(), nullptr));
    journalPath = install + L"\\.platform-migration-journal.bin";
    installHandle = openMigrationPath(install, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    crafted.installDirectory = readFileIdentity(installHandle.get());
    crafted.legacyLink = {1, 2, 3};
    crafted.privateCopy = {4, 5, 6};
    crafted.descriptor = test::descriptorFromSddl(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)");
  }

  std::string readAs(const std::string& bytes, MigrationJournal& journal) {
    test::writeBytes(journalPath, bytes);
    return messageOf([&] { readMigrationJournal(journal, journalPath, installHandle.get()); });
  }

  std::string readAs(const std::string& bytes) {
    MigrationJournal journal;
    return readAs(bytes, journal);
  }

  std::wstring install;
  std::wstring journalPath;
  UniqueHandle installHandle;
  CraftedJournal crafted;
};

TEST_F(MigrationJournalFile, ReportsNoJournalWhenTheFileIsAbsent) {
  MigrationJournal journal;
  EXPECT_EQ(readMigrationJournal(journal, journalPath, installHandle.get()), JournalReading::Absent);
  EXPECT_FALSE(journal.handle.valid());
  EXPECT_FALSE(test::fileExists(journalPath));
}

TEST_F(MigrationJournalFile, WritesTheHeaderThenAppendsFlushedRecords) {
  MigrationJournal journal;
  journal.reset();
  journal.header.migrationId = crafted.migrationId;
  journal.header.installDirectory = crafted.installDirectory;
  journal.header.legacyLink = crafted.legacyLink;
  journal.header.privateCopy = crafted.privateCopy;
  journal.savedDescriptor = crafted.descriptor;
  journal.handle = createMigrationJournalFile(journalPath, nullptr);
  writeMigrationState(journal, 1);
  EXPECT_EQ(journal.state, 1u);
  writeMigrationState(journal, 2);
  writeMigrationState(journal, 3);
  EXPECT_EQ(journal.state, 3u);
  journal.handle.reset();

  crafted.records = {2, 3};
  EXPECT_EQ(test::readBytes(journalPath), craftJournalBytes(crafted));

  MigrationJournal read;
  ASSERT_EQ(readMigrationJournal(read, journalPath, installHandle.get()), JournalReading::Loaded);
  EXPECT_EQ(read.state, 3u);
  EXPECT_EQ(read.header.migrationId, crafted.migrationId);
  EXPECT_EQ(read.header.legacyLink, crafted.legacyLink);
  EXPECT_EQ(read.header.privateCopy, crafted.privateCopy);
  EXPECT_EQ(read.savedDescriptor, crafted.descriptor);
}

TEST_F(MigrationJournalFile, AppendsAStateAtTheEndWhereverTheFilePointerIs) {
  test::writeBytes(journalPath, craftJournalBytes(crafted));
  MigrationJournal journal;
  ASSERT_EQ(readMigrationJournal(journal, journalPath, installHandle.get()), JournalReading::Loaded);
  LARGE_INTEGER at{};
  at.QuadPart = 7;
  ASSERT_TRUE(::SetFilePointerEx(journal.handle.get(), at, nullptr, FILE_BEGIN));
  writeMigrationState(journal, 2);
  journal.handle.reset();
  crafted.records = {2};
  EXPECT_EQ(test::readBytes(journalPath), craftJournalBytes(crafted));
}

TEST_F(MigrationJournalFile, RefusesToCreateASecondLiveJournal) {
  test::writeBytes(journalPath, "x");
  EXPECT_EQ(messageOf([&] { createMigrationJournalFile(journalPath, nullptr); }), "Migration journal already exists");
  EXPECT_EQ(test::readBytes(journalPath), "x");
}

TEST_F(MigrationJournalFile, HoldsTheJournalExclusivelyOnceRead) {
  test::writeBytes(journalPath, craftJournalBytes(crafted));
  MigrationJournal journal;
  ASSERT_EQ(readMigrationJournal(journal, journalPath, installHandle.get()), JournalReading::Loaded);
  MigrationJournal second;
  EXPECT_EQ(messageOf([&] { readMigrationJournal(second, journalPath, installHandle.get()); }),
            "Migration file is inaccessible or in use");
}

TEST_F(MigrationJournalFile, RefusesAJournalOfOnlyAHeader) {
  crafted.descriptor.clear();
  const std::string bytes = craftJournalBytes(crafted);
  ASSERT_EQ(bytes.size(), 124u);
  EXPECT_EQ(readAs(bytes), "Migration saved security metadata invalid");
}

TEST_F(MigrationJournalFile, RefusesAJournalOneBytePastItsBound) {
  std::string bytes = craftJournalBytes(crafted);
  bytes.resize(66685, '\0');
  EXPECT_EQ(readAs(bytes), "Migration journal is not an ordinary bounded file");
}

TEST_F(MigrationJournalFile, RefusesAJournalWithASecondHardLink) {
  test::writeBytes(journalPath, craftJournalBytes(crafted));
  ASSERT_TRUE(::CreateHardLinkW((temp / L"other-name.bin").c_str(), journalPath.c_str(), nullptr));
  MigrationJournal journal;
  EXPECT_EQ(messageOf([&] { readMigrationJournal(journal, journalPath, installHandle.get()); }),
            "Migration journal is not an ordinary bounded file");
}

TEST_F(MigrationJournalFile, ReadsFifteenTrailingBytesAfterTwoRecordsAsTheSecondState) {
  crafted.records = {2, 3};
  std::string bytes = craftJournalBytes(crafted) + test::stateRecordBytes(4).substr(0, 15);
  MigrationJournal journal;
  EXPECT_EQ(readAs(bytes, journal), "no exception");
  EXPECT_EQ(journal.state, 3u);
}

TEST_F(MigrationJournalFile, ReadsRepeatedStatesAndRefusesConflicts) {
  crafted.records = {2, 3, 3};
  MigrationJournal journal;
  EXPECT_EQ(readAs(craftJournalBytes(crafted), journal), "no exception");
  EXPECT_EQ(journal.state, 3u);
  journal.handle.reset();
  crafted.records = {3, 2};
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration state history conflicts");
  crafted.records = {4, 5};
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration state history conflicts");
}

TEST_F(MigrationJournalFile, RefusesAnUpperCaseDigitInTheIdentity) {
  crafted.migrationId = L"0123456789ABCDEF0123456789abcdef";
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration journal identity invalid");
}

TEST_F(MigrationJournalFile, RefusesAJournalCopiedFromAnotherInstallDirectory) {
  const std::wstring other = temp / L"other";
  ASSERT_TRUE(::CreateDirectoryW(other.c_str(), nullptr));
  crafted.installDirectory = test::identityOfPath(other);
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration journal identity invalid");
}

TEST_F(MigrationJournalFile, RefusesAHeaderStateOtherThanJournalCreated) {
  crafted.headerState = 3;
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration journal identity invalid");
}

TEST_F(MigrationJournalFile, RefusesASavedDescriptorWithAnOwnerOrASacl) {
  crafted.descriptor = test::descriptorFromSddl(L"O:SYD:(A;;FA;;;SY)");
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration saved security metadata invalid");
  crafted.descriptor = test::descriptorFromSddl(L"D:(A;;FA;;;SY)S:(AU;SA;FA;;;WD)");
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration saved security metadata invalid");
}

TEST_F(MigrationJournalFile, RefusesAHistoryLongerThanItsBound) {
  for (int i = 0; i < 65; ++i) crafted.records.push_back(2);
  EXPECT_EQ(readAs(craftJournalBytes(crafted)), "Migration state history exceeds safety bound");
}

TEST_F(MigrationJournalFile, LeavesARefusedJournalUntouched) {
  crafted.records = {3, 2};
  const std::string bytes = craftJournalBytes(crafted);
  EXPECT_EQ(readAs(bytes), "Migration state history conflicts");
  EXPECT_EQ(test::readBytes(journalPath), bytes);
}

}  // namespace
}  // namespace orvo
