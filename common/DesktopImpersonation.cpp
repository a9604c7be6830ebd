#include "common/DesktopImpersonation.h"

#include <stdexcept>

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

DesktopImpersonation::DesktopImpersonation(HANDLE desktopToken) {
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE, TRUE, savedToken_.put())) {
    if (::GetLastError() != ERROR_NO_TOKEN) fail("Migration identity unavailable");
    savedToken_.reset();
  }
  if (!::ImpersonateLoggedOnUser(desktopToken)) {
    savedToken_.reset();
    fail("Migration desktop identity denied");
  }
}

DesktopImpersonation::~DesktopImpersonation() {
  ::RevertToSelf();
  if (savedToken_) ::SetThreadToken(nullptr, savedToken_.get());
}

}  // namespace orvo
