#pragma once
// The migration's security tools: the private security descriptor that admits
// only SYSTEM, the Administrators group and the desktop user, acting as the
// desktop user on the current thread, and the saving and restoring of a
// link's own DACL.
//
// Guarantees: every token, SID string and descriptor is owned and released on
// every path; a DesktopImpersonation scope leaves the thread exactly as it
// found it (its earlier impersonation token, or none), also when an error
// passes; each failure throws std::runtime_error with its fixed message.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace orvo {

using UniqueSecurityDescriptor = UniqueLocal<PSECURITY_DESCRIPTOR>;

// The user SID of `token` in string form ("S-1-5-21-..."). Throws "Migration
// user identity unavailable" or "Migration user identity invalid".
std::wstring migrationTokenUserSid(HANDLE token);

// The SDDL text of the private descriptor for the user `sid`.
std::wstring privateDescriptorSddl(const std::wstring& sid);

UniqueSecurityDescriptor buildPrivateSecurityDescriptor(HANDLE token);

// While it lives, the current thread acts as the desktop user.
class DesktopImpersonation {
 public:
  explicit DesktopImpersonation(HANDLE desktopToken);
  ~DesktopImpersonation();
  DesktopImpersonation(const DesktopImpersonation&) = delete;
  DesktopImpersonation& operator=(const DesktopImpersonation&) = delete;

 private:
  UniqueHandle savedToken_;
};

// Sets the private DACL, protected, on the object (handle with WRITE_DAC).
void applyPrivateDacl(PSECURITY_DESCRIPTOR privateDescriptor, HANDLE handle);

// The object's DACL as a self-relative, DACL-only descriptor. Throws
// "Migration ACL snapshot failed".
std::vector<std::uint8_t> saveObjectDacl(HANDLE handle);

// Sets a saved DACL back, protected exactly when it was saved protected.
void restoreSavedDacl(HANDLE handle, const std::vector<std::uint8_t>& saved);

}  // namespace orvo
