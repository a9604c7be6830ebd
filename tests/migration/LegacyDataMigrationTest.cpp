// The legacy data migration against real install directories: detection,
// construction, the run's refusals, and recovery from journals left by an
// earlier run. What needs a real junction is in MigrationJunctionTest.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "migration/LegacyDataMigration.h"
#include "tests/migration/MigrationTestSupport.h"
#include "tests/support/TestSupport.h"

namespace orvo {
namespace {

using test::CraftedJournal;

using test::messageOf;

using test::namesIn;

class LegacyMigration : public test::TempDirTest {
 protected:
  void SetUp() override {
    install = temp / L"install";
    ASSERT_TRUE(::CreateDirectoryW(install.c_str(), nullptr));
    legacy = install + L"\\.platform";
    journalPath = install + L"\\.platform-migration-journal.bin";
    token = test::makeDesktopToken();
    journal.installDirectory = test::identityOfPath(install);
    journal.descriptor = test::descriptorFromSddl(L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  }

  std::wstring archivedJournalPath() const {
    return install + L"\\.platform.migration-journal-" + journal.migrationId + L".bin";
  }

  std::string writeJournal() {
    const std::string bytes = test::craftJournalBytes(journal);
    test::writeBytes(journalPath, bytes);
    return bytes;
  }

  // Runs a fresh migration and returns its failure text; the object (and the
  // journal it holds exclusively) is gone when this returns.
  std::string runFreshMigration() {
    LegacyDataMigration migration(install, token.get());
    const std::string message = messageOf([&] { migration.runMigration(); });
    migration.rollbackMigration();
    return message;
  }

  void makeDirectory(const std::wstring& path) { ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)); }

  std::wstring install;
  std::wstring legacy;
  std::wstring journalPath;
  UniqueHandle token;
  CraftedJournal journal;
};

TEST_F(LegacyMigration, FindsNothingToMigrateWithoutPlatformData) {
  LegacyDataMigration migration(install, token.get());
  EXPECT_FALSE(migration.runMigration());
  migration.commitMigration();
  EXPECT_FALSE(migration.journalActive());
  EXPECT_TRUE(namesIn(install).empty());
}

TEST_F(LegacyMigration, LeavesAnOrdinaryPlatformDirectoryAsItIs) {
  makeDirectory(legacy);
  test::writeBytes(legacy + L"\\settings.json", "{\"volume\":3}");
  LegacyDataMigration migration(install, token.get());
  EXPECT_FALSE(migration.runMigration());
  migration.commitMigration();
  EXPECT_EQ(namesIn(install), std::vector<std::wstring>{L".platform"});
  EXPECT_EQ(test::readBytes(legacy + L"\\settings.json"), "{\"volume\":3}");
}

TEST_F(LegacyMigration, RefusesAFileInPlaceOfPlatformData) {
  test::writeBytes(legacy, "not a directory");
  EXPECT_EQ(runFreshMigration(), "Migration personal data is not an ordinary directory");
  EXPECT_EQ(namesIn(install), std::vector<std::wstring>{L".platform"});
  EXPECT_EQ(test::readBytes(legacy), "not a directory");
}

TEST_F(LegacyMigration, FailsClosedOnALinkThatCannotBeReadAsAJunction) {
  if (test::platformHasJunctions()) GTEST_SKIP() << "this platform has junctions; the stand-in link is not made here";
  const std::wstring userData = temp / L"userdata";
  makeDirectory(userData);
  test::writeBytes(userData + L"\\save.dat", "progress");
  test::makeDirectoryLink(legacy, userData);
  {
    LegacyDataMigration migration(install, token.get());
    EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "Migration link metadata unavailable");
    migration.rollbackMigration();
  }
  // Nothing moved, nothing created, the user's data as it was.
  EXPECT_EQ(namesIn(install), std::vector<std::wstring>{L".platform"});
  EXPECT_EQ(::GetFileAttributesW(legacy.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
            static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(test::readBytes(userData + L"\\save.dat"), "progress");
}

TEST_F(LegacyMigration, RunsOnlyOnce) {
  LegacyDataMigration migration(install, token.get());
  EXPECT_FALSE(migration.runMigration());
  EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "Migration transaction already used");
}

TEST_F(LegacyMigration, RefusesToStartWithoutADesktopToken) {
  EXPECT_EQ(messageOf([&] { LegacyDataMigration(install, nullptr); }), "Migration desktop token unavailable");
  EXPECT_EQ(messageOf([&] { LegacyDataMigration(install, INVALID_HANDLE_VALUE); }),
            "Migration desktop token unavailable");
}

TEST_F(LegacyMigration, RefusesADriveRootOrAMissingInstallDirectory) {
  EXPECT_EQ(messageOf([&] { LegacyDataMigration(L"C:\\", token.get()); }),
            "Migration target must be a local fixed-drive directory");
  EXPECT_EQ(messageOf([&] { LegacyDataMigration(install + L"\\missing", token.get()); }),
            "Migration file is inaccessible or in use");
}

TEST_F(LegacyMigration, KeepsItsOwnDuplicateOfTheToken) {
  LegacyDataMigration migration(install, token.get());
  token.reset();  // the pipeline closes its token whenever it likes
  EXPECT_FALSE(migration.runMigration());
}

TEST_F(LegacyMigration, ChangesNothingWhenDestroyedUnused) {
  makeDirectory(legacy);
  { LegacyDataMigration migration(install, token.get()); }
  EXPECT_EQ(namesIn(install), std::vector<std::wstring>{L".platform"});
}

TEST_F(LegacyMigration, ArchivesACommittedJournalWhoseCopyIsInPlace) {
  makeDirectory(legacy);
  test::writeBytes(legacy + L"\\save.dat", "migrated earlier");
  journal.legacyLink = {7, 7, 7};
  journal.privateCopy = test::identityOfPath(legacy);
  journal.records = {2, 3, 4};
  const std::string bytes = writeJournal();
  LegacyDataMigration migration(install, token.get());
  EXPECT_FALSE(migration.runMigration());
  EXPECT_FALSE(test::fileExists(journalPath));
  EXPECT_EQ(test::readBytes(archivedJournalPath()), bytes);
  EXPECT_EQ(test::readBytes(legacy + L"\\save.dat"), "migrated earlier");
}

TEST_F(LegacyMigration, RefusesACommittedJournalWhosePlatformDirectoryWasReplaced) {
  makeDirectory(legacy);
  journal.legacyLink = {7, 7, 7};
  journal.privateCopy = {7, 8, 9};
  journal.records = {2, 3, 4};
  const std::string bytes = writeJournal();
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(runFreshMigration(), "Migration recovery identity mismatch");
  }
  EXPECT_EQ(test::readBytes(journalPath), bytes);
  EXPECT_FALSE(test::fileExists(archivedJournalPath()));
}

