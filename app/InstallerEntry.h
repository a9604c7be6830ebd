#pragma once
// The whole life of the installer process: start-up, one of the three roads
// (uninstall, refusal of a second instance, the window and its message loop)
// and shutdown, with every error shown and turned into exit code 1.
#include <windows.h>

#include <string>
#include <vector>

#include "app/PipelineSteps.h"

namespace orvo {

class InstallerWindow;

// This process's command-line arguments after the program name.
std::vector<std::wstring> commandLineArguments();

// Returns the process exit code. `steps` are the subsystems the install
// pipeline drives (the real ones in the shipped installer).
int runInstallerProcess(HINSTANCE instance, PipelineSteps& steps);

// How the entry runs the window's message loop until the window is gone:
// InstallerWindow::runMessageLoop by default. A named seam: once an install
// runs, the window ignores every input whose handling could fail, so a test
// that needs the loop to end in an error while a worker still runs installs a
// loop that raises one. Returns the loop it replaced.
using MessageLoop = int (*)(InstallerWindow& window);
MessageLoop replaceMessageLoop(MessageLoop loop) noexcept;

}  // namespace orvo
