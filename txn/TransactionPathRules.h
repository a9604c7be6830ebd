#pragma once
// Lexical rules of the file transaction: which relative paths and install roots
// it accepts, the digest text it compares, and the names it uses inside its
// area. No file-system access and no Windows headers, so the rules can be
// tested and fuzzed natively; wchar_t values are treated as UTF-16 code units.
//
// Guarantees: every refusal throws std::runtime_error with its fixed message;
// an accepted relative path comes back with its components joined by "\".
#include <cstddef>
#include <string>
#include <string_view>

namespace orvo {

// Longest accepted relative path, in UTF-16 code units.
inline constexpr std::size_t MaxRelativePathLength = 240;

// Checks a manifest-relative path and returns it with "\" separators: every
// component refuses empty, "." and "..", a trailing dot or space, control
// characters and device names (con, prn, aux, nul, com0-9, lpt0-9, with or
// without extension).
std::wstring normalizeRelativePath(std::wstring_view path);

// The install-root rules applied after the input checks: lexical normal form
// without trailing separators, not a drive root, every level a safe relative
// component, no UNC or device form and no stray colon or wildcard.
std::wstring normalizeInstallRoot(std::wstring_view root);

// Per-character towlower.
std::wstring lowercaseText(std::wstring_view text);

// Exactly 64 characters from 0-9, a-f, A-F.
bool isSha256Text(std::wstring_view text);

// Prefix of the area directory's name; 24 digest digits follow it.
inline constexpr std::wstring_view AreaNamePrefix = L".orvo-file-txn-";
// ".orvo-file-txn-" plus the first 24 characters of the digest text.
std::wstring areaNameFromDigest(std::wstring_view rootDigest);

// "new-", "old-" or "restore-" followed by the decimal index.
std::wstring indexedAreaFileName(std::wstring_view prefix, std::size_t index);

}  // namespace orvo