TEST_F(LegacyMigration, RefusesACommittedJournalWhosePlatformDirectoryIsGone) {
  const std::wstring elsewhere = temp / L"elsewhere";
  makeDirectory(elsewhere);
  journal.privateCopy = test::identityOfPath(elsewhere);
  journal.records = {2, 3, 4};
  const std::string bytes = writeJournal();
  EXPECT_EQ(runFreshMigration(), "Migration file is inaccessible or in use");
  EXPECT_EQ(test::readBytes(journalPath), bytes);
}

TEST_F(LegacyMigration, RefusesACommittedJournalWhoseCopyBecameAFile) {
  test::writeBytes(legacy, "file");
  journal.privateCopy = test::identityOfPath(legacy);
  journal.records = {2, 3, 4};
  writeJournal();
  EXPECT_EQ(runFreshMigration(), "Migration recovery not directory");
}

TEST_F(LegacyMigration, RefusesAnUnfinishedJournalWhenTheDataLinkIsMissing) {
  journal.legacyLink = {7, 7, 7};
  journal.privateCopy = {8, 8, 8};
  journal.records = {2};
  const std::string bytes = writeJournal();
  EXPECT_EQ(runFreshMigration(), "Migration recovery original data link missing");
  EXPECT_EQ(test::readBytes(journalPath), bytes);
}

TEST_F(LegacyMigration, NeverTakesAnOrdinaryDirectoryForTheJunctionItRecorded) {
  makeDirectory(legacy);
  journal.legacyLink = test::identityOfPath(legacy);
  journal.privateCopy = {8, 8, 8};
  const std::string bytes = writeJournal();  // state 1: nothing moved yet
  EXPECT_EQ(runFreshMigration(), "Migration original junction changed");
  EXPECT_EQ(test::readBytes(journalPath), bytes);
  EXPECT_EQ(namesIn(install), (std::vector<std::wstring>{L".platform", L".platform-migration-journal.bin"}));
}

