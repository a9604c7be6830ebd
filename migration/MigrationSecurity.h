#pragma once
// The migration's security tools: the private security descriptor that admits
// only SYSTEM, the Administrators group and the desktop user, and the saving
// and restoring of a link's own DACL. Acting as the desktop user is
// DesktopImpersonation (common/), shared with registration and uninstall.
//
// Guarantees: every token, SID string and descriptor is owned and released on
// every path; each failure throws std::runtime_error with its fixed message.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/DesktopImpersonation.h"
#include "common/UniqueHandle.h"

namespace orvo {

using UniqueSecurityDescriptor = UniqueLocal<PSECURITY_DESCRIPTOR>;

// Only SYSTEM, Administrators and the token's user, protected; throws "Migration
// user identity unavailable" or "Migration user identity invalid".
UniqueSecurityDescriptor buildPrivateSecurityDescriptor(HANDLE token);

// Sets the private DACL, protected, on the object (handle with WRITE_DAC).
void applyPrivateDacl(PSECURITY_DESCRIPTOR privateDescriptor, HANDLE handle);

// The object's DACL as a self-relative, DACL-only descriptor that the journal
// accepts back. Throws "Migration ACL snapshot failed".
std::vector<std::uint8_t> saveObjectDacl(HANDLE handle);

// Sets a saved DACL back, protected exactly when it was saved protected.
void restoreSavedDacl(HANDLE handle, const std::vector<std::uint8_t>& saved);

}  // namespace orvo
