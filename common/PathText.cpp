#include "common/PathText.h"

#include <vector>

namespace orvo {
namespace {

constexpr bool isAsciiLetter(wchar_t c) noexcept { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

std::size_t rootNameLength(std::wstring_view path) noexcept {
  if (path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == L':') return 2;
  if (path.size() >= 3 && isPathSeparator(path[0]) && isPathSeparator(path[1]) && !isPathSeparator(path[2])) {
    std::size_t i = 2;
    while (i < path.size() && !isPathSeparator(path[i])) ++i;
    return i;
  }
  return 0;
}

}  // namespace

std::size_t rootPartLength(std::wstring_view path) noexcept {
  std::size_t i = rootNameLength(path);
  while (i < path.size() && isPathSeparator(path[i])) ++i;
  return i;
}

bool isCompletePath(std::wstring_view path) noexcept {
  const std::size_t name = rootNameLength(path);
  if (name == 0) return false;
  if (name == 2 && path[1] == L':') return path.size() > 2 && isPathSeparator(path[2]);
  return true;
}

std::wstring normalizeLexically(std::wstring_view path) {
  if (path.empty()) return {};
  const std::size_t nameLen = rootNameLength(path);
  std::wstring result(path.substr(0, nameLen));
  for (auto& c : result) {
    if (c == L'/') c = L'\\';
  }
  std::size_t i = nameLen;
  const bool hasRootDir = i < path.size() && isPathSeparator(path[i]);
  if (hasRootDir) result.push_back(L'\\');

  std::vector<std::wstring_view> out;
  bool trailing = false;   // the result ends in a separator after its last filename
  bool lastWasDotDot = false;
  while (i < path.size()) {
    while (i < path.size() && isPathSeparator(path[i])) ++i;
    if (i >= path.size()) break;
    std::size_t j = i;
    while (j < path.size() && !isPathSeparator(path[j])) ++j;
    const std::wstring_view name = path.substr(i, j - i);
    const bool followedBySeparator = j < path.size();
    i = j;
    if (name == L".") {
      trailing = true;
      lastWasDotDot = false;
      continue;
    }
    if (name == L"..") {
      if (!out.empty() && out.back() != L"..") {
        out.pop_back();
        trailing = true;
        lastWasDotDot = false;
        continue;
      }
      if (hasRootDir) {
        trailing = true;
        lastWasDotDot = false;
        continue;
      }
      out.push_back(name);
      trailing = followedBySeparator;
      lastWasDotDot = true;
      continue;
    }
    out.push_back(name);
    trailing = followedBySeparator;
    lastWasDotDot = false;
  }
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (k > 0) result.push_back(L'\\');
    result.append(out[k]);
  }
  if (!out.empty() && trailing && !lastWasDotDot) result.push_back(L'\\');
  if (result.empty()) result = L".";
  return result;
}

std::wstring_view parentPathText(std::wstring_view path) noexcept {
  const std::size_t root = rootPartLength(path);
  std::size_t end = path.size();
  while (end > root && isPathSeparator(path[end - 1])) --end;
  while (end > root && !isPathSeparator(path[end - 1])) --end;
  while (end > root && isPathSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

std::wstring joinPath(std::wstring_view base, std::wstring_view name) {
  std::wstring result(base);
  if (!result.empty() && !isPathSeparator(result.back())) result.push_back(L'\\');
  result.append(name);
  return result;
}

}  // namespace orvo
