#include "txn/FileTransaction.h"

#include <set>
#include <stdexcept>

#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "payload/Sha256.h"
#include "txn/TransactionJournalFile.h"
#include "txn/TransactionPathRules.h"

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// Input checks, then the install-root rules; the root in normal form.
std::wstring validatedRoot(const std::wstring& root, const std::vector<TransactionEntry>& entries,
                           const DigestFile& digestFile) {
  if (!digestFile || entries.empty() || entries.size() > MaxTransactionEntries || !isCompletePath(root) ||
      root.size() == rootPartLength(root)) {
    fail("Invalid transaction input");
  }
  std::wstring normal = normalizeInstallRoot(root);
  refuseReparsePath(normal);
  return normal;
}

std::vector<TransactionEntry> validatedEntries(std::vector<TransactionEntry> entries) {
  std::set<std::wstring> lowerPaths;
  for (auto& entry : entries) {
    entry.relativePath = normalizeRelativePath(entry.relativePath);
    entry.sha256 = lowercaseText(entry.sha256);
    if (!isSha256Text(entry.sha256)) fail("Duplicate or invalid transaction manifest");
    if (!lowerPaths.insert(lowercaseText(entry.relativePath)).second) {
      fail("Duplicate or invalid transaction manifest");
    }
  }
  // In sorted order a path's descendants ("a\...") follow it before any sibling
  // that sorts after "a\", so checking each path against its successors until
  // they stop sharing the prefix covers every pair.
  for (auto it = lowerPaths.begin(); it != lowerPaths.end(); ++it) {
    const std::wstring directory = *it + L'\\';
    auto next = lowerPaths.lower_bound(directory);
    if (next != lowerPaths.end() && next->compare(0, directory.size(), directory) == 0) {
      fail("Manifest file/directory collision");
    }
  }
  return entries;
}

std::wstring areaFor(const std::wstring& root, const std::wstring& lowerRoot) {
  std::wstring digest;
  try {
    digest = sha256Text(lowerRoot);
  } catch (const std::exception&) {
    fail("Transaction digest unavailable");
  }
  return joinPath(parentPathText(root), areaNameFromDigest(digest));
}

}  // namespace

FileTransaction::FileTransaction(const std::wstring& root, std::vector<TransactionEntry> entries,
                                 DigestFile digestFile, CheckCancelled checkCancelled, TransactionEvent onEvent)
    : root_(validatedRoot(root, entries, digestFile)),
      lowerRoot_(lowercaseText(root_)),
      entries_(validatedEntries(std::move(entries))),
      originals_(entries_.size()),
      digestFile_(std::move(digestFile)),
      checkCancelled_(std::move(checkCancelled)),
      onEvent_(std::move(onEvent)),
      area_(areaFor(root_, lowerRoot_)) {}

std::wstring FileTransaction::destinationPath(std::size_t index) const {
  return joinPath(root_, entries_[index].relativePath);
}

void FileTransaction::event(const char* label, std::uint64_t index) const {
  if (onEvent_) onEvent_(label, index);
}

void FileTransaction::checkCancelled() const {
  if (checkCancelled_) checkCancelled_();
}

bool FileTransaction::fileMatches(const std::wstring& path, std::uint64_t size, const std::wstring& sha256) const {
  return orvo::fileMatches(path, size, sha256, digestFile_);
}

void FileTransaction::recordProgress(std::uint32_t state, std::uint32_t applyCursor) {
  writeJournalFile(area_.path(), encodeJournal(root_, state, applyCursor, entries_, originals_));
  state_ = state;
  applyCursor_ = applyCursor;
}

void FileTransaction::loadJournal() {
  const std::vector<std::uint8_t> bytes = readJournalFile(area_.path());
  JournalProgress progress = decodeJournal(bytes.data(), bytes.size(), lowerRoot_, entries_);
  state_ = progress.state;
  applyCursor_ = progress.applyCursor;
  originals_ = std::move(progress.originals);
  active_ = true;
  prepared_ = state_ != 1;
}

