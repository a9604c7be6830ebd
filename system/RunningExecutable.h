#pragma once
// The path of the running executable, read with the long-path buffer (32768
// UTF-16 units) that registration and the uninstaller rely on.
#include <optional>
#include <string>

namespace orvo {

// Nothing when the path cannot be read or does not fit.
std::optional<std::wstring> runningExecutablePath();

}  // namespace orvo
