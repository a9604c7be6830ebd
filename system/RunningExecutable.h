#pragma once
// The running executable: its path, read with the long-path buffer (32768
// UTF-16 units) that registration and the uninstaller rely on, and a faithful
// copy of its bytes.
#include <optional>
#include <string>

namespace orvo {

// Nothing when the path cannot be read or does not fit.
std::optional<std::wstring> runningExecutablePath();

// Writes the bytes of the running executable to `destination` as a new file
// with normal attributes and no alternate streams, flushed before it counts,
// replacing whatever file was there (a link there is replaced, never followed).
// When `destination` already is the running executable (same file identity)
// nothing is written. Throws the file-system error for "copy_file".
void copyRunningExecutableTo(const std::wstring& destination);

}  // namespace orvo
