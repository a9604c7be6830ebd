#include "app/InstallerWindowPaths.h"

#include <cwctype>
#include <string_view>

#include "common/FileSystemErrors.h"
#include "common/PathText.h"

namespace orvo {
namespace {

// "orvo game" is ASCII only, so ASCII case folding decides equality exactly.
wchar_t foldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool equalsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

std::wstring trimPathText(const std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && std::iswspace(static_cast<wint_t>(text[end - 1]))) --end;
  std::size_t begin = 0;
  while (begin < end && (text[begin] == L' ' || text[begin] == L'\t')) ++begin;
  return text.substr(begin, end - begin);
}

std::wstring withProductFolder(const std::wstring& pickedFolder) {
  std::size_t start = pickedFolder.size();
  while (start > 0 && !isPathSeparator(pickedFolder[start - 1])) --start;
  const std::wstring_view lastComponent = std::wstring_view(pickedFolder).substr(start);
  if (equalsIgnoringAsciiCase(lastComponent, kProductFolderName)) return pickedFolder;
  return joinPath(pickedFolder, kProductFolderName);
}

std::wstring browseStartFolder(const std::wstring& pathText) {
  std::wstring candidate = pathText;
  while (!candidate.empty()) {
    if (pathExists(std::filesystem::path(candidate))) return candidate;
    std::wstring parent(parentPathText(candidate));
    // A bare root that does not exist has no parent to try.
    if (parent == candidate) return L"";
    candidate = std::move(parent);
  }
  return L"";
}

}  // namespace orvo
