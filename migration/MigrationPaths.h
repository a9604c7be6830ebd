#pragma once
// The file-system building blocks of the legacy data migration: normalised
// migration paths, run identities, file identities and snapshots, pinned
// directory chains, junction targets, listings, the single-stream rule, the
// digest of an open file, the move of a held object and the bounded walk of a
// data tree.
//
// Guarantees: no path is ever followed through a link (every open uses
// FILE_FLAG_OPEN_REPARSE_POINT); every handle opened by a failing operation is
// closed before the error leaves, except those already handed to a chain or an
// entry; nothing here changes the thread's impersonation; each failure throws
// std::runtime_error with its fixed message.
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "migration/FileIdentity.h"
#include "migration/MigrationPathRules.h"

namespace orvo {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Everything GetFileInformationByHandle reports, in its order.
using FileSnapshot = BY_HANDLE_FILE_INFORMATION;

// The full path, without trailing backslash, of a directory on a local fixed
// drive, with every element acceptable.
std::wstring normalizeMigrationPath(const std::wstring& path);

// A fresh 32-digit lower-case run identity from a new GUID.
std::wstring newMigrationId();

// Throws "Migration identity check failed" when the query fails.
FileSnapshot takeFileSnapshot(HANDLE handle);
FileIdentity identityOf(const FileSnapshot& snapshot) noexcept;
FileIdentity readFileIdentity(HANDLE handle);

// CreateFileW with OPEN_EXISTING, never following a link; throws "Migration
// file is inaccessible or in use".
UniqueHandle openMigrationPath(const std::wstring& path, DWORD access, DWORD share);

// Open directory handles from the drive root down to a path, none sharing
// delete access, so none of those directories can be moved or removed while
// the chain is held.
class PinnedChain {
 public:
  PinnedChain() = default;
  PinnedChain(PinnedChain&&) noexcept = default;
  PinnedChain& operator=(PinnedChain&&) noexcept = default;

  std::size_t size() const noexcept { return handles_.size(); }
  // The handle of the pinned path's own directory.
  HANDLE last() const noexcept { return handles_.empty() ? nullptr : handles_.back().get(); }
  HANDLE at(std::size_t index) const noexcept { return handles_[index].get(); }
  void append(UniqueHandle handle) { handles_.push_back(std::move(handle)); }
  void release() noexcept { handles_.clear(); }

 private:
  std::vector<UniqueHandle> handles_;
};

// `path` is a normalised migration path. Every element must be an ordinary
// directory ("Migration rejects linked parent directories").
PinnedChain pinMigrationChain(const std::wstring& path);

// True when the last directory of one chain is any directory of the other:
// the two paths are the same directory or one lies inside the other, whatever
// names (short aliases, other drive letters) led to them.
bool pinnedChainsOverlap(const PinnedChain& first, const PinnedChain& second);

// The normalised target of the mount-point junction open through `linkHandle`
// (opened with FILE_FLAG_OPEN_REPARSE_POINT).
std::wstring readJunctionTarget(HANDLE linkHandle);

// Child names of `directory`, sorted by UTF-16 code units; a listing that met
// an unacceptable name fails after it has run to its end.
std::vector<std::wstring> listChildNames(const std::wstring& directory);

// Throws unless the file has exactly its one unnamed data stream.
void requireSingleDataStream(const std::wstring& filePath);

// SHA-256 of the whole content from offset 0; leaves the pointer at the end.
Sha256Digest hashOpenFile(HANDLE handle);

// Renames the object held by `handle` (opened with DELETE) to `newPath`, never
// replacing anything; throws "Migration atomic rename failed (<code>)".
void moveByHandle(HANDLE handle, const std::wstring& newPath);

// One file or directory met by the walk. The handle shares read access only,
// so the object cannot be written, moved or deleted while the entry lives.
struct MigrationTreeEntry {
  std::wstring relativePath;
  UniqueHandle handle;
  FileSnapshot snapshot{};
  Sha256Digest digest{};
  bool isDirectory = false;
};

inline constexpr int kMaxWalkDepth = 64;
inline constexpr std::size_t kMaxWalkEntries = 100000;

// Appends the entries below `root`\`relative` in visiting order: a directory
// before its children, siblings in sorted name order.
void walkMigrationTree(const std::wstring& root, const std::wstring& relative, std::vector<MigrationTreeEntry>& entries,
                       int depth);

// `root` joined with `relative`, or `root` itself for an empty relative path.
std::wstring joinMigrationPath(const std::wstring& root, const std::wstring& relative);

}  // namespace orvo
