#pragma once
// The transaction area beside the install root and the handles that keep a
// transaction's directories in place: the exclusive lease on "lease.lock" and
// the pinned directory handles (opened without delete sharing).
//
// Guarantees: the lease and the pins are released only by cleanup() or by
// destruction, the lease first, never because of an error; cleanup() deletes
// only the names the engine owns and refuses an area holding anything else.
#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace orvo {

class TransactionArea {
 public:
  // `path` is the area directory (in the install root's parent).
  explicit TransactionArea(std::wstring path);
  ~TransactionArea();
  TransactionArea(const TransactionArea&) = delete;
  TransactionArea& operator=(const TransactionArea&) = delete;

  const std::wstring& path() const noexcept { return path_; }

  // Attributes of the area path, or nothing when it is absent.
  std::optional<DWORD> probe() const;
  // Creates `directory` and its missing parents, pinning every level, top down.
  void ensureDirectory(const std::wstring& directory);
  // Opens (and with `create` makes) the area and takes the lease. Without
  // `create` an absent area is left alone and no lease is taken.
  void open(bool create);
  // Refuses any link, directory or name the engine does not own.
  void scan(std::size_t entryCount) const;
  // True when "lease.lock" is the only item in the area.
  bool holdsOnlyLease() const;
  // Deletes every owned file (the journal last but the lease), releases lease
  // and pins, and removes the directory.
  void cleanup(std::size_t entryCount);

  std::wstring filePath(const std::wstring& name) const;
  std::wstring stagedPath(std::size_t index) const;
  std::wstring backupPath(std::size_t index) const;
  std::wstring restorePath(std::size_t index) const;

 private:
  void releaseHandles() noexcept;
  // Keeps a handle without delete sharing on an existing directory.
  void pinDirectory(const std::wstring& directory);
  // Names in the area, without "." and "..".
  std::vector<std::wstring> listItems() const;

  std::wstring path_;
  std::vector<UniqueHandle> pins_;
  UniqueHandle lease_;
};

}  // namespace orvo
