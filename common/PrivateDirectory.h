#pragma once
// A directory of the elevated installer inside a folder that a standard user
// can write (the user's temp folder): it must never be the user's to change,
// so that nothing planted in it can steer what the installer later writes,
// runs or deletes there.
#include <string>

namespace orvo {

// Creates `path` (its parent must exist) with a protected access list that
// gives full control to SYSTEM and Administrators only and inherits nothing
// from the parent. Whatever is already at `path` (a directory someone made
// first, a file, a link) is refused: it fails with the "create_directories"
// file-system error for the path.
void createPrivateDirectory(const std::wstring& path);

}  // namespace orvo
