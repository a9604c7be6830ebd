#include "system/Uninstaller.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdint>
#include <cwchar>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "common/DesktopImpersonation.h"
#include "common/FileSystemErrors.h"
#include "common/LinkCheck.h"
#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "payload/Sha256.h"
#include "system/DesktopUser.h"
#include "system/FinalPath.h"
#include "system/Registration.h"
#include "system/RunningExecutable.h"
#include "system/RunningPrograms.h"
#include "system/TextEquality.h"
#include "system/UninstallKey.h"
#include "system/UninstallerSeam.h"

namespace orvo {
namespace {

constexpr DWORD kPathCapacity = 32768;
// Far above any shell link; a larger file is not one of ours.
constexpr std::uint64_t kShortcutSizeLimit = 1 << 20;

// Checked, used and deleted through this one handle: no write or delete
// sharing, so between the checks and the delete nobody can change the file,
// rename it or put a link in its place.
constexpr DWORD kVerifyAndDeleteAccess =
    DELETE | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

PathCheckedHook& pathCheckedHook() {
  static PathCheckedHook hook;
  return hook;
}

// The system errors that mean a listed file is simply not there.
bool isNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
         error == ERROR_NETNAME_DELETED || error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
}

[[noreturn]] void throwSystemError(const char* operation, DWORD error, const std::wstring& path) {
  throwFilesystemError(operation, std::error_code(static_cast<int>(error), std::system_category()), path);
}

std::wstring withBackslashes(std::wstring path) {
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

// A directory held open without delete sharing, so it cannot be renamed or
// swapped for a link while the files below it are checked and deleted; a file
// opened by name below it is accepted only where it lies in that directory.
class HeldDirectory {
 public:
  // Empty when the path is no ordinary directory or cannot be opened.
  explicit HeldDirectory(const std::wstring& path)
      : handle_(openNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    if (handle_ && nodeKindOf(handle_.get()) == NodeKind::Directory) current_ = finalPathOf(handle_.get());
  }
  bool held() const { return !current_.empty(); }

  // False when a directory on the way to the file was replaced by a link
  // after the path was checked and the open was led somewhere else.
  bool contains(HANDLE file, const std::wstring& relativePath) const {
    const std::wstring actual = finalPathOf(file);
    return held() && !actual.empty() && equalIgnoringCase(actual, joinPath(current_, relativePath));
  }

 private:
  UniqueHandle handle_;
  std::wstring current_;
};

// Removes one installed program file when it is still exactly the one
// installed: an ordinary file of the listed size and digest, read from the
// handle that then deletes it. Anything else found at the path stays.
void removeIfUnchanged(const HeldDirectory& installDirectory, const std::wstring& installPath,
                       const ManifestEntry& entry) {
  const std::wstring relative = withBackslashes(entry.relativePath);
  const std::wstring path = joinPath(installPath, relative);
  checkNoLinks(path);
  if (pathCheckedHook()) pathCheckedHook()(path);
  DWORD error = 0;
  const UniqueHandle file =
      openNoFollow(path, kVerifyAndDeleteAccess, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN, &error);
  if (!file) {
    if (isNotFound(error)) return;
    // It is there, but another program holds it or it is denied to us.
    const bool present = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
    throwSystemError(present ? "remove" : "exists", error, path);
  }
  const NodeKind kind = nodeKindOf(file.get());
  if (kind == NodeKind::Link || !installDirectory.contains(file.get(), relative)) {
    throw std::runtime_error("Install directory cannot use links");
  }
  if (kind != NodeKind::RegularFile) return;
  std::uint64_t size = 0;
  if (!fileSizeOf(file.get(), size) || size != entry.size) return;
  // A file the user or an update changed is theirs now.
  if (sha256OfHandle(file.get()) != entry.sha256) return;
  if (!deleteByHandle(file.get())) throwSystemError("remove", ::GetLastError(), path);
}

// Whether the path or one of its existing ancestors is a reparse point.
bool passesThroughLink(const std::wstring& path) {
  std::wstring current = path;
  for (;;) {
    const DWORD attributes = ::GetFileAttributesW(current.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    const std::wstring parent(parentPathText(current));
    if (parent.empty() || parent == current) return false;
    current = parent;
  }
}

// The whole content of an open file, or nothing when it is too large or
// cannot be read.
std::optional<std::vector<char>> contentOf(HANDLE file, std::uint64_t limit) {
  std::uint64_t size = 0;
  if (!fileSizeOf(file, size) || size > limit) return std::nullopt;
  std::vector<char> bytes(static_cast<std::size_t>(size));
  DWORD read = 0;
  if (size > 0 && (!::ReadFile(file, bytes.data(), static_cast<DWORD>(size), &read, nullptr) || read != size)) {
    return std::nullopt;
  }
  return bytes;
}

// The target path of the shell link whose bytes these are; empty when they
// are not a readable shell link.
std::wstring shellLinkTarget(const std::vector<char>& bytes) {
  ComPtr<IStream> stream;
  if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return {};
  ULONG written = 0;
  if (FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)) || written != bytes.size()) {
    return {};
  }
  const LARGE_INTEGER start{};
  if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) return {};
  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid()))) {
    return {};
  }
  ComPtr<IPersistStream> persist;
  if (FAILED(link->QueryInterface(IID_IPersistStream, persist.putVoid())) || FAILED(persist->Load(stream.get()))) {
    return {};
  }
  std::wstring target(kPathCapacity, L'\0');
  if (FAILED(link->GetPath(target.data(), static_cast<int>(kPathCapacity), nullptr, 0))) return {};
  target.resize(std::wcslen(target.c_str()));
  return target;
}

