#pragma once
// The whole life of the installer process: start-up, one of the three roads
// (uninstall, refusal of a second instance, the window and its message loop)
// and shutdown, with every error shown and turned into exit code 1.
#include <windows.h>

#include <string>
#include <vector>

#include "app/PipelineSteps.h"

namespace orvo {

// This process's command-line arguments after the program name.
std::vector<std::wstring> commandLineArguments();

// Returns the process exit code. `steps` are the subsystems the install
// pipeline drives (the real ones in the shipped installer).
int runInstallerProcess(HINSTANCE instance, PipelineSteps& steps);

}  // namespace orvo
