// Rollback and recovery of a legacy data migration: the junction goes back to
// ".platform" with the DACL it had, a copy that reached ".platform" is moved
// aside to its preserved name, and a finished journal is archived. Each object
// is proven by its identity before it is moved; nothing is deleted. Every
// failure stops where it is and leaves the journal's state as it was, so the
// next run starts again from what is on disk.
#include <stdexcept>

#include "common/FileSystemErrors.h"
#include "migration/LegacyDataMigration.h"
#include "migration/MigrationLinkPlatform.h"

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// True when the path exists, false when it is absent; any other probe failure
// throws "Migration state inaccessible".
bool probePresent(const std::wstring& path) {
  if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  if (isAbsentError(::GetLastError())) return false;
  fail("Migration state inaccessible");
}

}  // namespace

UniqueHandle LegacyDataMigration::verifyRecoveryObject(const std::wstring& path, const FileIdentity& identity,
                                                       RecoveryKind kind) {
  constexpr DWORD access = WRITE_DAC | READ_CONTROL | DELETE | FILE_READ_ATTRIBUTES;
  constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  MigrationLinkPlatform& links = migrationLinkPlatform();
  UniqueHandle handle =
      kind == RecoveryKind::LegacyLink ? links.openLink(path, access, share) : openMigrationPath(path, access, share);
  const FileSnapshot snapshot = takeFileSnapshot(handle.get());
  if (identityOf(snapshot) != identity) fail("Migration recovery identity mismatch");
  const DWORD attributes =
      kind == RecoveryKind::LegacyLink ? links.linkAttributes(handle.get()) : snapshot.dwFileAttributes;
  if (!(attributes & kAttributeDirectory)) fail("Migration recovery not directory");
  if (kind == RecoveryKind::LegacyLink) {
    if (!(attributes & kAttributeReparsePoint)) fail("Migration original junction changed");
    readJunctionTarget(handle.get());
  } else if (attributes & (kAttributeDevice | kAttributeReparsePoint | kAttributeOffline | kAttributeEncrypted)) {
    fail("Migration copied directory changed");
  }
  return handle;
}

void LegacyDataMigration::rollbackMigration() {
  if (!journalActive_ || finished_) return;
  const std::wstring legacyPath = legacyDataPath();
  if (probePresent(legacyPath)) {
    UniqueHandle present =
        openMigrationPath(legacyPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    const FileIdentity identity = readFileIdentity(present.get());
    if (identity == journal_.header.privateCopy) {
      present.reset();
      moveByHandle(privateCopy_.get(), names_.preservedCopy);
    } else if (identity != journal_.header.legacyLink) {
      fail("Migration rollback personal data identity changed");
    }
  }
  if (probePresent(names_.parkedLink)) {
    if (probePresent(legacyPath)) fail("Migration rollback original destination occupied");
    migrationLinkPlatform().moveLink(legacyLink_.get(), legacyPath);
  }
  restoreSavedDacl(legacyLink_.get(), journal_.savedDescriptor);
  writeMigrationState(journal_, 5);
  journalActive_ = false;
  finished_ = true;
  closeRunHandles();
}

void LegacyDataMigration::recoverMigration() {
  const JournalReading reading = readMigrationJournal(journal_, journalPath_, installChain_.last());
  if (reading == JournalReading::Absent) return;
  if (reading == JournalReading::CutBeforeFirstState) {
    archiveCutJournal();
    return;
  }
  names_ = deriveMigrationNames(installDirectory_, journal_.header.migrationId);
  const std::wstring legacyPath = legacyDataPath();
  if (journal_.state >= 1 && journal_.state <= 3) recoverUnfinished();
  if (journal_.state == static_cast<std::uint32_t>(MigrationState::MigrationCommitted)) {
    verifyRecoveryObject(legacyPath, journal_.header.privateCopy, RecoveryKind::PrivateCopy);
  } else if (journal_.state == static_cast<std::uint32_t>(MigrationState::MigrationRolledBack)) {
    verifyRecoveryObject(legacyPath, journal_.header.legacyLink, RecoveryKind::LegacyLink);
  }
  archiveJournal();
}

void LegacyDataMigration::recoverUnfinished() {
  const std::wstring legacyPath = legacyDataPath();
  const bool legacyPresent = probePresent(legacyPath);
  UniqueHandle link;
  if (probePresent(names_.parkedLink)) {
    link = verifyRecoveryObject(names_.parkedLink, journal_.header.legacyLink, RecoveryKind::LegacyLink);
    if (legacyPresent) {
      UniqueHandle copy = verifyRecoveryObject(legacyPath, journal_.header.privateCopy, RecoveryKind::PrivateCopy);
      if (probePresent(names_.preservedCopy)) fail("Migration recovery destination occupied");
      moveByHandle(copy.get(), names_.preservedCopy);
    }
    migrationLinkPlatform().moveLink(link.get(), legacyPath);
  } else {
    if (!legacyPresent) fail("Migration recovery original data link missing");
    link = verifyRecoveryObject(legacyPath, journal_.header.legacyLink, RecoveryKind::LegacyLink);
  }
  restoreSavedDacl(link.get(), journal_.savedDescriptor);
  link.reset();
  writeMigrationState(journal_, static_cast<std::uint32_t>(MigrationState::MigrationRolledBack));
}

// Nothing moves before the header and its first state are flushed, so a
// journal cut short of them explains no change on disk; left live it would
// stop every later run. Its bytes are kept under an archive name: its own run
// identity when the header got that far, else a fresh one.
void LegacyDataMigration::archiveCutJournal() {
  const std::wstring id =
      isValidMigrationId(journal_.header.migrationId) ? journal_.header.migrationId : newMigrationId();
  names_ = deriveMigrationNames(installDirectory_, id);
  archiveJournal();
}

void LegacyDataMigration::archiveJournal() {
  moveByHandle(journal_.handle.get(), names_.archivedJournal);
  journal_.handle.reset();
  journal_.reset();
  journal_.state = 0;
}

}  // namespace orvo
