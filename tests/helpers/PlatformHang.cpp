// The platform program with one fault for the installer's tests: it never ends in either waited mode;
// everything else is what OrvoQ9.exe does.
#include "tools/payload/PlatformStandIn.h"

int wmain() { return orvo::platform::runPlatform(orvo::platform::PlatformFault::Hang); }
