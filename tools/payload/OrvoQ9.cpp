// "OrvoQ9.exe", the platform program of this payload (see PlatformStandIn.h for
// what it guarantees).
#include <windows.h>

#include "tools/payload/PlatformStandIn.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return orvo::platform::runPlatform(orvo::platform::PlatformFault::None);
}
