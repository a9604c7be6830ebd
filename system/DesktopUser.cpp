#include "system/DesktopUser.h"

#include <aclapi.h>
#include <sddl.h>
#include <userenv.h>

#include <stdexcept>
#include <vector>

#include "common/NoFollowFile.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "system/PlatformRunSeam.h"

namespace orvo {
namespace {

std::wstring platformCommandLine(const std::wstring& program, const std::wstring& arguments) {
  return L"\"" + program + L"\" " + arguments;
}

std::string platformRunFailure(const std::wstring& label, DWORD exitCode) {
  return wideToUtf8(label) + "失败，错误码 " + std::to_string(exitCode);
}

UniqueHandle openVerifiedProgram(const std::wstring& program, const ManifestEntry& expected) {
  const auto fail = [&expected] {
    return std::runtime_error("平台文件校验失败：" + wideToUtf8(expected.relativePath));
  };
  UniqueHandle file = openNoFollow(program, GENERIC_READ, FILE_SHARE_READ);
  if (!file || nodeKindOf(file.get()) != NodeKind::RegularFile) throw fail();
  std::uint64_t size = 0;
  if (!fileSizeOf(file.get(), size) || size != expected.size) throw fail();
  if (sha256OfHandle(file.get()) != expected.sha256) throw fail();
  return file;
}

}  // namespace

UniqueHandle getDesktopUserToken() {
  const auto fail = [] { return std::runtime_error("无法获取桌面用户身份"); };
  const HWND shell = ::GetShellWindow();
  if (shell == nullptr) throw fail();
  DWORD processId = 0;
  ::GetWindowThreadProcessId(shell, &processId);
  if (processId == 0) throw fail();
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) throw fail();
  UniqueHandle shellToken;
  if (!::OpenProcessToken(process.get(), TOKEN_DUPLICATE | TOKEN_QUERY, shellToken.put())) throw fail();
  UniqueHandle token;
  if (!::DuplicateTokenEx(shellToken.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          token.put())) {
    throw fail();
  }
  return token;
}

std::wstring tokenUserSid(HANDLE token) {
  const auto fail = [] { return std::runtime_error("无法验证桌面用户身份"); };
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) throw fail();
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) throw fail();
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  UniqueLocal<wchar_t*> text;
  if (!::ConvertSidToStringSidW(user->User.Sid, text.put()) || !text) throw fail();
  return std::wstring(text.get());
}

void grantDirectoryAccess(const std::wstring& directory, const std::wstring& sid, DWORD accessMask) {
  UniqueLocal<PSID> userSid;
  if (!::ConvertStringSidToSidW(sid.c_str(), userSid.put()) || !userSid) {
    throw std::runtime_error("无法准备安装身份目录");
  }
  const auto fail = [] { return std::runtime_error("无法准备安装身份目录权限"); };

  // The directory is changed through a handle on the directory itself, never
  // through a link that someone put in its place. The name is asked too: some
  // platforms open a directory link's target even when told not to follow it.
  const DWORD attributes = ::GetFileAttributesW(directory.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) throw fail();
  UniqueHandle handle = openNoFollow(directory, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!handle || nodeKindOf(handle.get()) != NodeKind::Directory) throw fail();

  PACL oldDacl = nullptr;  // points into `descriptor`
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (::GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &oldDacl, nullptr,
                        descriptor.put()) != ERROR_SUCCESS) {
    throw fail();
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(descriptor.get(), &control, &revision)) throw fail();

  EXPLICIT_ACCESSW grant{};
  grant.grfAccessPermissions = accessMask;
  grant.grfAccessMode = GRANT_ACCESS;
  grant.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  ::BuildTrusteeWithSidW(&grant.Trustee, userSid.get());

  UniqueLocal<PACL> newDacl;
  if (::SetEntriesInAclW(1, &grant, oldDacl, newDacl.put()) != ERROR_SUCCESS) throw fail();

  // Without the protection flag the write would unprotect the list and let
  // the parent's entries (the user's temp folder grants the user everything)
  // flow into a directory that was made private on purpose.
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
  if (control & SE_DACL_PROTECTED) what |= PROTECTED_DACL_SECURITY_INFORMATION;
  if (::SetSecurityInfo(handle.get(), SE_FILE_OBJECT, what, nullptr, nullptr, newDacl.get(), nullptr) !=
      ERROR_SUCCESS) {
    throw fail();
  }
}

DWORD runPlatformProgram(const std::wstring& program, const ManifestEntry& expected, const std::wstring& arguments,
                         const std::wstring& workingDirectory, bool wait, HANDLE token, const std::wstring& label) {
  return runPlatformProgramWithin(program, expected, arguments, workingDirectory, wait, token, label,
                                  PlatformRunLimits{});
}

DWORD runPlatformProgramWithin(const std::wstring& program, const ManifestEntry& expected,
                               const std::wstring& arguments,
                               const std::wstring& workingDirectory, bool wait, HANDLE token,
                               const std::wstring& label, const PlatformRunLimits& limits) {
  std::wstring commandLine = platformCommandLine(program, arguments);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = wait ? SW_HIDE : SW_SHOWNORMAL;

  DWORD flags = wait ? CREATE_NO_WINDOW : 0;
  PROCESS_INFORMATION info{};
  BOOL started = FALSE;
  UniqueEnvironmentBlock environment;
  if (token != nullptr) {
    if (!::CreateEnvironmentBlock(environment.put(), token, FALSE)) {
      throw std::runtime_error("无法准备桌面用户运行环境");
    }
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }
  {
    // A standard user may be able to write the install directory: the file
    // that starts, elevated or as the user, is the one checked here, since
    // nobody can change, rename or delete it while this handle holds it.
    const UniqueHandle held = openVerifiedProgram(program, expected);
    if (token != nullptr) {
      started = ::CreateProcessWithTokenW(token, LOGON_WITH_PROFILE, program.c_str(), commandLine.data(), flags,
                                          environment.get(), workingDirectory.c_str(), &startup, &info);
    } else {
      started = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                                 workingDirectory.c_str(), &startup, &info);
    }
  }
  if (!started) throw std::runtime_error("无法启动安装配置程序");
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);

  if (wait) {
    if (::WaitForSingleObject(process.get(), limits.runMilliseconds) != WAIT_OBJECT_0) {
      ::TerminateProcess(process.get(), 1);
      ::WaitForSingleObject(process.get(), limits.terminationMilliseconds);
      throw std::runtime_error("安装配置超时，请重试");
    }
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.get(), &exitCode)) exitCode = 1;
    if (exitCode != 0) throw std::runtime_error(platformRunFailure(label, exitCode));
  }
  return info.dwProcessId;
}

}  // namespace orvo
