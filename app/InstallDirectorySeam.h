#pragma once
// The two rules of the install directory that no machine running the tests can
// reach through the system, exposed for the rule tests only: a share's root
// needs a share, and the free-space threshold a disk exactly that full.
#include <cstdint>
#include <string>
#include <string_view>

namespace orvo {

// The root the free space of `path` is asked for, the only form the system
// answers for every kind of path: a drive's root ("C:\\"), a share's
// ("\\\\server\\share\\"), the same behind the long-path prefixes ("\\\\?\\C:\\",
// "\\\\?\\UNC\\server\\share\\"), or a volume's ("\\\\?\\Volume{...}\\"). Slashes
// count as backslashes. Empty when the path names no such root.
std::wstring freeSpaceRoot(std::wstring_view path);

// At least 768 MiB free for the caller.
bool hasEnoughFreeSpace(std::uint64_t freeBytesForCaller) noexcept;

}  // namespace orvo
