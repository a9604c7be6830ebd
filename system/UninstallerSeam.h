#pragma once
// A named test seam of the uninstaller: a test acts at the one moment that
// matters to the removal of a listed file, after its path passed the link
// check and before the handle that checks and deletes it is opened, which is
// when another process could swap a directory of the path for a link.
#include <functional>
#include <string>

namespace orvo {

// Called with the full path of each listed file at that moment; empty: nothing.
using PathCheckedHook = std::function<void(const std::wstring& path)>;

// Installed before runUninstall, on the thread that runs it.
void setPathCheckedHookForTest(PathCheckedHook hook);

}  // namespace orvo
