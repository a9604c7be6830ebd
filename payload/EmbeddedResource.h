#pragma once
// Raw-data (RT_RCDATA) resources of the running executable: the pictures, the
// 7-Zip pair and the installer file manifest travel inside OrvoGameSetup.exe.
#include <string>
#include <vector>

namespace orvo {

// The resource's bytes (copied out); throws "Embedded resource missing".
std::vector<unsigned char> readEmbeddedResource(int id);

// Writes the resource's bytes to `target`, creating or truncating it; throws
// "Cannot prepare installer files" when it cannot be opened or written.
void writeEmbeddedResource(int id, const std::wstring& target);

}  // namespace orvo
