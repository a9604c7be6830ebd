#pragma once
// A test seam of the installer process's message loop.
#include "app/InstallerEntry.h"

namespace orvo {

class InstallerWindow;

// How the entry runs the window's message loop until the window is gone:
// InstallerWindow::runMessageLoop by default. A named seam: once an install
// runs, the window ignores every input whose handling could fail, so a test
// that needs the loop to end in an error while a worker still runs installs a
// loop that raises one. Returns the loop it replaced.
using MessageLoop = int (*)(InstallerWindow& window);
MessageLoop replaceMessageLoop(MessageLoop loop) noexcept;

}  // namespace orvo
