#include "payload/InstallerFileManifest.h"

#include <array>
#include <stdexcept>
#include <string>

#include "common/Utf.h"

namespace orvo {
namespace {

constexpr std::size_t kDigestUnits = 64;
constexpr std::size_t kMaxPathUnits = 1024;

[[noreturn]] void invalidManifest() { throw std::runtime_error("安装清单无效"); }
[[noreturn]] void unsafePath() { throw std::runtime_error("Installation manifest path is unsafe"); }
[[noreturn]] void ownsForeignFiles() {
  throw std::runtime_error("Installation manifest must not own personal data or game client files");
}

// White space as the "C" locale's isspace sees it.
constexpr bool isSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool endsWith(std::wstring_view text, std::wstring_view suffix) noexcept {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// towlower in the "C" locale, which this program never leaves: A-Z only. The
// names compared below are ASCII or have no case, so nothing else could match.
std::wstring lowered(std::wstring_view component) {
  std::wstring text(component);
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

bool isPersonalData(const std::wstring& component) {
  return component == L".platform" || endsWith(component, L".个人媒体保留");
}

bool isGameClientDirectory(const std::wstring& component) {
  static constexpr std::array<std::wstring_view, 7> kNames = {L"game", L"games", L"client",    L"clients",
                                                              L"dnf",  L"游戏",  L"游戏客户端"};
  for (const auto name : kNames) {
    if (component == name) return true;
  }
  return endsWith(component, L"客户端");
}

bool isGameClientFile(const std::wstring& component) {
  static constexpr std::array<std::wstring_view, 5> kNames = {L"script.pvf", L"dnf.exe", L"dnfchina.exe", L"dfo.exe",
                                                              L"arad.exe"};
  for (const auto name : kNames) {
    if (component == name) return true;
  }
  return false;
}

// Every syntax rule over the whole path comes before any ownership rule, so an
// owned name early in a path cannot hide a climbing component later on.
void checkManifestPath(std::wstring_view path) {
  if (path.empty() || path.size() > kMaxPathUnits || path.front() == L'/' || path.back() == L'/') unsafePath();
  if (path.find_first_of(L"\\:\"<>|*?\r\n\t") != std::wstring_view::npos) unsafePath();

  std::vector<std::wstring_view> components;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find(L'/', start);
    components.push_back(
        path.substr(start, slash == std::wstring_view::npos ? std::wstring_view::npos : slash - start));
    if (slash == std::wstring_view::npos) break;
    start = slash + 1;
  }
  for (const auto component : components) {
    if (component.empty() || component == L"." || component == L"..") unsafePath();
    if (component.back() == L'.' || component.back() == L' ') unsafePath();
    for (const wchar_t c : component) {
      if (static_cast<std::uint32_t>(c) < 0x20) unsafePath();
    }
  }

  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::wstring name = lowered(components[i]);
    const bool last = i + 1 == components.size();
    if (isPersonalData(name)) ownsForeignFiles();
    if (!last && isGameClientDirectory(name)) ownsForeignFiles();
    if (last && isGameClientFile(name)) ownsForeignFiles();
  }
}

// std::stoull's rules in base 10, with its messages, without its locale or errno.
std::uint64_t parseManifestSize(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && isSpace(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  const std::size_t firstDigit = i;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(field[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  if (i == firstDigit) throw std::invalid_argument("invalid stoull argument");
  if (overflow) throw std::out_of_range("stoull argument out of range");
  return negative ? 0 - value : value;
}

}  // namespace

std::vector<ManifestEntry> parseFileManifest(std::string_view text) {
  std::vector<ManifestEntry> entries;
  std::size_t lineStart = 0;
  while (lineStart < text.size()) {
    const std::size_t lineFeed = text.find('\n', lineStart);
    const std::size_t lineEnd = lineFeed == std::string_view::npos ? text.size() : lineFeed;
    std::string_view line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineFeed == std::string_view::npos ? text.size() : lineFeed + 1;

    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t firstTab = line.find('\t');
    if (firstTab == std::string_view::npos || firstTab + 1 >= line.size()) invalidManifest();
    const std::size_t secondTab = line.find('\t', firstTab + 1);
    if (secondTab == std::string_view::npos) invalidManifest();

    ManifestEntry entry;
    entry.relativePath = utf8ToWide(line.substr(secondTab + 1));
    entry.sha256 = utf8ToWide(line.substr(0, firstTab));
    entry.size = parseManifestSize(line.substr(firstTab + 1, secondTab - firstTab - 1));
    checkManifestPath(entry.relativePath);
    if (entry.sha256.size() != kDigestUnits) invalidManifest();
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) throw std::runtime_error("安装清单为空");
  return entries;
}

}  // namespace orvo
