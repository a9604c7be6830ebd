#include "system/FinalPath.h"

#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "system/TextEquality.h"

namespace orvo {

std::wstring finalPathOf(HANDLE handle) {
  constexpr DWORD kCapacity = 32768;
  std::wstring path(kCapacity, L'\0');
  const DWORD length =
      ::GetFinalPathNameByHandleW(handle, path.data(), kCapacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= kCapacity) return {};
  path.resize(length);
  return path;
}

bool liesDirectlyIn(HANDLE handle, const std::wstring& directory, const std::wstring& name) {
  const UniqueHandle parent =
      openNoFollow(directory, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!parent) return false;
  const std::wstring parentPath = finalPathOf(parent.get());
  const std::wstring actual = finalPathOf(handle);
  return !parentPath.empty() && !actual.empty() && equalIgnoringCase(actual, joinPath(parentPath, name));
}

}  // namespace orvo
