#pragma once
// Rules for the directory the platform is installed into: the default, the
// validation every attempt runs, the link check, and the free-space line.
// None of these create or change anything on disk.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/LinkCheck.h"

namespace orvo {

constexpr std::uint64_t kMinimumFreeBytes = 0x30000000;  // 768 MiB

// Program Files joined with "orvo game"; throws "Program Files unavailable".
std::wstring defaultInstallDirectory();

// Completeness, not Program Files itself, no links, enough free space; throws
// the first rule's message that the directory breaks.
void validateInstallDirectory(const std::wstring& directory);

// The line under the path box for the given path text; never throws.
std::wstring freeSpaceText(const std::wstring& pathText);

// Pure parts of the rules above.
bool isCompleteInstallDirectory(const std::wstring& directory);
// The root the free space of `path` is asked for, the only form the system
// answers for every kind of path: a drive's root ("C:\"), a share's
// ("\\server\share\"), the same behind the long-path prefixes ("\\?\C:\",
// "\\?\UNC\server\share\"), or a volume's ("\\?\Volume{...}\"). Slashes
// count as backslashes. Empty when the path names no such root.
std::wstring freeSpaceRoot(std::wstring_view path);
bool hasEnoughFreeSpace(std::uint64_t freeBytesForCaller) noexcept;
std::wstring formatFreeSpace(std::uint64_t freeBytesForCaller);

}  // namespace orvo
