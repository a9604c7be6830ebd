#include "system/Uninstaller.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>
#include <stdexcept>
#include <system_error>

#include "common/LinkCheck.h"
#include "common/FileSystemErrors.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "payload/Sha256.h"
#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "system/RunningExecutable.h"
#include "system/RunningPrograms.h"
#include "system/TextEquality.h"
#include "system/UninstallKey.h"

namespace orvo {
namespace {

constexpr DWORD kPathCapacity = 32768;

// The system errors that mean a listed file is simply not there.
bool isNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
         error == ERROR_NETNAME_DELETED || error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
}

// Removes one installed program file when it is still the one installed.
void removeIfUnchanged(const std::wstring& installDirectory, const ManifestEntry& entry) {
  const std::wstring path = joinPath(installDirectory, entry.relativePath);
  checkNoLinks(path);
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (isNotFound(error)) return;
    throwFilesystemError("exists", std::error_code(static_cast<int>(error), std::system_category()), path);
  }
  // A file the user or an update changed is theirs now.
  if (sha256File(path, {}, [] {}) != entry.sha256) return;
  removePath(path);
}

// Deletes the shortcut when it points to this installation's platform program;
// a shortcut that cannot be read is left alone.
void removeShortcutIfOurs(const std::wstring& shortcut, const std::wstring& program) {
  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid()))) {
    return;
  }
  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.putVoid())) || FAILED(file->Load(shortcut.c_str(), STGM_READ))) {
    return;
  }
  std::wstring target(kPathCapacity, L'\0');
  if (FAILED(link->GetPath(target.data(), static_cast<int>(kPathCapacity), nullptr, 0))) return;
  target.resize(std::wcslen(target.c_str()));
  if (equalIgnoringCase(target, program)) removePath(shortcut);
}

}  // namespace

void runUninstall(const ManifestLoader& loadManifest) {
  // Without its own path it cannot know its installation.
  const auto self = runningExecutablePath();
  if (!self) throw std::runtime_error("平台安装标识缺失，无法卸载");
  const std::wstring& executable = *self;
  const std::wstring installDirectory(parentPathText(executable));
  checkNoLinks(installDirectory);

  if (!pathExists(joinPath(installDirectory, L"platform-installation.json"))) {
    throw std::runtime_error("平台安装标识缺失，无法卸载");
  }
  if (isGameRunningUnder(installDirectory) || isPlatformRunningIn(installDirectory)) {
    throw std::runtime_error("请先退出游戏和 orvo game");
  }

  const int answer = ::MessageBoxW(
      nullptr, L"是否卸载 orvo game 平台？已下载的游戏及个人封面、音乐、收藏和歌单将保留，重新安装后可继续使用。",
      L"卸载 orvo game", MB_YESNO | MB_ICONQUESTION);
  if (answer != IDYES) return;

  for (const auto& entry : loadManifest()) removeIfUnchanged(installDirectory, entry);

  const UniqueHandle token = getDesktopUserToken();
  const std::wstring desktop = knownFolderOfUser(FOLDERID_Desktop, token.get());
  const std::wstring programs = knownFolderOfUser(FOLDERID_Programs, token.get());
  const std::wstring program = joinPath(installDirectory, kPlatformProgramName);
  removeShortcutIfOurs(joinPath(desktop, kShortcutName), program);
  removeShortcutIfOurs(joinPath(programs, kShortcutName), program);

  deleteUninstallKeyIfOwned(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, installDirectory);

  // The running copy cannot delete itself now; the next restart does.
  ::MoveFileExW(executable.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  ::MessageBoxW(nullptr, L"orvo game 已卸载。", L"orvo game", MB_OK | MB_ICONINFORMATION);
}

}  // namespace orvo
