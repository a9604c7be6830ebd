#pragma once
// Where an open file or directory is now, as the file system names it, so that
// a handle opened by a path can be checked to lie where that path pointed and
// not behind a link that an open followed.
#include <windows.h>

#include <string>

namespace orvo {

// The normalized path of the object behind the handle; empty when it cannot
// be read.
std::wstring finalPathOf(HANDLE handle);

// Whether the object behind `handle` is the entry `name` directly in the
// directory at `directory` (compared in any letter case); false also when
// either path cannot be read.
bool liesDirectlyIn(HANDLE handle, const std::wstring& directory, const std::wstring& name);

}  // namespace orvo
