// The whole migration over a legacy layout: run and commit, the second pass
// that notices changes, rollback after each move, crash at each point and
// recovery by the next run. Where the platform has no junctions and no stream
// listing (Wine), a host symbolic link stands in for the junction through the
// link seam (HostLinkEmulation.h); everything else runs for real.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "migration/LegacyDataMigration.h"
#include "payload/Sha256.h"
#include "tests/migration/HostLinkEmulation.h"
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

// The target of the link at `path`, read as the migration reads it.
std::wstring linkTargetOf(const std::wstring& path) {
  UniqueHandle link = migrationLinkPlatform().openLink(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
  return readJunctionTarget(link.get());
}

class JunctionMigration : public test::TempDirTest {
 protected:
  void SetUp() override {
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
    test::makeDirectoryLink(legacy, source);
    journalPath = install + L"\\.platform-migration-journal.bin";
    sourceTree = snapshotTree(source);
    if (test::platformStoresFileDacls()) linkDacl = test::daclOf(legacy);
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

  // The link is back at ".platform", to the same data, with the DACL it had
  // where the platform keeps DACLs.
  void expectLegacyLayoutRestored() {
    EXPECT_TRUE(isJunction(legacy));
    EXPECT_EQ(linkTargetOf(legacy), source);
    EXPECT_EQ(snapshotTree(source), sourceTree);
    if (test::platformStoresFileDacls()) {
      EXPECT_EQ(test::daclOf(legacy), linkDacl);
    }
  }

  std::wstring crashRunnerArguments(const std::wstring& point) const {
    return L"\"" + install + L"\" " + point + (hostLinks.emulated() ? L" --host-links" : L"");
  }

  test::HostLinksWhereNeeded hostLinks;
  std::wstring install, source, legacy, journalPath, id;
  std::map<std::wstring, std::wstring> sourceTree;
  test::DaclText linkDacl;
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
  EXPECT_EQ(linkTargetOf(parked), source);
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
  test::removeDirectoryLink(legacy);
  test::makeDirectoryLink(legacy, emptySource);
  LegacyDataMigration migration(install, token.get());
  ASSERT_TRUE(migration.runMigration());
  EXPECT_EQ(migration.state(), 3u);
  migration.commitMigration();
  EXPECT_EQ(migration.state(), 4u);
  EXPECT_TRUE(isOrdinaryDirectoryAt(legacy));
  EXPECT_TRUE(snapshotTree(legacy).empty());
}

TEST_F(JunctionMigration, RefusesASourceInsideTheInstallation) {
  test::removeDirectoryLink(legacy);
  ASSERT_TRUE(::CreateDirectoryW((install + L"\\data").c_str(), nullptr));
  test::makeDirectoryLink(legacy, install + L"\\data");
  {
    LegacyDataMigration migration(install, token.get());
    EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "Migration source overlaps installation");
  }
  test::removeDirectoryLink(legacy);
  test::makeDirectoryLink(legacy, temp.path());
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
  ASSERT_EQ(test::runToExit(test::helperProgram(L"MigrationCrashRunner"), crashRunnerArguments(point)), 77u);
  const std::string crashed = test::readBytes(journalPath);
  id = migrationIdOf(crashed);

  LegacyDataMigration next(install, token.get());
  ASSERT_TRUE(next.runMigration());
  next.commitMigration();
  EXPECT_NE(next.migrationId(), id);
  EXPECT_EQ(snapshotTree(legacy), sourceTree);
  EXPECT_EQ(snapshotTree(source), sourceTree);
  const std::string archived = test::readBytes(install + L"\\.platform.migration-journal-" + id + L".bin");
  const std::vector<std::uint32_t> states = recordedStates(archived);
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), 5u);
  const bool copyReachedPlatform = point.rfind(L"CopyPlaced", 0) == 0;
  EXPECT_EQ(test::directoryExists(named(L".platform.migration-preserved-", id)), copyReachedPlatform);
  EXPECT_EQ(test::directoryExists(named(L".platform.migration-copy-", id)), !copyReachedPlatform);
}

