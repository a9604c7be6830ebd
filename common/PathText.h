#pragma once
// Lexical rules for Windows path text, with no file-system access and no
// Windows headers (so the rules can be tested and fuzzed natively).
//
// Both "\" and "/" are separators. The root name is a drive ("C:") or, for a
// path that starts with two separators, the prefix up to the next separator
// ("\\server", "\\?"); the root part is the root name plus the separators that
// directly follow it.
#include <cstddef>
#include <string>
#include <string_view>

namespace orvo {

constexpr bool isPathSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

std::size_t rootPartLength(std::wstring_view path) noexcept;

// A drive letter, colon and separator, or a path that starts with a non-drive root name.
bool isCompletePath(std::wstring_view path) noexcept;

// The standard library's lexically_normal on a Windows path: separators become
// "\" (runs collapse to one), "." segments vanish, "x\.." pairs cancel, ".."
// directly under a root directory vanishes; an empty result becomes ".".
std::wstring normalizeLexically(std::wstring_view path);

// The path without its last component and the separators before it, never cut
// into the root part. Returns the path itself for a bare root part.
std::wstring_view parentPathText(std::wstring_view path) noexcept;

// Joins with one backslash unless `base` already ends in a separator (or is empty).
std::wstring joinPath(std::wstring_view base, std::wstring_view name);

}  // namespace orvo
