#include "system/RunningExecutable.h"

#include <windows.h>

#include <system_error>
#include <vector>

#include "common/FileSystemErrors.h"
#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "system/FinalPath.h"

namespace orvo {
namespace {

[[noreturn]] void failCopy(DWORD error, const std::wstring& destination) {
  throwFilesystemError("copy_file", std::error_code(static_cast<int>(error), std::system_category()), destination);
}

bool sameFile(HANDLE first, HANDLE second) noexcept {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return ::GetFileInformationByHandle(first, &a) && ::GetFileInformationByHandle(second, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Removes what stands at `destination` so that the copy can be created anew:
// a copy of an older installer, possibly read-only, or a link planted there,
// which goes itself rather than the file it points to.
void removeOldCopy(const std::wstring& destination) {
  DWORD error = 0;
  UniqueHandle old = openNoFollow(destination, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, &error);
  if (!old) {
    if (isAbsentError(error)) return;
    failCopy(error, destination);
  }
  const NodeKind kind = nodeKindOf(old.get());
  if (kind != NodeKind::RegularFile && kind != NodeKind::Link) failCopy(ERROR_ACCESS_DENIED, destination);
  // Where the open followed a link after all, the handle holds the file it
  // points to, which is not ours to delete.
  const std::wstring directory(parentPathText(destination));
  std::size_t nameStart = directory.size();
  while (nameStart < destination.size() && isPathSeparator(destination[nameStart])) ++nameStart;
  if (!liesDirectlyIn(old.get(), directory, destination.substr(nameStart))) failCopy(ERROR_ACCESS_DENIED, destination);
  if (!deleteByHandle(old.get())) failCopy(::GetLastError(), destination);
}

}  // namespace

std::optional<std::wstring> runningExecutablePath() {
  constexpr DWORD kCapacity = 32768;
  std::wstring path(kCapacity, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), kCapacity);
  if (length == 0 || length >= kCapacity) return std::nullopt;
  path.resize(length);
  return path;
}

void copyRunningExecutableTo(const std::wstring& destination) {
  const auto self = runningExecutablePath();
  if (!self) failCopy(ERROR_FILENAME_EXCED_RANGE, destination);
  UniqueHandle source(::CreateFileW(self->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!source) failCopy(::GetLastError(), destination);

  {
    // Installing again from the uninstaller copy itself: it already is the copy.
    UniqueHandle existing = openNoFollow(destination, FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (existing && sameFile(existing.get(), source.get())) return;
  }
  removeOldCopy(destination);

  // CREATE_NEW fails on any name that reappeared meanwhile, a link included,
  // so the bytes can only land in a file made here. Only the unnamed stream is
  // written: the download's zone mark and attributes do not travel along.
  UniqueHandle target(::CreateFileW(destination.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!target) failCopy(::GetLastError(), destination);
  std::vector<char> buffer(1 << 20);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(source.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) break;
    if (read == 0) {
      if (::FlushFileBuffers(target.get())) return;
      break;
    }
    DWORD written = 0;
    if (!::WriteFile(target.get(), buffer.data(), read, &written, nullptr) || written != read) break;
  }
  // A partial copy is no uninstaller; it goes with its handle.
  const DWORD error = ::GetLastError();
  deleteByHandle(target.get());
  failCopy(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error, destination);
}

}  // namespace orvo
