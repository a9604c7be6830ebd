#include "system/RunningExecutable.h"

#include <windows.h>

namespace orvo {

std::optional<std::wstring> runningExecutablePath() {
  constexpr DWORD kCapacity = 32768;
  std::wstring path(kCapacity, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), kCapacity);
  if (length == 0 || length >= kCapacity) return std::nullopt;
  path.resize(length);
  return path;
}

}  // namespace orvo
