// The platform program with one fault for the installer's tests: it records the SID followed by CR LF instead of a bare line feed;
// everything else is what OrvoQ9.exe does.
#include "tools/payload/PlatformStandIn.h"

int wmain() { return orvo::platform::runPlatform(orvo::platform::PlatformFault::CrLfSid); }
