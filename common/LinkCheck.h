#pragma once
// The link rule that every subsystem applies to the paths it works on: a path
// whose existing part runs through a reparse point (symbolic link, junction,
// mount point) is refused, so that no step follows a link out of the tree it
// was given.
#include <string>

namespace orvo {

// Throws "Install directory cannot use links" when the path or an existing
// ancestor is a reparse point. Components that do not exist are passed over.
void checkNoLinks(const std::wstring& path);

}  // namespace orvo
