// Entry of OrvoGameSetup.exe: the installer process on the real subsystems.
#include <windows.h>

#include "app/InstallerEntry.h"
#include "app/PipelineSteps.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  const auto steps = orvo::makeRealPipelineSteps();
  return orvo::runInstallerProcess(instance, *steps);
}
