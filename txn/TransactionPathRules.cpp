#include "txn/TransactionPathRules.h"

#include <cwctype>
#include <stdexcept>

#include "common/PathText.h"

namespace orvo {
namespace {

[[noreturn]] void refuse(const char* message) { throw std::runtime_error(message); }

constexpr bool isAsciiDigit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }

bool isHexDigit(wchar_t c) noexcept {
  return isAsciiDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

void checkPathComponent(std::wstring_view component) {
  if (component.empty() || component == L"." || component == L"..") refuse("Unsafe transaction path component");
  const wchar_t last = component.back();
  if (last == L'.' || last == L' ') refuse("Unsafe transaction path component");
  for (wchar_t c : component) {
    if (static_cast<unsigned>(c) < 0x20) refuse("Unsafe transaction path character");
  }
  const std::wstring stem = lowercaseText(component.substr(0, component.find(L'.')));
  if (stem == L"con" || stem == L"prn" || stem == L"aux" || stem == L"nul") refuse("Reserved transaction path");
  if (stem.size() == 4 && (stem.compare(0, 3, L"com") == 0 || stem.compare(0, 3, L"lpt") == 0) &&
      isAsciiDigit(stem[3])) {
    refuse("Reserved transaction path");
  }
}

}  // namespace

std::wstring normalizeRelativePath(std::wstring_view path) {
  if (path.empty() || path.size() > MaxRelativePathLength) refuse("Unsafe transaction relative path");
  if (isPathSeparator(path.front())) refuse("Unsafe transaction relative path");
  for (wchar_t c : path) {
    switch (c) {
      case L':': case L'*': case L'?': case L'"': case L'<': case L'>': case L'|':
      case L'\r': case L'\n': case L'\t':
        refuse("Unsafe transaction relative path");
      default:
        break;
    }
  }
  std::wstring result;
  result.reserve(path.size());
  std::size_t start = 0;
  while (true) {
    std::size_t end = start;
    while (end < path.size() && !isPathSeparator(path[end])) ++end;
    const std::wstring_view component = path.substr(start, end - start);
    checkPathComponent(component);
    if (!result.empty()) result.push_back(L'\\');
    result.append(component);
    if (end == path.size()) break;
    start = end + 1;
  }
  return result;
}

std::wstring normalizeInstallRoot(std::wstring_view root) {
  std::wstring normal = normalizeLexically(root);
  const std::size_t rootLength = rootPartLength(normal);
  while (normal.size() > rootLength && isPathSeparator(normal.back())) normal.pop_back();
  if (normal.size() == rootPartLength(normal)) refuse("Drive root is not an install target");

  normalizeRelativePath(std::wstring_view(normal).substr(rootPartLength(normal)));

  if (normal.size() >= 2 && normal[0] == L'\\' && normal[1] == L'\\') refuse("Unsafe transaction root");
  for (std::size_t i = 0; i < normal.size(); ++i) {
    switch (normal[i]) {
      case L'\r': case L'\n': case L'"': case L'<': case L'>': case L'|': case L'*': case L'?':
        refuse("Unsafe transaction root");
      case L':':
        if (i >= 2) refuse("Unsafe transaction root");
        break;
      default:
        break;
    }
  }
  return normal;
}

std::wstring lowercaseText(std::wstring_view text) {
  std::wstring result(text);
  for (auto& c : result) c = static_cast<wchar_t>(std::towlower(c));
  return result;
}

bool isSha256Text(std::wstring_view text) {
  if (text.size() != 64) return false;
  for (wchar_t c : text) {
    if (!isHexDigit(c)) return false;
  }
  return true;
}

std::wstring areaNameFromDigest(std::wstring_view rootDigest) {
  return std::wstring(AreaNamePrefix) + std::wstring(rootDigest.substr(0, 24));
}

std::wstring indexedAreaFileName(std::wstring_view prefix, std::size_t index) {
  return std::wstring(prefix) + std::to_wstring(index);
}

}  // namespace orvo
