#pragma once
// File-system probes of the file transaction: the reparse refusal that runs on
// every path before it is opened, copied, moved or deleted, the attribute probe
// for which only errors 2 and 3 mean "absent", the size-then-digest file probe,
// and the flushed copy and owned-file deletion used for area files.
//
// Guarantees: nothing here retries; every failure throws its fixed message and
// leaves the disk as it found it (a failed copy may leave its partial target,
// which is an area file that the owner's rollback or cleanup removes).
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/UniqueHandle.h"

namespace orvo {

// Path to SHA-256 text (any letter case).
using DigestFile = std::function<std::wstring(const std::wstring& path)>;

// GetFileAttributesW; nothing for errors 2 and 3, "Cannot inspect transaction
// path" for any other error.
std::optional<DWORD> probeTransactionPath(const std::wstring& path);

// Walks from `path` up to its root; an existing element carrying
// FILE_ATTRIBUTE_REPARSE_POINT throws "Transaction refuses reparse paths".
void refuseReparsePath(const std::wstring& path);

// True when `path` is an existing non-directory file of `size` bytes whose
// digest equals `sha256` (compared in lowercase). Digests only on a size match.
bool fileMatches(const std::wstring& path, std::uint64_t size, const std::wstring& sha256,
                 const DigestFile& digestFile);

// The standard library's file-size query (its error propagates).
std::uint64_t transactionFileSize(const std::wstring& path);

// The file at `path` opened without following links, for reading without
// write or delete sharing, when that handle shows a regular file of `size`
// bytes whose digest by `digestFile`, taken while that handle is held, equals
// `sha256` (any letter case); an empty handle otherwise. While it is held, what it was checked to hold can
// neither change nor be swapped for another file.
UniqueHandle openMatchingFile(const std::wstring& path, std::uint64_t size, const std::wstring& sha256,
                              const DigestFile& digestFile);

// Copies the whole content behind `source` (a handle with read access) into a
// new file at `target` (fails if the target exists), written through and
// flushed: "Cannot stage or back up transaction file", "Cannot flush staged
// transaction file".
void copyAndFlush(HANDLE source, const std::wstring& target);

// Deletes one engine-owned file if present.
void deleteOwnedFile(const std::wstring& path);

}  // namespace orvo
