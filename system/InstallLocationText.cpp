#include "system/InstallLocationText.h"

namespace orvo {
namespace {

constexpr std::size_t kMinimumLength = 3;
constexpr std::size_t kMaximumLength = 32760;
constexpr std::size_t kMaximumFullLength = 32761;

bool isDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool isRefused(wchar_t c) {
  return c < 32 || c == L'"' || c == L'*' || c == L'<' || c == L'>' || c == L'?' || c == L'|';
}

}  // namespace

std::optional<std::wstring> installLocationText(std::wstring_view path) {
  if (path.size() < kMinimumLength || path.size() > kMaximumLength) return std::nullopt;
  std::wstring text(path);
  for (wchar_t& c : text) {
    if (c == L'\0') return std::nullopt;
    if (c == L'/') c = L'\\';
  }
  if (!isDriveLetter(text[0]) || text[1] != L':' || text[2] != L'\\') return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isRefused(text[i]) || (text[i] == L':' && i != 1)) return std::nullopt;
  }
  // Components after the drive.
  std::size_t start = 3;
  while (start <= text.size()) {
    std::size_t end = text.find(L'\\', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring_view component = std::wstring_view(text).substr(start, end - start);
    if (component == L"." || component == L"..") return std::nullopt;
    if (!component.empty() && (component.back() == L' ' || component.back() == L'.')) return std::nullopt;
    start = end + 1;
  }
  return text;
}

std::vector<std::wstring> installLocationPrefixes(std::wstring_view checkedText) {
  std::vector<std::wstring> prefixes;
  if (checkedText.size() < 3) return prefixes;
  prefixes.emplace_back(checkedText.substr(0, 3));
  std::size_t start = 3;
  while (start < checkedText.size()) {
    std::size_t end = checkedText.find(L'\\', start);
    if (end == std::wstring_view::npos) end = checkedText.size();
    if (end > start) prefixes.emplace_back(checkedText.substr(0, end));
    start = end + 1;
  }
  return prefixes;
}

std::optional<std::wstring> trimInstallLocation(std::wstring_view fullPath) {
  if (fullPath.empty() || fullPath.size() > kMaximumFullLength) return std::nullopt;
  std::wstring text(fullPath);
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  if (text.size() < 4) return std::nullopt;
  return text;
}

}  // namespace orvo
