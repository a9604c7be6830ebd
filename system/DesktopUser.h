#pragma once
// The desktop user's identity and the runs of the platform program.
//
// The installer runs elevated, possibly under another account than the person
// at the desktop; whatever must happen as that person runs under a duplicate of
// the desktop shell's token. Guarantees: every process, token, security
// descriptor, SID and environment block these calls obtain is released on
// every path; a waited program never outlives its time limit; each failure
// carries its fixed message.
#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"
#include "payload/ManifestEntry.h"

namespace orvo {

// A primary token (all access, impersonation level) duplicated from the process
// that owns the desktop shell window. Throws "无法获取桌面用户身份".
UniqueHandle getDesktopUserToken();

// The token user's SID in string form ("S-1-..."). Throws "无法验证桌面用户身份".
std::wstring tokenUserSid(HANDLE token);

// Merges one grant of `accessMask` for `sid`, inherited by subdirectories and
// files, into the directory's DACL, through a handle opened without following
// links; a protected DACL stays protected. Throws "无法准备安装身份目录" for a
// SID text that does not convert, "无法准备安装身份目录权限" when the
// directory is a link or no directory, or its DACL cannot be read, built or
// written.
void grantDirectoryAccess(const std::wstring& directory, const std::wstring& sid, DWORD accessMask);

// Starts the platform program in `workingDirectory`, as the token's user with
// that user's environment and profile, or as the installer when `token` is
// null. The program must be the file that `expected` describes (a regular
// file, not reached through a link, of its size and digest), held unchangeable
// until its process exists; otherwise "平台文件校验失败：" + the entry's path. When
// waiting, the program runs hidden and must end with 0 within 120 s;
// otherwise it is terminated ("安装配置超时，请重试") or its code reported
// (label + "失败，错误码 " + code). Returns the process id. Other messages:
// "无法准备桌面用户运行环境", "无法启动安装配置程序".
DWORD runPlatformProgram(const std::wstring& program, const ManifestEntry& expected, const std::wstring& arguments,
                         const std::wstring& workingDirectory, bool wait, HANDLE token, const std::wstring& label);

}  // namespace orvo
