#pragma once
// A named test seam of the platform program runs: the time limits of a waited
// run. The installer always uses the defaults; only tests pass shorter ones, so
// that a hanging program can be exercised without waiting two minutes.
#include <windows.h>

#include <string>

#include "payload/ManifestEntry.h"

namespace orvo {

struct PlatformRunLimits {
  DWORD runMilliseconds = 120000;
  // After termination, how long to wait for the process to be gone.
  DWORD terminationMilliseconds = 10000;
};

DWORD runPlatformProgramWithin(const std::wstring& program, const ManifestEntry& expected,
                               const std::wstring& arguments,
                               const std::wstring& workingDirectory, bool wait, HANDLE token,
                               const std::wstring& label, const PlatformRunLimits& limits);

}  // namespace orvo
