#pragma once
// The text rules of an install location as the uninstaller compares them: a
// drive path of safe characters whose components are neither "." nor ".." and
// do not end in a space or a dot. Pure: no file-system access and no Windows
// headers; wchar_t values are UTF-16 code units.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// The path with slashes made backslashes when it passes the text rules
// (3 to 32760 units, no NUL, "X:\" start, no control or reserved character,
// a colon only second, clean components); nothing otherwise.
std::optional<std::wstring> installLocationText(std::wstring_view path);

// The partial paths from the drive root down ("C:\", "C:\a", "C:\a\b"), for
// the text `installLocationText` returned; empty components are passed over.
std::vector<std::wstring> installLocationPrefixes(std::wstring_view checkedText);

// A full path without its trailing backslashes (never shorter than "C:\"), or
// nothing for a full path that is empty, too long or a bare drive root.
std::optional<std::wstring> trimInstallLocation(std::wstring_view fullPath);

}  // namespace orvo