TEST_F(LegacyMigration, NeverMovesBackAParkedObjectThatIsNoLongerAJunction) {
  const std::wstring parked = install + L"\\.platform.migration-original-" + journal.migrationId;
  makeDirectory(parked);
  journal.legacyLink = test::identityOfPath(parked);
  journal.privateCopy = {8, 8, 8};
  journal.records = {2};
  const std::string bytes = writeJournal();
  EXPECT_EQ(runFreshMigration(), "Migration original junction changed");
  EXPECT_TRUE(test::directoryExists(parked));
  EXPECT_FALSE(test::directoryExists(legacy));
  EXPECT_EQ(test::readBytes(journalPath), bytes);
}

TEST_F(LegacyMigration, RefusesARolledBackJournalWhosePlatformDataIsNoJunction) {
  makeDirectory(legacy);
  journal.legacyLink = test::identityOfPath(legacy);
  journal.records = {2, 5};
  const std::string bytes = writeJournal();
  EXPECT_EQ(runFreshMigration(), "Migration original junction changed");
  EXPECT_EQ(test::readBytes(journalPath), bytes);
}

TEST_F(LegacyMigration, StopsAtAnUnreadableJournalOnEveryRun) {
  makeDirectory(legacy);
  journal.records = {3, 2};
  const std::string bytes = writeJournal();
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(runFreshMigration(), "Migration state history conflicts");
  }
  EXPECT_EQ(test::readBytes(journalPath), bytes);
}

// A live journal that ends before its header and saved descriptor do was cut
// by a failed first write or a power loss before its first flush: nothing
// moved under it. Recovery archives it with its bytes and a note, under its
// own run identity when the header got that far, and the run goes on.
struct CutJournal {
  const char* label;
  long keep;  // bytes kept; negative: that many cut from the end
  bool identityReadable;
};

class LegacyMigrationCutJournal : public LegacyMigration, public ::testing::WithParamInterface<CutJournal> {};

TEST_P(LegacyMigrationCutJournal, IsArchivedWithItsBytesAndTheRunGoesOn) {
  std::string bytes = test::craftJournalBytes(journal);
  bytes.resize(GetParam().keep >= 0 ? GetParam().keep : bytes.size() + GetParam().keep);
  test::writeBytes(journalPath, bytes);
  LegacyDataMigration migration(install, token.get());
  EXPECT_FALSE(migration.runMigration());
  EXPECT_EQ(migration.recoveryNotes(), std::vector<std::string>{kCutJournalArchivedNote});
  const std::vector<std::wstring> names = namesIn(install);
  ASSERT_EQ(names.size(), 1u);
  const std::wstring archived = install + L"\\" + names.front();
  if (GetParam().identityReadable) {
    EXPECT_EQ(archived, archivedJournalPath());
  } else {
    EXPECT_EQ(names.front().rfind(L".platform.migration-journal-", 0), 0u);
    EXPECT_TRUE(isValidMigrationId(names.front().substr(28, 32)));
    EXPECT_EQ(names.front().substr(60), L".bin");
  }
  EXPECT_EQ(test::readBytes(archived), bytes);
}

INSTANTIATE_TEST_SUITE_P(Cuts, LegacyMigrationCutJournal,
                         ::testing::Values(CutJournal{"Empty", 0, false}, CutJournal{"InsideTheHeader", 60, false},
                                           CutJournal{"InsideTheDescriptor", -5, true}),
                         [](const ::testing::TestParamInfo<CutJournal>& info) { return std::string(info.param.label); });

TEST_F(LegacyMigration, CommitAndRollbackDoNothingBeforeARun) {
  LegacyDataMigration migration(install, token.get());
  migration.commitMigration();
  migration.rollbackMigration();
  EXPECT_FALSE(migration.finished());
  EXPECT_TRUE(namesIn(install).empty());
}

TEST(MigrationFreeSpace, NeedsTheDataPlusSixteenMebibytes) {
  EXPECT_TRUE(hasRoomForMigration(1000, 1000 + 16777216));
  EXPECT_FALSE(hasRoomForMigration(1000, 1000 + 16777215));
  EXPECT_TRUE(hasRoomForMigration(0, 16777216));
  EXPECT_FALSE(hasRoomForMigration(1000, 999));
  EXPECT_FALSE(hasRoomForMigration(UINT64_MAX, UINT64_MAX));
}

}  // namespace
}  // namespace orvo
