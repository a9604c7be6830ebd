#pragma once
// Registration of an installation with Windows: the desktop user's shortcuts,
// the uninstaller copy, the installed copy of the file manifest and the entry
// in the system's list of installed programs.
//
// Guarantees: the steps run in a fixed order and the first failure stops them
// with its fixed message (what completed before stays); running it again over
// the same directory overwrites every item, leaving one uninstall key; every
// COM interface, shell string and registry key is released on every path.
#include <windows.h>
#include <shtypes.h>

#include <string>
#include <vector>

#include "payload/ManifestEntry.h"
#include "payload/PayloadVerification.h"

namespace orvo {

inline constexpr wchar_t kUninstallKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\orvo game";
inline constexpr wchar_t kShortcutName[] = L"orvo game.lnk";
inline constexpr wchar_t kUninstallerName[] = L"卸载 orvo game.exe";
inline constexpr wchar_t kPlatformProgramName[] = L"OrvoQ9.exe";

// Shortcuts (Desktop only when asked, Programs always, both resolved for the
// token's user), the uninstaller copy, the manifest copy and the uninstall key.
// The shortcuts and the manifest copy are written while impersonating the
// token's user. Throws "无法取得快捷方式目录", "无法创建快捷方式",
// "快捷方式创建失败", a "copy_file"
// file-system error, "Install directory cannot use links" (a link on the
// manifest copy's path), "Cannot prepare installer files" (or "Embedded
// resource missing"), the impersonation's messages, "无法登记平台安装",
// "无法登记安装信息".
void registerInstallation(const std::wstring& installDirectory, HANDLE token,
                          const std::vector<ManifestEntry>& manifest, bool createDesktopShortcut);

// A known folder of the token's user. Throws "无法取得快捷方式目录".
std::wstring knownFolderOfUser(const KNOWNFOLDERID& folder, HANDLE token);

}  // namespace orvo