// Deletes the shortcut in the user's folder when it points to this
// installation's platform program. Called while acting as the desktop user;
// the shortcut is read from the handle that deletes it. A shortcut that cannot
// be read, or that is reached through a link, is left alone.
void removeShortcutIfOurs(const std::wstring& folder, const std::wstring& program) {
  const std::wstring shortcut = joinPath(folder, kShortcutName);
  if (passesThroughLink(shortcut)) return;
  const HeldDirectory heldFolder(folder);
  if (!heldFolder.held()) return;
  const UniqueHandle file = openNoFollow(shortcut, kVerifyAndDeleteAccess, FILE_SHARE_READ);
  if (!file || nodeKindOf(file.get()) != NodeKind::RegularFile || !heldFolder.contains(file.get(), kShortcutName)) {
    return;
  }
  const auto bytes = contentOf(file.get(), kShortcutSizeLimit);
  if (!bytes) return;
  const std::wstring target = shellLinkTarget(*bytes);
  if (target.empty() || !equalIgnoringCase(target, program)) return;
  if (!deleteByHandle(file.get())) throwSystemError("remove", ::GetLastError(), shortcut);
}

}  // namespace

void setPathCheckedHookForTest(PathCheckedHook hook) { pathCheckedHook() = std::move(hook); }

void runUninstall(const ManifestLoader& loadManifest) {
  // Without its own path it cannot know its installation.
  const auto self = runningExecutablePath();
  if (!self) throw std::runtime_error("平台安装标识缺失，无法卸载");
  const std::wstring& executable = *self;
  const std::wstring installPath(parentPathText(executable));
  checkNoLinks(installPath);

  if (!pathExists(joinPath(installPath, L"platform-installation.json"))) {
    throw std::runtime_error("平台安装标识缺失，无法卸载");
  }
  if (isGameRunningUnder(installPath) || isPlatformRunningIn(installPath)) {
    throw std::runtime_error("请先退出游戏和 orvo game");
  }

  const int answer = ::MessageBoxW(
      nullptr, L"是否卸载 orvo game 平台？已下载的游戏及个人封面、音乐、收藏和歌单将保留，重新安装后可继续使用。",
      L"卸载 orvo game", MB_YESNO | MB_ICONQUESTION);
  if (answer != IDYES) return;

  {
    const HeldDirectory installDirectory(installPath);
    if (!installDirectory.held()) throw std::runtime_error("Install directory cannot use links");
    for (const auto& entry : loadManifest()) removeIfUnchanged(installDirectory, installPath, entry);
  }

  const UniqueHandle token = getDesktopUserToken();
  const std::wstring desktop = knownFolderOfUser(FOLDERID_Desktop, token.get());
  const std::wstring programs = knownFolderOfUser(FOLDERID_Programs, token.get());
  const std::wstring program = joinPath(installPath, kPlatformProgramName);
  {
    // The shortcuts are in the user's own folders: read and deleted with that
    // user's rights, never with the administrator's.
    DesktopImpersonation asDesktopUser(token.get());
    removeShortcutIfOurs(desktop, program);
    removeShortcutIfOurs(programs, program);
    asDesktopUser.end();
  }

  deleteUninstallKeyIfOwned(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, installPath);

  // The running copy cannot delete itself now; the next restart does.
  ::MoveFileExW(executable.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  ::MessageBoxW(nullptr, L"orvo game 已卸载。", L"orvo game", MB_OK | MB_ICONINFORMATION);
}

}  // namespace orvo
