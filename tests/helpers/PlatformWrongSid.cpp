// The platform program with one fault for the installer's tests: it records a well-formed SID of another account;
// everything else is what OrvoQ9.exe does.
#include "tools/payload/PlatformStandIn.h"

int wmain() { return orvo::platform::runPlatform(orvo::platform::PlatformFault::WrongSid); }
