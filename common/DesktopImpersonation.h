#pragma once
// Acting as the desktop user on the current thread, so that what the elevated
// installer does in that user's own places (the migration's copy, shortcuts,
// the manifest copy in ".platform") is done with that user's rights.
//
// Guarantees: the scope leaves the thread exactly as it found it (its earlier
// impersonation token, or none), also when an error passes; no step ever runs
// on under the wrong identity: a failure to give the thread its identity back
// throws from end(), and ends the process when it happens in the destructor,
// where no error can leave. Each failure throws std::runtime_error with its
// fixed message.
#include <windows.h>

#include "common/UniqueHandle.h"

namespace orvo {

// While it lives, the current thread acts as the desktop user.
class DesktopImpersonation {
 public:
  explicit DesktopImpersonation(HANDLE desktopToken);
  ~DesktopImpersonation();
  DesktopImpersonation(const DesktopImpersonation&) = delete;
  DesktopImpersonation& operator=(const DesktopImpersonation&) = delete;

  // Gives the thread its earlier identity back now; throws "Migration identity
  // unavailable" when the system refuses, so that the caller's next step does
  // not run as the wrong user.
  void end();

 private:
  bool restore() noexcept;

  UniqueHandle savedToken_;
  bool active_ = false;
};

}  // namespace orvo
