#pragma once
// A test seam of the calls that end an impersonation.
#include <windows.h>

namespace orvo {

// The two calls that give a thread its identity back. The system
// refuses them only in states a test cannot bring about; nullptr binds the
// system's own calls again.
struct ThreadIdentityCalls {
  BOOL(WINAPI* revertToSelf)();
  BOOL(WINAPI* setThreadToken)(PHANDLE thread, HANDLE token);
};
void bindThreadIdentityCalls(const ThreadIdentityCalls* calls);

}  // namespace orvo
