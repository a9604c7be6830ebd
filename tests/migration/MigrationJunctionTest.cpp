// The whole migration with real junctions: run and commit, rollback after each
// move, crash at each point between a move and its record and recovery by the
// next run. These need a platform that makes junctions and enumerates streams;
// elsewhere they skip and say why.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "migration/LegacyDataMigration.h"
#include "payload/Sha256.h"
#include "tests/migration/MigrationTestSupport.h"
#include "tests/support/TestSupport.h"

namespace orvo {
namespace {

using test::messageOf;
using test::snapshotTree;

// The states recorded after the header and the saved descriptor.
std::vector<std::uint32_t> recordedStates(const std::string& journal) {
  std::vector<std::uint32_t> states;
  if (journal.size() < 124) return states;
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(journal[at])) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(journal[at + 1])) << 8) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(journal[at + 2])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(journal[at + 3])) << 24);
  };
  for (std::size_t at = 124 + u32(120); at + 16 <= journal.size(); at += 16) states.push_back(u32(at + 4));
  return states;
}

std::wstring migrationIdOf(const std::string& journal) {
  std::wstring id;
  for (std::size_t i = 0; i < 32; ++i) id.push_back(static_cast<wchar_t>(static_cast<std::uint8_t>(journal[16 + 2 * i])));
  return id;
}

bool isJunction(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isOrdinaryDirectoryAt(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & 0x5450) == 0x10;
}

