// The platform program with one fault for the installer's tests: it exits with 3 from both waited modes and does nothing;
// everything else is what OrvoQ9.exe does.
#include "tools/payload/PlatformStandIn.h"

int wmain() { return orvo::platform::runPlatform(orvo::platform::PlatformFault::Exit3); }
