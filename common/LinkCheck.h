#pragma once
// The link rule that every subsystem applies to the paths it works on: a path
// whose existing part runs through a reparse point (symbolic link, junction,
// mount point) is refused, so that no step follows a link out of the tree it
// was given.
#include <string>

namespace orvo {

// Throws "Install directory cannot use links" when the path or an existing
// ancestor is a reparse point, or when a component's attributes cannot be read
// for any reason other than its absence (ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND). Components that do not exist are passed over.
void checkNoLinks(const std::wstring& path);

}  // namespace orvo