class JunctionMigration : public test::TempDirTest {
 protected:
  void SetUp() override {
    if (!test::platformHasJunctions()) {
      GTEST_SKIP() << "this platform cannot create or read junctions (FSCTL_SET/GET_REPARSE_POINT fail)";
    }
    if (!test::platformHasFileStreams()) {
      GTEST_SKIP() << "this platform cannot enumerate file streams (FindFirstStreamW fails)";
    }
    install = normalizeMigrationPath(temp / L"install");
    ASSERT_TRUE(::CreateDirectoryW(install.c_str(), nullptr));
    source = normalizeMigrationPath(temp / L"userdata");
    ASSERT_TRUE(::CreateDirectoryW(source.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((source + L"\\saves").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((source + L"\\saves\\deep").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((source + L"\\empty").c_str(), nullptr));
    test::writeBytes(source + L"\\config.json", "{\"language\":\"zh-CN\"}");
    test::writeBytes(source + L"\\saves\\slot1.dat", "slot one");
    std::string large(700000, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 253);
    test::writeBytes(source + L"\\saves\\deep\\replay.bin", large);
    legacy = install + L"\\.platform";
    test::makeJunction(legacy, source);
    journalPath = install + L"\\.platform-migration-journal.bin";
    sourceTree = snapshotTree(source);
    token = test::makeDesktopToken();
  }

  std::wstring named(const wchar_t* prefix, const std::wstring& id) const { return install + L"\\" + prefix + id; }

  // Runs a migration that fails by the test's hand at `point`, then rolls back.
  void runFailingAt(MigrationSwitchPoint point) {
    LegacyDataMigration migration(install, token.get());
    migration.setSwitchObserver([point](MigrationSwitchPoint reached) {
      if (reached == point) throw std::runtime_error("injected failure");
    });
    EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "injected failure");
    id = migration.migrationId();
    migration.rollbackMigration();
    EXPECT_TRUE(migration.finished());
  }

  // After the link was parked, another directory takes ".platform" and the
  // run fails; its rollback then refuses to touch the stranger.
  void failWithAStrangerAtThePlatformName() {
    LegacyDataMigration migration(install, token.get());
    migration.setSwitchObserver([&](MigrationSwitchPoint reached) {
      if (reached != MigrationSwitchPoint::LinkParkedRecorded) return;
      if (!::CreateDirectoryW(legacy.c_str(), nullptr)) throw std::runtime_error("stranger not made");
      throw std::runtime_error("injected failure");
    });
    EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "injected failure");
    id = migration.migrationId();
    EXPECT_EQ(messageOf([&] { migration.rollbackMigration(); }), "Migration rollback personal data identity changed");
  }

  void expectLegacyLayoutRestored() {
    EXPECT_TRUE(isJunction(legacy));
    UniqueHandle link = openMigrationPath(legacy, FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
    EXPECT_EQ(readJunctionTarget(link.get()), source);
    EXPECT_EQ(snapshotTree(source), sourceTree);
  }

  std::wstring install, source, legacy, journalPath, id;
  std::map<std::wstring, std::wstring> sourceTree;
  UniqueHandle token;
};

TEST_F(JunctionMigration, MigratesTheDataIntoAPrivateCopyAndCommits) {
  LegacyDataMigration migration(install, token.get());
  ASSERT_TRUE(migration.runMigration());
  EXPECT_EQ(migration.state(), 3u);
  id = migration.migrationId();
  migration.commitMigration();
  EXPECT_EQ(migration.state(), 4u);

  EXPECT_TRUE(isOrdinaryDirectoryAt(legacy));
  EXPECT_EQ(snapshotTree(legacy), sourceTree);
  const std::wstring parked = named(L".platform.migration-original-", id);
  EXPECT_TRUE(isJunction(parked));
  UniqueHandle link = openMigrationPath(parked, FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
  EXPECT_EQ(readJunctionTarget(link.get()), source);
  EXPECT_EQ(snapshotTree(source), sourceTree);  // the user's data only read
  EXPECT_EQ(recordedStates(test::readBytes(journalPath)), (std::vector<std::uint32_t>{2, 3, 4}));
  EXPECT_FALSE(test::directoryExists(named(L".platform.migration-copy-", id)));
  if (test::platformStoresFileDacls()) {
    const test::DaclText expected = test::splitDacl(privateDescriptorSddl(test::sidOfToken(token.get())));
    EXPECT_EQ(test::daclOf(legacy), expected);
    EXPECT_EQ(test::daclOf(parked), expected);
  }
}

TEST_F(JunctionMigration, ArchivesTheCommittedJournalOnTheNextRunAndFindsNothingToDo) {
  {
    LegacyDataMigration migration(install, token.get());
    ASSERT_TRUE(migration.runMigration());
    id = migration.migrationId();
    migration.commitMigration();
  }
  const std::string journal = test::readBytes(journalPath);
  LegacyDataMigration next(install, token.get());
  EXPECT_FALSE(next.runMigration());
  EXPECT_FALSE(test::fileExists(journalPath));
  EXPECT_EQ(test::readBytes(install + L"\\.platform.migration-journal-" + id + L".bin"), journal);
  EXPECT_EQ(snapshotTree(legacy), sourceTree);
}

TEST_F(JunctionMigration, MigratesAnEmptySourceDirectory) {
  const std::wstring emptySource = normalizeMigrationPath(temp / L"empty-userdata");
  ASSERT_TRUE(::CreateDirectoryW(emptySource.c_str(), nullptr));
  ASSERT_TRUE(::RemoveDirectoryW(legacy.c_str()));
  test::makeJunction(legacy, emptySource);
  LegacyDataMigration migration(install, token.get());
  ASSERT_TRUE(migration.runMigration());
  EXPECT_EQ(migration.state(), 3u);
  migration.commitMigration();
  EXPECT_EQ(migration.state(), 4u);
  EXPECT_TRUE(isOrdinaryDirectoryAt(legacy));
  EXPECT_TRUE(snapshotTree(legacy).empty());
}

TEST_F(JunctionMigration, RefusesASourceInsideTheInstallation) {
  ASSERT_TRUE(::RemoveDirectoryW(legacy.c_str()));
  ASSERT_TRUE(::CreateDirectoryW((install + L"\\data").c_str(), nullptr));
  test::makeJunction(legacy, install + L"\\data");
  {
    LegacyDataMigration migration(install, token.get());
    EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "Migration source overlaps installation");
  }
  ASSERT_TRUE(::RemoveDirectoryW(legacy.c_str()));
  test::makeJunction(legacy, temp.path());
  LegacyDataMigration migration(install, token.get());
  EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "Migration source overlaps installation");
  EXPECT_FALSE(test::fileExists(journalPath));
}

TEST_F(JunctionMigration, RollsBackAfterTheLinkWasParkedButBeforeItsRecord) {
  runFailingAt(MigrationSwitchPoint::LinkParkedOnDisk);
  expectLegacyLayoutRestored();
  EXPECT_EQ(recordedStates(test::readBytes(journalPath)), (std::vector<std::uint32_t>{5}));
  EXPECT_TRUE(isOrdinaryDirectoryAt(named(L".platform.migration-copy-", id)));
  EXPECT_EQ(snapshotTree(named(L".platform.migration-copy-", id)), sourceTree);
  EXPECT_FALSE(test::directoryExists(named(L".platform.migration-original-", id)));
}

TEST_F(JunctionMigration, RollsBackAfterTheFirstMove) {
  runFailingAt(MigrationSwitchPoint::LinkParkedRecorded);
  expectLegacyLayoutRestored();
  EXPECT_EQ(recordedStates(test::readBytes(journalPath)), (std::vector<std::uint32_t>{2, 5}));
  EXPECT_TRUE(isOrdinaryDirectoryAt(named(L".platform.migration-copy-", id)));
  EXPECT_FALSE(test::directoryExists(named(L".platform.migration-preserved-", id)));
}

TEST_F(JunctionMigration, RollsBackAfterBothMovesKeepingTheCopy) {
  runFailingAt(MigrationSwitchPoint::CopyPlacedOnDisk);
  expectLegacyLayoutRestored();
  EXPECT_EQ(recordedStates(test::readBytes(journalPath)), (std::vector<std::uint32_t>{2, 5}));
  EXPECT_EQ(snapshotTree(named(L".platform.migration-preserved-", id)), sourceTree);
  EXPECT_FALSE(test::directoryExists(named(L".platform.migration-copy-", id)));
}

TEST_F(JunctionMigration, RollsBackAfterTheSecondRecord) {
  runFailingAt(MigrationSwitchPoint::CopyPlacedRecorded);
  expectLegacyLayoutRestored();
  EXPECT_EQ(recordedStates(test::readBytes(journalPath)), (std::vector<std::uint32_t>{2, 3, 5}));
  EXPECT_EQ(snapshotTree(named(L".platform.migration-preserved-", id)), sourceTree);
}

TEST_F(JunctionMigration, RecoversARolledBackJournalAndMigratesAgainUnderANewIdentity) {
  runFailingAt(MigrationSwitchPoint::CopyPlacedRecorded);
  const std::string rolledBack = test::readBytes(journalPath);
  LegacyDataMigration next(install, token.get());
  ASSERT_TRUE(next.runMigration());
  next.commitMigration();
  EXPECT_NE(next.migrationId(), id);
  EXPECT_EQ(test::readBytes(install + L"\\.platform.migration-journal-" + id + L".bin"), rolledBack);
  EXPECT_EQ(snapshotTree(legacy), sourceTree);
}

TEST_F(JunctionMigration, RefusesARollbackWhenThePlatformNameWasTakenByAnotherDirectory) {
  failWithAStrangerAtThePlatformName();
  // Every later run finds the parked link and a stranger at ".platform".
  for (int attempt = 0; attempt < 2; ++attempt) {
    LegacyDataMigration next(install, token.get());
    EXPECT_EQ(messageOf([&] { next.runMigration(); }), "Migration recovery identity mismatch");
  }
  EXPECT_TRUE(isJunction(named(L".platform.migration-original-", id)));
  EXPECT_TRUE(isOrdinaryDirectoryAt(legacy));
  EXPECT_EQ(recordedStates(test::readBytes(journalPath)), (std::vector<std::uint32_t>{2}));
}

TEST_F(JunctionMigration, RecoversOnceTheStrangerIsGone) {
  failWithAStrangerAtThePlatformName();
  ASSERT_TRUE(::RemoveDirectoryW(legacy.c_str()));
  LegacyDataMigration next(install, token.get());
  next.recoverMigration();
  expectLegacyLayoutRestored();
  EXPECT_FALSE(test::fileExists(journalPath));
  EXPECT_EQ(recordedStates(test::readBytes(install + L"\\.platform.migration-journal-" + id + L".bin")),
            (std::vector<std::uint32_t>{2, 5}));
}

class JunctionMigrationCrash : public JunctionMigration,
                               public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(JunctionMigrationCrash, IsRecoveredByTheNextRunWhichMigratesAgain) {
  const std::wstring point = GetParam();
  ASSERT_EQ(test::runToExit(test::helperProgram(L"MigrationCrashRunner"), L"\"" + install + L"\" " + point), 77u);
  const std::string crashed = test::readBytes(journalPath);
  id = migrationIdOf(crashed);

  LegacyDataMigration next(install, token.get());
  ASSERT_TRUE(next.runMigration());
  next.commitMigration();
  EXPECT_NE(next.migrationId(), id);
  EXPECT_EQ(snapshotTree(legacy), sourceTree);
  EXPECT_EQ(snapshotTree(source), sourceTree);
  const std::string archived = test::readBytes(install + L"\\.platform.migration-journal-" + id + L".bin");
  EXPECT_EQ(recordedStates(archived).back(), 5u);
  const bool copyReachedPlatform = point.rfind(L"CopyPlaced", 0) == 0;
  EXPECT_EQ(test::directoryExists(named(L".platform.migration-preserved-", id)), copyReachedPlatform);
  EXPECT_EQ(test::directoryExists(named(L".platform.migration-copy-", id)), !copyReachedPlatform);
}

INSTANTIATE_TEST_SUITE_P(AtEachSwitchPoint, JunctionMigrationCrash,
                         ::testing::Values(L"LinkParkedOnDisk", L"LinkParkedRecorded", L"CopyPlacedOnDisk",
                                           L"CopyPlacedRecorded"));

TEST_F(JunctionMigration, StopsRecoveryWhenThePreservedNameIsTaken) {
  ASSERT_EQ(test::runToExit(test::helperProgram(L"MigrationCrashRunner"), L"\"" + install + L"\" CopyPlacedRecorded"),
            77u);
  id = migrationIdOf(test::readBytes(journalPath));
  ASSERT_TRUE(::CreateDirectoryW(named(L".platform.migration-preserved-", id).c_str(), nullptr));
  const std::string before = test::readBytes(journalPath);
  {
    LegacyDataMigration next(install, token.get());
    EXPECT_EQ(messageOf([&] { next.runMigration(); }), "Migration recovery destination occupied");
  }
  EXPECT_EQ(test::readBytes(journalPath), before);
  EXPECT_TRUE(isOrdinaryDirectoryAt(legacy));
  EXPECT_TRUE(isJunction(named(L".platform.migration-original-", id)));
}

}  // namespace
}  // namespace orvo
