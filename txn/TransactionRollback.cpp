// Rollback, recovery and cleanup of a FileTransaction. Rollback writes no
// journal while it works: each entry is decided from the files themselves, so
// running it again after a crash skips what is already undone and repeats
// nothing harmful.
#include <stdexcept>

#include "common/PathText.h"
#include "txn/FileTransaction.h"

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

FileTransaction::~FileTransaction() {
  if (active_ && state_ != 5 && state_ != 6) {
    try {
      rollback();
    } catch (...) {
      // The journal and the area stay for the next run; nothing more can be done here.
    }
  }
}

void FileTransaction::scanArea() const { area_.scan(entries_.size()); }

void FileTransaction::cleanupArea() {
  area_.cleanup(entries_.size());
  active_ = false;
  prepared_ = false;
}

void FileTransaction::rollbackEntry(std::size_t index) {
  const TransactionEntry& entry = entries_[index];
  const OriginalFileRecord& original = originals_[index];
  const std::wstring destination = destinationPath(index);
  refuseReparsePath(destination);
  if (probeTransactionPath(stagedPath(index))) return;  // its move never happened

  const bool destinationExists = probeTransactionPath(destination).has_value();
  if (original.existed) {
    if (destinationExists) {
      if (fileMatches(destination, original.size, original.sha256)) return;
      if (!fileMatches(destination, entry.size, entry.sha256)) {
        fail("Rollback conflict: externally modified file retained");
      }
    }
    const UniqueHandle backup = openMatchingFile(backupPath(index), original.size, original.sha256, digestFile_);
    if (!backup) fail("Rollback backup invalid; journal retained");
    const std::wstring restore = restorePath(index);
    deleteOwnedFile(restore);
    copyAndFlush(backup.get(), restore);
    if (!::MoveFileExW(restore.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      fail("Rollback file locked; journal retained for retry");
    }
    event("rolled-back-file", index);
    return;
  }
  if (!destinationExists) return;
  if (!fileMatches(destination, entry.size, entry.sha256)) fail("Rollback conflict: new external file retained");
  deleteOwnedFile(destination);
  event("rolled-back-file", index);
}

void FileTransaction::rollback() {
  if (!active_) return;
  if (state_ == 5) fail("Committed transaction cannot roll back");
  scanArea();
  // Staged copies that apply never moved decide nothing in the rollback. They
  // go first, so a rollback forced by a full disk has room for its journal and
  // restore copies. Only as far as they can: one that cannot go now must not
  // stop the restore and leave old and new files mixed; cleanup meets it again
  // and reports it.
  for (std::size_t i = applyCursor_; i < entries_.size(); ++i) {
    try {
      deleteOwnedFile(stagedPath(i));
    } catch (const std::exception&) {
    }
  }
  for (std::size_t i = applyCursor_; i-- > 0;) rollbackEntry(i);
  recordProgress(6, applyCursor_);
  event("rolled-back", 0);
  cleanupArea();
}

void FileTransaction::forgetRecoveredRun() {
  state_ = 1;
  applyCursor_ = 0;
  originals_.assign(entries_.size(), OriginalFileRecord{});
}

void FileTransaction::recover() {
  if (!probeArea()) return;
  area_.ensureDirectory(std::wstring(parentPathText(root_)));
  area_.open(false);
  scanArea();
  // An area that holds nothing but its lease (taking the lease makes an empty
  // one so) is a clean-up or a preparation that stopped before or after every
  // journal: no staged or backup file exists and nothing under the root
  // depends on it, so its removal is finished here instead of stopping every
  // later run for a person.
  if (area_.holdsOnlyLease()) {
    cleanupArea();
    forgetRecoveredRun();
    return;
  }
  loadJournal();
  if (state_ == 5 || state_ == 6) {
    cleanupArea();
  } else {
    rollback();
  }
  forgetRecoveredRun();
}

}  // namespace orvo
