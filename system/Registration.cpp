#include "system/Registration.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "BuildConfig.h"
#include "common/DesktopImpersonation.h"
#include "common/FileSystemErrors.h"
#include "common/LinkCheck.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "payload/EmbeddedResource.h"
#include "system/RunningExecutable.h"

namespace orvo {
namespace {

bool setString(HKEY key, const wchar_t* name, const std::wstring& value) {
  // Stored with the terminating NUL.
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

void setNumber(HKEY key, const wchar_t* name, DWORD value) {
  ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Sum over the files of (size / 1024, truncated), as the 32-bit KiB value.
std::uint32_t estimatedSizeKiB(const std::vector<ManifestEntry>& manifest) {
  std::uint32_t total = 0;
  for (const auto& entry : manifest) total += static_cast<std::uint32_t>(entry.size / 1024);
  return total;
}

// The quoted uninstaller copy's path followed by " --uninstall".
std::wstring uninstallCommand(const std::wstring& installDirectory) {
  return L"\"" + joinPath(installDirectory, kUninstallerName) + L"\" --uninstall";
}

}  // namespace

std::wstring knownFolderOfUser(const KNOWNFOLDERID& folder, HANDLE token) {
  UniqueCoTaskMem<wchar_t*> path;
  if (FAILED(::SHGetKnownFolderPath(folder, 0, token, path.put())) || !path) {
    throw std::runtime_error("无法取得快捷方式目录");
  }
  return std::wstring(path.get());
}

// Writes one shortcut to the installed platform program, creating its folder.
static void createShortcut(const std::wstring& shortcutPath, const std::wstring& installDirectory) {
  createDirectories(std::wstring(parentPathText(shortcutPath)));
  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid()))) {
    throw std::runtime_error("无法创建快捷方式");
  }
  const std::wstring program = joinPath(installDirectory, kPlatformProgramName);
  link->SetPath(program.c_str());
  link->SetWorkingDirectory(installDirectory.c_str());
  link->SetDescription(L"orvo game 游戏平台");
  link->SetIconLocation(program.c_str(), 0);
  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.putVoid())) ||
      FAILED(file->Save(shortcutPath.c_str(), TRUE))) {
    throw std::runtime_error("快捷方式创建失败");
  }
}

void registerInstallation(const std::wstring& installDirectory, HANDLE token,
                          const std::vector<ManifestEntry>& manifest, bool createDesktopShortcut) {
  {
    // Written with the user's own rights: the folders are the user's, and a
    // link the user put there (a redirected Desktop, say) may lead anywhere
    // the user may write, but never further.
    const std::wstring desktop = knownFolderOfUser(FOLDERID_Desktop, token);
    const std::wstring programs = knownFolderOfUser(FOLDERID_Programs, token);
    DesktopImpersonation asUser(token);
    if (createDesktopShortcut) createShortcut(joinPath(desktop, kShortcutName), installDirectory);
    createShortcut(joinPath(programs, kShortcutName), installDirectory);
    asUser.end();
  }

  copyRunningExecutableTo(joinPath(installDirectory, kUninstallerName));

  // The ".platform" directory is the user's; a missing one is not created
  // here, a link on the way is refused, and the copy is written as the user.
  {
    const std::wstring manifestCopy = joinPath(joinPath(installDirectory, L".platform"), L"installer-files.tsv");
    checkNoLinks(manifestCopy);
    DesktopImpersonation asUser(token);
    writeEmbeddedResource(kFileManifestResource, manifestCopy);
    asUser.end();
  }

  UniqueRegKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    throw std::runtime_error("无法登记平台安装");
  }
  const std::wstring program = joinPath(installDirectory, kPlatformProgramName);
  if (!setString(key.get(), L"DisplayName", L"orvo game") ||
      !setString(key.get(), L"DisplayVersion", build::kVersionText) ||
      !setString(key.get(), L"Publisher", L"orvo game") ||
      !setString(key.get(), L"InstallLocation", installDirectory) ||
      !setString(key.get(), L"DisplayIcon", program) ||
      !setString(key.get(), L"UninstallString", uninstallCommand(installDirectory))) {
    throw std::runtime_error("无法登记安装信息");
  }
  // The list of installed programs works without these three.
  setNumber(key.get(), L"EstimatedSize", estimatedSizeKiB(manifest));
  setNumber(key.get(), L"NoModify", 1);
  setNumber(key.get(), L"NoRepair", 1);
}

}  // namespace orvo
