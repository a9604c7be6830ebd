#pragma once
// Rules for the directory the platform is installed into: the default, the
// validation every attempt runs, the link check, and the free-space line.
// None of these create or change anything on disk.
#include <string>

#include "common/LinkCheck.h"

namespace orvo {

// Program Files joined with "orvo game"; throws "Program Files unavailable".
std::wstring defaultInstallDirectory();

// Completeness, not Program Files itself, no links, enough free space; throws
// the first rule's message that the directory breaks.
void validateInstallDirectory(const std::wstring& directory);

// The line under the path box for the given path text; never throws.
std::wstring freeSpaceText(const std::wstring& pathText);

}  // namespace orvo