OriginalFileRecord FileTransaction::examineDestination(const std::wstring& destination, UniqueHandle& held) const {
  OriginalFileRecord original;
  const auto attributes = probeTransactionPath(destination);
  if (!attributes) return original;
  if (*attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    fail("Destination is directory or read-only");
  }
  {
    // Fails while another handle writes or may delete the file, or does not
    // share read and delete access: such a file could not be replaced safely.
    UniqueHandle probe(::CreateFileW(destination.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!probe) fail("Destination file is locked; installation not changed");
  }
  // Held before the digest: read by others, never written, moved or deleted
  // until the backup is copied from this same handle.
  held = openNoFollow(destination, GENERIC_READ, FILE_SHARE_READ);
  if (!held) fail("Destination file is locked; installation not changed");
  if (nodeKindOf(held.get()) != NodeKind::RegularFile) fail("Destination is directory or read-only");
  original.size = transactionFileSize(destination);
  original.sha256 = lowercaseText(digestFile_(destination));
  if (!isSha256Text(original.sha256)) fail("Invalid original file hash");
  original.existed = true;
  return original;
}

void FileTransaction::prepare(const std::wstring& candidateDirectory) {
  if (active_ || probeArea()) fail("Recover existing transaction before preparation");
  checkCancelled();
  refuseReparsePath(candidateDirectory);
  area_.ensureDirectory(std::wstring(parentPathText(root_)));
  area_.open(true);

  // Records adopted from a recovered journal describe the earlier run's files.
  originals_.assign(entries_.size(), OriginalFileRecord{});
  // Active from here on: the area is ours, and a rollback removes it even when
  // the first journal never reached the disk.
  active_ = true;
  prepared_ = false;
  recordProgress(1, 0);
  event("journal-created", 0);

  for (std::size_t i = 0; i < entries_.size(); ++i) {
    checkCancelled();
    const TransactionEntry& entry = entries_[i];
    const std::wstring candidate = joinPath(candidateDirectory, entry.relativePath);
    const std::wstring destination = destinationPath(i);
    refuseReparsePath(candidate);
    refuseReparsePath(destination);
    // Copied from the handle that was checked, held unchangeable until then:
    // nothing can be put at the candidate's name between check and copy.
    const UniqueHandle candidateFile = openMatchingFile(candidate, entry.size, entry.sha256, digestFile_);
    if (!candidateFile) fail("Candidate file differs from manifest");

    UniqueHandle originalFile;
    originals_[i] = examineDestination(destination, originalFile);

    const std::wstring staged = stagedPath(i);
    copyAndFlush(candidateFile.get(), staged);
    if (!fileMatches(staged, entry.size, entry.sha256)) fail("Staged candidate changed");

    const OriginalFileRecord& original = originals_[i];
    if (original.existed) {
      const std::wstring backup = backupPath(i);
      copyAndFlush(originalFile.get(), backup);
      if (!fileMatches(backup, original.size, original.sha256)) fail("Original file changed during backup");
    }
    recordProgress(1, 0);
    event("prepared-file", i);
  }
  recordProgress(2, 0);
  prepared_ = true;
  event("prepared", 0);
}

void FileTransaction::apply() {
  if (!active_ || !prepared_ || state_ != 2) fail("Transaction is not prepared");
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    checkCancelled();
    const TransactionEntry& entry = entries_[i];
    const OriginalFileRecord& original = originals_[i];
    const std::wstring destination = destinationPath(i);
    const std::wstring staged = stagedPath(i);
    area_.ensureDirectory(std::wstring(parentPathText(destination)));
    refuseReparsePath(destination);
    if (original.existed) {
      if (!fileMatches(destination, original.size, original.sha256)) fail("Destination changed since backup");
    } else if (probeTransactionPath(destination)) {
      fail("New destination unexpectedly exists");
    }
    if (!fileMatches(staged, entry.size, entry.sha256)) fail("Candidate changed before apply");

    // The cursor covers the move before it happens, so after a crash every
    // file that may have been replaced lies below it.
    recordProgress(3, static_cast<std::uint32_t>(i + 1));
    event("before-replace", i);
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (original.existed ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!::MoveFileExW(staged.c_str(), destination.c_str(), flags)) {
      fail("Cannot replace file; rolling back installation");
    }
    event("after-replace", i);
  }
  recordProgress(4, applyCursor_);
  event("applied", 0);
}

void FileTransaction::commit() {
  if (!active_ || state_ != 4) fail("Transaction has not applied all files");
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (!fileMatches(destinationPath(i), entries_[i].size, entries_[i].sha256)) {
      fail("Installed candidate changed before commit");
    }
  }
  recordProgress(5, applyCursor_);
  event("committed", 0);
  cleanupArea();
}

}  // namespace orvo
