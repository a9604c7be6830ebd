#include "app/InstallDirectory.h"
#include "app/InstallDirectorySeam.h"

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <cstdio>
#include <stdexcept>

#include "common/FileSystemErrors.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"

namespace orvo {
namespace {

constexpr std::uint64_t kMinimumFreeBytes = 0x30000000;  // 768 MiB

bool isCompleteInstallDirectory(const std::wstring& directory) {
  if (!isCompletePath(directory)) return false;
  if (rootPartLength(directory) == directory.size()) return false;  // a bare root
  return directory.find_first_of(L"\r\n\"<>|*") == std::wstring::npos;
}

std::wstring formatFreeSpace(std::uint64_t freeBytesForCaller) {
  char number[64];
  std::snprintf(number, sizeof number, "%.1f", static_cast<double>(freeBytesForCaller) / 1073741824.0);
  std::wstring text = L"可用空间 ";
  for (const char* p = number; *p; ++p) text.push_back(static_cast<wchar_t>(*p));
  return text + L" GB";
}

}  // namespace

std::wstring defaultInstallDirectory() {
  UniqueCoTaskMem<wchar_t*> folder;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, folder.put())) || !folder) {
    throw std::runtime_error("Program Files unavailable");
  }
  return joinPath(folder.get(), L"orvo game");
}

std::wstring freeSpaceRoot(std::wstring_view path) {
  std::wstring text(path);
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  auto componentEnd = [&text](std::size_t start) {
    const std::size_t end = text.find(L'\\', start);
    return end == std::wstring::npos ? text.size() : end;
  };
  const auto isLetter = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
  if (text.size() >= 3 && isLetter(text[0]) && text[1] == L':') {
    return text[2] == L'\\' ? text.substr(0, 3) : std::wstring();
  }
  if (text.rfind(L"\\\\", 0) != 0) return {};

  std::size_t start = 2;
  if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0) {
    start = 4;
    const std::wstring_view unc = std::wstring_view(text).substr(4, 4);
    const bool isUnc = unc.size() == 4 && (unc[0] == L'U' || unc[0] == L'u') && (unc[1] == L'N' || unc[1] == L'n') &&
                       (unc[2] == L'C' || unc[2] == L'c') && unc[3] == L'\\';
    if (!isUnc) {
      // A drive or volume name right after the prefix.
      const std::size_t end = componentEnd(start);
      return end == start ? std::wstring() : text.substr(0, end) + L'\\';
    }
    start = 8;
  }
  // Server and share: the share's root is where the system measures free space.
  const std::size_t serverEnd = componentEnd(start);
  if (serverEnd == start || serverEnd == text.size()) return {};
  const std::size_t shareEnd = componentEnd(serverEnd + 1);
  if (shareEnd == serverEnd + 1) return {};
  return text.substr(0, shareEnd) + L'\\';
}

bool hasEnoughFreeSpace(std::uint64_t freeBytesForCaller) noexcept { return freeBytesForCaller >= kMinimumFreeBytes; }

void validateInstallDirectory(const std::wstring& directory) {
  if (!isCompleteInstallDirectory(directory)) throw std::runtime_error("请选择完整的平台安装目录");

  const std::wstring programFiles(parentPathText(defaultInstallDirectory()));
  if (::CompareStringOrdinal(directory.c_str(), static_cast<int>(directory.size()), programFiles.c_str(),
                             static_cast<int>(programFiles.size()), TRUE) == CSTR_EQUAL) {
    throw std::runtime_error("请选择 orvo game 专属目录");
  }

  checkNoLinks(directory);

  const std::wstring root = freeSpaceRoot(directory);
  ULARGE_INTEGER available{};
  if (root.empty() || !::GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr) ||
      !hasEnoughFreeSpace(available.QuadPart)) {
    throw std::runtime_error("安装磁盘可用空间不足，至少需要 768 MB");
  }
}

std::wstring freeSpaceText(const std::wstring& pathText) {
  try {
    const std::wstring root = freeSpaceRoot(pathText);
    ULARGE_INTEGER available{};
    if (root.empty() || !::GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) {
      return L"请选择有效的安装目录";
    }
    return formatFreeSpace(available.QuadPart);
  } catch (...) {
    return L"请选择有效的安装目录";
  }
}

}  // namespace orvo
