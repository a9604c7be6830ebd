#pragma once
// Case-insensitive equality of path and name text the way Windows compares
// file names (ordinal, upper-case folding), for every check of this folder.
#include <windows.h>

#include <string_view>

namespace orvo {

inline bool equalIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

}  // namespace orvo
