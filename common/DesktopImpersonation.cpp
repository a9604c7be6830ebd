#include "common/DesktopImpersonation.h"
#include "common/DesktopImpersonationSeam.h"

#include <atomic>
#include <exception>
#include <stdexcept>

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

const ThreadIdentityCalls systemCalls{&::RevertToSelf, &::SetThreadToken};
std::atomic<const ThreadIdentityCalls*> boundCalls{&systemCalls};

}  // namespace

void bindThreadIdentityCalls(const ThreadIdentityCalls* calls) { boundCalls.store(calls ? calls : &systemCalls); }

DesktopImpersonation::DesktopImpersonation(HANDLE desktopToken) {
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE, TRUE, savedToken_.put())) {
    if (::GetLastError() != ERROR_NO_TOKEN) fail("Migration identity unavailable");
    savedToken_.reset();
  }
  if (!::ImpersonateLoggedOnUser(desktopToken)) {
    savedToken_.reset();
    fail("Migration desktop identity denied");
  }
  active_ = true;
}

bool DesktopImpersonation::restore() noexcept {
  active_ = false;
  const ThreadIdentityCalls* calls = boundCalls.load();
  if (!calls->revertToSelf()) return false;
  if (savedToken_ && !calls->setThreadToken(nullptr, savedToken_.get())) return false;
  savedToken_.reset();
  return true;
}

void DesktopImpersonation::end() {
  if (active_ && !restore()) fail("Migration identity unavailable");
}

DesktopImpersonation::~DesktopImpersonation() {
  // The thread would go on as the wrong user, elevated steps as the desktop
  // user or the user's steps elevated, and no error can leave here.
  if (active_ && !restore()) std::terminate();
}

}  // namespace orvo
