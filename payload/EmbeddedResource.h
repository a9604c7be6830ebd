#pragma once
// Raw-data (RT_RCDATA) resources of the running executable: the pictures, the
// 7-Zip pair and the installer file manifest travel inside OrvoGameSetup.exe.
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace orvo {

// The resource's bytes (copied out); throws "Embedded resource missing".
std::vector<unsigned char> readEmbeddedResource(int id);

// Writes the resource's bytes to `target`, creating or truncating it. The file
// is opened without following links and must be a regular file: a link there
// is refused, not written through. Throws "Cannot prepare installer files"
// when it cannot be opened or written.
void writeEmbeddedResource(int id, const std::wstring& target);

// Writes the resource's bytes to `target`, which must not exist yet, and
// returns the file held open for reading without write or delete sharing, so
// that it cannot be changed, renamed or deleted while the caller holds it; a
// program there can still be started. Throws "Cannot prepare installer files".
UniqueHandle writeEmbeddedResourceHeld(int id, const std::wstring& target);

}  // namespace orvo
