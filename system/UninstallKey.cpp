#include "system/UninstallKey.h"

#include <optional>
#include <vector>

#include "common/UniqueHandle.h"
#include "system/InstallLocationText.h"
#include "system/TextEquality.h"

namespace orvo {
namespace {

// Registry byte sizes of a plausible location: one character and its NUL at
// least, below the longest path the form allows.
constexpr DWORD kMinimumValueBytes = 4;
constexpr DWORD kValueBytesLimit = 65523;
constexpr DWORD kFullPathCapacity = 32768;
constexpr DWORD kFullPathLimit = 32761;

bool isPlainDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::optional<std::wstring> readInstallLocation(HKEY key) {
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExW(key, L"InstallLocation", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (type != REG_SZ || size < kMinimumValueBytes || size >= kValueBytesLimit || size % 2 != 0) return std::nullopt;
  std::vector<wchar_t> buffer(size / 2);
  DWORD secondType = 0;
  DWORD secondSize = size;
  if (::RegQueryValueExW(key, L"InstallLocation", nullptr, &secondType, reinterpret_cast<BYTE*>(buffer.data()),
                         &secondSize) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (secondType != REG_SZ || secondSize != size || buffer.back() != L'\0') return std::nullopt;
  return std::wstring(buffer.data(), buffer.size() - 1);
}

std::optional<std::wstring> normalizeInstallLocation(const std::wstring& path) {
  const auto text = installLocationText(path);
  if (!text) return std::nullopt;
  for (const auto& prefix : installLocationPrefixes(*text)) {
    if (!isPlainDirectory(prefix)) return std::nullopt;
  }
  std::wstring full(kFullPathCapacity, L'\0');
  const DWORD length = ::GetFullPathNameW(text->c_str(), kFullPathCapacity, full.data(), nullptr);
  if (length == 0 || length > kFullPathLimit) return std::nullopt;
  full.resize(length);
  return trimInstallLocation(full);
}

}  // namespace

bool deleteUninstallKeyIfOwned(HKEY root, const std::wstring& subkey, REGSAM view, const std::wstring& directory) {
  const auto ours = normalizeInstallLocation(directory);
  if (!ours) return false;
  UniqueRegKey key;
  if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return false;
  const auto value = readInstallLocation(key.get());
  if (!value) return false;
  const auto recorded = normalizeInstallLocation(*value);
  if (!recorded || !equalIgnoringCase(*recorded, *ours)) return false;
  return ::RegDeleteKeyExW(root, subkey.c_str(), view, 0) == ERROR_SUCCESS;
}

}  // namespace orvo
