#pragma once
// The legacy data migration: replaces a ".platform" junction in the install
// directory by a private, verified copy of the data it points to, through the
// migration journal, so that a failure is undone by rollback now or by the
// next run's recovery.
//
// Guarantees: the user's data is only read, and only as the desktop user;
// nothing is ever deleted; every object is proven by its identity before it is
// moved; a failure before the journal exists leaves the legacy link exactly as
// it was; destruction releases every handle, token and descriptor and changes
// nothing on disk.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "migration/MigrationJournal.h"
#include "migration/MigrationLinkPlatform.h"
#include "migration/MigrationPaths.h"
#include "migration/MigrationSecurity.h"

namespace orvo {

// Bytes that must stay free on the install volume beyond the data copied.
inline constexpr std::uint64_t kMigrationFreeSpaceMargin = 16777216;

// True when `freeBytes` holds `totalBytes` plus the margin.
constexpr bool hasRoomForMigration(std::uint64_t totalBytes, std::uint64_t freeBytes) noexcept {
  return totalBytes <= freeBytes && freeBytes - totalBytes >= kMigrationFreeSpaceMargin;
}

class LegacyDataMigration {
 public:
  // Throws on failure without changing anything on disk.
  LegacyDataMigration(const std::wstring& installDirectory, HANDLE desktopToken);
  LegacyDataMigration(const LegacyDataMigration&) = delete;
  LegacyDataMigration& operator=(const LegacyDataMigration&) = delete;
  ~LegacyDataMigration() = default;

  // True when the data was migrated, false when there was nothing to migrate.
  bool runMigration();
  // Makes a run final; does nothing unless the journal is active and unfinished.
  void commitMigration();
  // Undoes the run's moves with the held handles; leaves the journal in state 5.
  void rollbackMigration();
  // Rolls back or confirms a live journal of an earlier run and archives it.
  void recoverMigration();

 private:
  enum class RecoveryKind { LegacyLink, PrivateCopy };

  // Run steps, in their order.
  bool detectLegacyLink();
  std::vector<MigrationTreeEntry> readSourceAsDesktopUser(FileSnapshot& sourceSnapshot);
  void requireFreeSpace(const std::vector<MigrationTreeEntry>& entries);
  void beginJournalHeader();
  void createPrivateCopy();
  std::vector<UniqueHandle> copyEntries(const std::vector<MigrationTreeEntry>& entries);
  void copyFile(const MigrationTreeEntry& entry, const std::wstring& destination);
  void reverifySource(const std::vector<MigrationTreeEntry>& entries, const FileSnapshot& sourceSnapshot);
  void reverifySourceTree(const std::vector<MigrationTreeEntry>& entries);
  void verifyCopiedTree(const std::vector<MigrationTreeEntry>& entries);
  void takePrivateCopyForTheSwitch();
  void switchDirectories();

  UniqueHandle verifyRecoveryObject(const std::wstring& path, const FileIdentity& identity, RecoveryKind kind);
  void recoverUnfinished();
  void archiveJournal();
  void archiveCutJournal();
  void closeRunHandles();
  SECURITY_ATTRIBUTES privateAttributes() const;
  std::wstring legacyDataPath() const;

  UniqueHandle token_;
  UniqueHandle legacyLink_;
  UniqueHandle privateCopy_;
  PinnedChain installChain_;
  PinnedChain sourceChain_;
  UniqueHandle sourceRoot_;
  std::wstring installDirectory_;
  std::wstring source_;
  MigrationNames names_;
  std::wstring journalPath_;
  UniqueSecurityDescriptor privateDescriptor_;
  MigrationJournal journal_;
  bool journalActive_ = false;
  bool finished_ = false;
  bool used_ = false;
  std::uint64_t totalSourceBytes_ = 0;
};

}  // namespace orvo
