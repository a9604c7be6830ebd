#include "migration/MigrationSecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include <stdexcept>

#include "migration/MigrationJournal.h"
#include "migration/MigrationJournalFormat.h"

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

std::wstring migrationTokenUserSid(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) fail("Migration user identity unavailable");
  std::vector<std::uint8_t> buffer(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) fail("Migration user identity unavailable");
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  UniqueLocal<wchar_t*> text;
  if (!::ConvertSidToStringSidW(user->User.Sid, text.put())) fail("Migration user identity invalid");
  return std::wstring(text.get());
}

std::wstring privateDescriptorSddl(const std::wstring& sid) {
  return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + sid + L")";
}

}  // namespace

UniqueSecurityDescriptor buildPrivateSecurityDescriptor(HANDLE token) {
  const std::wstring sddl = privateDescriptorSddl(migrationTokenUserSid(token));
  UniqueSecurityDescriptor descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                              nullptr)) {
    fail("Migration private ACL unavailable");
  }
  return descriptor;
}

void applyPrivateDacl(PSECURITY_DESCRIPTOR privateDescriptor, HANDLE handle) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(privateDescriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    fail("Migration private ACL failed");
  }
  if (::SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, dacl, nullptr) != ERROR_SUCCESS) {
    fail("Migration private ACL failed");
  }
}

std::vector<std::uint8_t> saveObjectDacl(HANDLE handle) {
  DWORD needed = 0;
  ::GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0 || needed > kMaxSavedDescriptorSize) fail("Migration ACL snapshot failed");
  std::vector<std::uint8_t> bytes(needed);
  DWORD got = 0;
  if (!::GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, bytes.data(), needed, &got)) {
    fail("Migration ACL snapshot failed");
  }
  // What the journal could not read back (a NULL DACL among others) would
  // leave a rollback unable to restore it and every later run refusing the
  // journal: such a snapshot stops the run before anything changes.
  if (!isValidSavedSecurityDescriptor(bytes)) fail("Migration ACL snapshot failed");
  return bytes;
}

void restoreSavedDacl(HANDLE handle, const std::vector<std::uint8_t>& saved) {
  if (!isValidSavedSecurityDescriptor(saved)) fail("Migration saved ACL invalid");
  auto* descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(const_cast<std::uint8_t*>(saved.data()));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
    fail("Migration ACL restore failed");
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(descriptor, &control, &revision)) fail("Migration ACL restore failed");
  const SECURITY_INFORMATION information =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  if (::SetSecurityInfo(handle, SE_FILE_OBJECT, information, nullptr, nullptr, dacl, nullptr) != ERROR_SUCCESS) {
    fail("Migration ACL restore failed");
  }
}

}  // namespace orvo
