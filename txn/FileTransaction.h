#pragma once
// The journalled replacement of a set of files under an install root.
//
// Guarantees: a crash, a lock or a failed check at any point leaves either the
// old installation or (once the journal says Committed) the new one, together
// with a journal from which a later run finishes the work. Every file is
// compared by size and digest right before each use; a file that is neither
// the engine's new file nor the user's original is never overwritten or
// deleted. The journal is republished whole before every step that can leave
// something behind, and `onEvent` is told after each publication.
//
// One thread drives a transaction; other processes are excluded by the area's
// lease and the pinned directories.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "txn/TransactionArea.h"
#include "txn/TransactionEntry.h"
#include "txn/TransactionJournal.h"
#include "txn/TransactionPaths.h"

namespace orvo {

// No arguments; throws to abort the work.
using CheckCancelled = std::function<void()>;

inline constexpr std::size_t MaxTransactionEntries = 512;

class FileTransaction {
 public:
  // Validates and normalises; touches nothing on disk beyond attribute reads.
  FileTransaction(const std::wstring& root, std::vector<TransactionEntry> entries, DigestFile digestFile,
                  CheckCancelled checkCancelled = {}, TransactionEvent onEvent = {});
  // Rolls back what is still active and unfinished (errors dropped), then
  // releases the lease and the pinned directories.
  ~FileTransaction();
  FileTransaction(const FileTransaction&) = delete;
  FileTransaction& operator=(const FileTransaction&) = delete;

  // Forward path.
  void prepare(const std::wstring& candidateDirectory);
  void apply();
  void commit();

  // Undo and recovery.
  void rollback();
  // The full recovery of an earlier run's area: cleanup when it was committed
  // or rolled back, rollback otherwise. Does nothing when no area is present.
  void recover();

  // Attributes of the area path, or nothing when no area is present.
  std::optional<DWORD> probeArea() const { return area_.probe(); }
  const std::wstring& areaPath() const noexcept { return area_.path(); }
  TransactionState state() const noexcept { return static_cast<TransactionState>(state_); }
  bool isActive() const noexcept { return active_; }

 private:
  friend struct FileTransactionSeam;

  void cleanupArea();
  void scanArea() const;
  void loadJournal();
  bool fileMatches(const std::wstring& path, std::uint64_t size, const std::wstring& sha256) const;
  std::wstring stagedPath(std::size_t index) const { return area_.stagedPath(index); }
  std::wstring backupPath(std::size_t index) const { return area_.backupPath(index); }
  std::wstring restorePath(std::size_t index) const { return area_.restorePath(index); }
  std::wstring destinationPath(std::size_t index) const;
  void event(const char* label, std::uint64_t index) const;
  // Publishes the journal with `state` and `applyCursor`, and only then adopts
  // them: memory never claims a step the disk does not record.
  void recordProgress(std::uint32_t state, std::uint32_t applyCursor);
  // Back to a freshly created transaction once an earlier run's area is gone.
  void forgetRecoveredRun();
  void checkCancelled() const;
  // What stands at the destination; the record is complete or not returned.
  // The record of an existing destination; `held` keeps that file open with
  // read sharing only, so it is the one backed up and nobody changes it first.
  OriginalFileRecord examineDestination(const std::wstring& destination, UniqueHandle& held) const;
  void rollbackEntry(std::size_t index);

  std::wstring root_;
  std::wstring lowerRoot_;
  std::vector<TransactionEntry> entries_;
  std::vector<OriginalFileRecord> originals_;
  DigestFile digestFile_;
  CheckCancelled checkCancelled_;
  TransactionEvent onEvent_;
  TransactionArea area_;
  std::uint32_t state_ = 1;
  std::uint32_t applyCursor_ = 0;
  bool active_ = false;
  bool prepared_ = false;
};

}  // namespace orvo
