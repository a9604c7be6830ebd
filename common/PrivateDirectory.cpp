#include "common/PrivateDirectory.h"

#include <windows.h>
#include <sddl.h>

#include <system_error>

#include "common/FileSystemErrors.h"
#include "common/UniqueHandle.h"

namespace orvo {
namespace {

// P: protected, nothing inherited from the parent; OICI: the entries pass on
// to everything created inside.
constexpr wchar_t kPrivateDirectoryAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

[[noreturn]] void fail(DWORD error, const std::wstring& path) {
  throwFilesystemError("create_directories", std::error_code(static_cast<int>(error), std::system_category()), path);
}

}  // namespace

void createPrivateDirectory(const std::wstring& path) {
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateDirectoryAccess, SDDL_REVISION_1,
                                                              descriptor.put(), nullptr)) {
    fail(::GetLastError(), path);
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  // Never an existing one: a directory made first by someone else is theirs.
  if (!::CreateDirectoryW(path.c_str(), &attributes)) fail(::GetLastError(), path);
}

}  // namespace orvo
