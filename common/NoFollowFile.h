#pragma once
// The file operations an elevated process may perform in places that a
// standard user can write. A path is opened once without following links
// (FILE_FLAG_OPEN_REPARSE_POINT); what the object is, how large it is and what
// it holds are read from that handle; and it is used or deleted through that
// same handle. A link found anywhere is never entered.
//
// Guarantees: every handle opened here is owned by the caller or closed before
// a result or an error leaves; nothing here changes the thread's token.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/UniqueHandle.h"

namespace orvo {

enum class NodeKind {
  RegularFile,  // a disk file that is not a reparse point
  Directory,    // an ordinary directory, not a reparse point
  Link,         // any reparse point (symbolic link, junction, mount point)
  Other,        // a device, a pipe, or a handle whose attributes cannot be read
};

// CreateFileW(OPEN_EXISTING) without following a link, directories included
// (FILE_FLAG_BACKUP_SEMANTICS). On failure the handle is empty and `error`,
// when given, receives GetLastError().
UniqueHandle openNoFollow(const std::wstring& path, DWORD access, DWORD share, DWORD extraFlags = 0,
                          DWORD* error = nullptr);

// What the object behind an open handle is.
NodeKind nodeKindOf(HANDLE handle) noexcept;

// The size of the object behind an open handle; false when it cannot be read.
bool fileSizeOf(HANDLE handle, std::uint64_t& size) noexcept;

// Marks the object behind `handle` (opened with DELETE) for deletion; it goes
// when the last handle closes. A read-only file is made writable first, which
// needs FILE_WRITE_ATTRIBUTES on the handle. False with the error left in
// GetLastError() when the file system refused.
bool deleteByHandle(HANDLE handle) noexcept;

// Deletes the directory tree at `path`, best effort, never through a link:
// entries are listed with FindFirstFileExW and each is opened without
// following links; every directory on the way stays open without delete
// sharing until its contents are gone, so it cannot be swapped for a link. A
// link entry is removed only where the handle opened on it is the link itself
// (the file system then removes the link and not its target); otherwise it
// stays, with the directories above it. Returns true when nothing is left at
// `path` (an absent path counts as removed).
bool removeTreeNoFollow(const std::wstring& path) noexcept;

}  // namespace orvo
