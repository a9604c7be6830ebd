#include "migration/MigrationPathRules.h"

#include <algorithm>
#include <cwctype>
#include <stdexcept>

namespace orvo {
namespace {

std::uint16_t readU16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t readU32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::wstring joinChild(std::wstring_view directory, std::wstring_view prefix, std::wstring_view id,
                       std::wstring_view suffix = {}) {
  std::wstring path(directory);
  path += L'\\';
  path += prefix;
  path += id;
  path += suffix;
  return path;
}

bool isAlphabetic(wchar_t c) {
  const auto unit = static_cast<std::uint32_t>(c) & 0xFFFFu;
  return std::iswalpha(static_cast<std::wint_t>(unit)) != 0;
}

wchar_t lowerCodeUnit(wchar_t c) {
  // towlower only for code units; a surrogate half is left as it is.
  const auto unit = static_cast<std::uint32_t>(c) & 0xFFFFu;
  if (unit >= 0xD800 && unit <= 0xDFFF) return static_cast<wchar_t>(unit);
  return static_cast<wchar_t>(static_cast<std::uint32_t>(std::towlower(static_cast<std::wint_t>(unit))) & 0xFFFFu);
}

bool lessByCodeUnits(std::wstring_view a, std::wstring_view b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<std::uint16_t>(a[i]);
    const auto y = static_cast<std::uint16_t>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

}  // namespace

MigrationNames deriveMigrationNames(std::wstring_view installDirectory, std::wstring_view migrationId) {
  return MigrationNames{
      joinChild(installDirectory, kPrivateCopyPrefix, migrationId),
      joinChild(installDirectory, kParkedLinkPrefix, migrationId),
      joinChild(installDirectory, kPreservedCopyPrefix, migrationId),
      joinChild(installDirectory, kArchivedJournalPrefix, migrationId, kArchivedJournalSuffix),
  };
}

bool isValidMigrationId(std::wstring_view id) noexcept {
  if (id.size() != kMigrationIdLength) return false;
  return std::all_of(id.begin(), id.end(),
                     [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); });
}

std::wstring migrationIdFromGuidText(std::wstring_view guidText) {
  std::wstring id;
  for (wchar_t c : guidText) {
    if (c >= L'0' && c <= L'9') {
      id.push_back(c);
    } else if (c >= L'a' && c <= L'f') {
      id.push_back(c);
    } else if (c >= L'A' && c <= L'F') {
      id.push_back(static_cast<wchar_t>(c - L'A' + L'a'));
    }
  }
  if (id.size() != kMigrationIdLength) throw std::runtime_error("Migration transaction identity invalid");
  return id;
}

void requireLocalAbsoluteSyntax(std::wstring_view path) {
  const bool ok = path.size() >= 3 && isAlphabetic(path[0]) && path[1] == L':' && path[2] == L'\\' &&
            path.find(L'/') == std::wstring_view::npos && path.find(L':', 2) == std::wstring_view::npos;
  if (!ok) throw std::runtime_error("Migration requires a local absolute path");
}

void requireValidComponents(std::wstring_view fullPath) {
  // The drive element and the root separator pass by construction.
  if (fullPath.size() <= 3) return;
  std::wstring_view rest = fullPath.substr(3);
  for (;;) {
    const std::size_t end = rest.find(L'\\');
    const std::wstring_view element = rest.substr(0, end);
    if (element.empty() || element == L"." || element == L".." || element.back() == L'.' || element.back() == L' ') {
      throw std::runtime_error("Migration path component invalid");
    }
    if (end == std::wstring_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

bool isSameOrInside(std::wstring_view a, std::wstring_view b) {
  if (a.size() < b.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (lowerCodeUnit(a[i]) != lowerCodeUnit(b[i])) return false;
  }
  return a.size() == b.size() || a[b.size()] == L'\\';
}

bool isAcceptableChildName(std::wstring_view name) noexcept {
  if (name.empty() || name.back() == L'.' || name.back() == L' ') return false;
  return name.find(L':') == std::wstring_view::npos;
}

void sortByCodeUnits(std::vector<std::wstring>& names) {
  std::sort(names.begin(), names.end(),
            [](const std::wstring& a, const std::wstring& b) { return lessByCodeUnits(a, b); });
}

std::wstring parseJunctionSubstituteName(const std::uint8_t* buffer, std::size_t size) {
  if (buffer == nullptr || size < 16) throw std::runtime_error("Migration link metadata unavailable");
  const std::uint32_t tag = readU32(buffer);
  const std::size_t dataLength = readU16(buffer + 4);
  const std::size_t offset = readU16(buffer + 8);
  const std::size_t length = readU16(buffer + 10);
  if (tag != kMountPointReparseTag || dataLength + 8 > size || offset % 2 != 0 || length % 2 != 0 ||
      16 + offset + length > size) {
    throw std::runtime_error("Migration accepts only a direct mount-point junction");
  }
  std::wstring name;
  name.reserve(length / 2);
  const std::uint8_t* p = buffer + 16 + offset;
  for (std::size_t i = 0; i < length / 2; ++i) name.push_back(static_cast<wchar_t>(readU16(p + 2 * i)));
  if (name.find(L'\0') != std::wstring::npos || name.size() < 4 || name.compare(0, 4, L"\\??\\") != 0) {
    throw std::runtime_error("Migration junction target invalid");
  }
  return name.substr(4);
}

}  // namespace orvo