INSTANTIATE_TEST_SUITE_P(AtEachSwitchPoint, JunctionMigrationCrash,
                         ::testing::Values(L"JournalCreated", L"LinkParkedOnDisk", L"LinkParkedRecorded",
                                           L"CopyPlacedOnDisk", L"CopyPlacedRecorded"));

TEST_F(JunctionMigration, StopsRecoveryWhenThePreservedNameIsTaken) {
  ASSERT_EQ(test::runToExit(test::helperProgram(L"MigrationCrashRunner"), crashRunnerArguments(L"CopyPlacedRecorded")),
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

BOOL WINAPI refuseRevertToSelf() {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// When the thread cannot stop acting as the desktop user after reading the
// source, the elevated steps that follow must not run: the run stops there.
TEST_F(JunctionMigration, StopsWhenTheThreadCannotStopActingAsTheUser) {
  static const ThreadIdentityCalls refused{&refuseRevertToSelf, &::SetThreadToken};
  std::string message;
  {
    LegacyDataMigration migration(install, token.get());
    bindThreadIdentityCalls(&refused);
    message = messageOf([&] { migration.runMigration(); });
    bindThreadIdentityCalls(nullptr);
    ::RevertToSelf();
  }
  EXPECT_EQ(message, "Migration identity unavailable");
  EXPECT_EQ(test::namesIn(install), std::vector<std::wstring>{L".platform"});
}

// A change made by someone else once the copy is written, before the second
// pass: each must stop the run before anything moves, losing nothing.
struct ChangeAfterCopy {
  const char* label;
  const char* message;
  void (*change)(const std::wstring& source, const std::wstring& copy, const std::wstring& legacy,
                 const std::wstring& elsewhere);
};

class JunctionMigrationSecondPass : public JunctionMigration, public ::testing::WithParamInterface<ChangeAfterCopy> {};

TEST_P(JunctionMigrationSecondPass, RefusesToSwitchAndKeepsEverything) {
  const ChangeAfterCopy& row = GetParam();
  const std::wstring elsewhere = normalizeMigrationPath(temp / L"elsewhere");
  ASSERT_TRUE(::CreateDirectoryW(elsewhere.c_str(), nullptr));
  {
    LegacyDataMigration migration(install, token.get());
    migration.setSwitchObserver([&](MigrationSwitchPoint reached) {
      if (reached != MigrationSwitchPoint::SourceCopied) return;
      row.change(source, named(L".platform.migration-copy-", migration.migrationId()), legacy, elsewhere);
    });
    EXPECT_EQ(messageOf([&] { migration.runMigration(); }), row.message);
    id = migration.migrationId();
    migration.rollbackMigration();
  }
  EXPECT_FALSE(test::fileExists(journalPath));
  EXPECT_TRUE(isJunction(legacy));
  EXPECT_FALSE(test::directoryExists(named(L".platform.migration-original-", id)));
  EXPECT_TRUE(isOrdinaryDirectoryAt(named(L".platform.migration-copy-", id)));
  std::map<std::wstring, std::wstring> now = snapshotTree(source);
  for (const auto& [path, digest] : sourceTree) EXPECT_EQ(now[path], digest) << wideToUtf8(path);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, JunctionMigrationSecondPass,
    ::testing::Values(
        ChangeAfterCopy{"SourceGainedAFile", "Migration source tree changed",
                        [](const std::wstring& source, const std::wstring&, const std::wstring&, const std::wstring&) {
                          test::writeBytes(source + L"\\slot2.dat", "slot two");
                        }},
        ChangeAfterCopy{"CopiedFileRewritten", "Migration copied tree changed",
                        [](const std::wstring&, const std::wstring& copy, const std::wstring&, const std::wstring&) {
                          test::writeBytes(copy + L"\\saves\\slot1.dat", "slot 1!!");
                        }},
        ChangeAfterCopy{"CopiedTreeGainedAFile", "Migration copied tree changed",
                        [](const std::wstring&, const std::wstring& copy, const std::wstring&, const std::wstring&) {
                          test::writeBytes(copy + L"\\empty\\planted.dll", "planted");
                        }},
        ChangeAfterCopy{"OriginalLinkRetargeted", "Migration original junction changed",
                        [](const std::wstring&, const std::wstring&, const std::wstring& legacy,
                           const std::wstring& elsewhere) { test::retargetDirectoryLink(legacy, elsewhere); }}),
    [](const ::testing::TestParamInfo<ChangeAfterCopy>& info) { return std::string(info.param.label); });

TEST_F(JunctionMigration, RefusesALinkWhoseDaclTheJournalCouldNotKeep) {
  {
    UniqueHandle link =
        migrationLinkPlatform().openLink(legacy, WRITE_DAC | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(::SetSecurityInfo(link.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
  }
  if (test::daclSddlOf(legacy) != L"D:NO_ACCESS_CONTROL") {
    GTEST_SKIP() << "this platform does not keep a NULL DACL on a directory (reads back "
                 << wideToUtf8(test::daclSddlOf(legacy)) << ")";
  }
  {
    LegacyDataMigration migration(install, token.get());
    EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "Migration ACL snapshot failed");
  }
  // Stopped before the copy, the journal and any change to the link.
  EXPECT_EQ(test::namesIn(install), std::vector<std::wstring>{L".platform"});
  EXPECT_EQ(linkTargetOf(legacy), source);
  EXPECT_EQ(test::daclSddlOf(legacy), L"D:NO_ACCESS_CONTROL");
}

// The overlap of source and installation is decided by the directories, not
// by the names that led to them: a short alias of the install directory's
// path does not hide that the link leads into it, or to its parent.
TEST_F(JunctionMigration, RefusesASourceThatOverlapsTheInstallationUnderAnotherName) {
  std::vector<wchar_t> shortPath(32768);
  const DWORD length = ::GetShortPathNameW(install.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
  const std::wstring alias = length > 0 ? normalizeMigrationPath(std::wstring(shortPath.data(), length)) : L"";
  if (alias.empty() || _wcsicmp(alias.c_str(), install.c_str()) == 0) {
    GTEST_SKIP() << "this file system gives the install directory's path no short alias";
  }
  ASSERT_TRUE(::CreateDirectoryW((install + L"\\data").c_str(), nullptr));
  for (const std::wstring& target : {install + L"\\data", normalizeMigrationPath(temp.path())}) {
    SCOPED_TRACE(wideToUtf8(target));
    test::removeDirectoryLink(legacy);
    test::makeDirectoryLink(legacy, target);
    {
      LegacyDataMigration migration(alias, token.get());
      EXPECT_EQ(messageOf([&] { migration.runMigration(); }), "Migration source overlaps installation");
    }
    EXPECT_EQ(test::namesIn(install), (std::vector<std::wstring>{L".platform", L"data"}));
  }
}

// The copy's directories are created where the desktop user may change
// things; from their creation until the copy is verified none can be opened
// for deletion, the first step of swapping one for a link.
TEST_F(JunctionMigration, HoldsTheCopysDirectoriesUntilTheCopyIsVerified) {
  if (!test::platformEnforcesDirectoryDeleteSharing()) {
    GTEST_SKIP() << "this platform does not enforce delete sharing on directories";
  }
  std::vector<std::wstring> openedForDeletion;
  LegacyDataMigration migration(install, token.get());
  migration.setSwitchObserver([&](MigrationSwitchPoint reached) {
    if (reached != MigrationSwitchPoint::SourceCopied) return;
    const std::wstring copy = named(L".platform.migration-copy-", migration.migrationId());
    for (const std::wstring& directory : {copy, copy + L"\\saves", copy + L"\\saves\\deep", copy + L"\\empty"}) {
      UniqueHandle attempt(::CreateFileW(directory.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
      if (attempt) openedForDeletion.push_back(directory);
    }
  });
  ASSERT_TRUE(migration.runMigration());
  migration.commitMigration();
  EXPECT_TRUE(openedForDeletion.empty()) << wideToUtf8(openedForDeletion.front());
}

}  // namespace
}  // namespace orvo
