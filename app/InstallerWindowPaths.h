#pragma once
// Path rules of the installer window's directory box and folder picker:
// trimming what was typed, the picker's start folder, and the product folder
// appended to a picked folder. No window is needed for any of them.
#include <string>

namespace orvo {

inline constexpr wchar_t kProductFolderName[] = L"orvo game";

// Trailing white space (the standard wide-character classification) and then
// leading spaces and tabs removed; text made only of blanks becomes empty.
std::wstring trimPathText(const std::wstring& text);

// The picked folder with "orvo game" joined to it, unless its last component
// (the text after the last separator) already is that name, ignoring case.
std::wstring withProductFolder(const std::wstring& pickedFolder);

// The nearest existing path among the text and its parents, or empty when
// none exists. Throws the standard "exists" filesystem error for any error
// other than not-found while testing a path.
std::wstring browseStartFolder(const std::wstring& pathText);

}  // namespace orvo
