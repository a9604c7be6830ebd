// fuzz-sources: payload/InstallerFileManifest.cpp common/Utf.cpp
//
// The manifest parser and the path rules on arbitrary bytes. Every input must
// end in either a complete list whose entries pass the rules and survive being
// written out and parsed again, or one of the parser's own messages.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/Utf.h"
#include "payload/InstallerFileManifest.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool isParserMessage(const std::string& message) {
  static const char* const kMessages[] = {"安装清单无效",
                                          "安装清单为空",
                                          "Invalid UTF8",
                                          "invalid stoull argument",
                                          "stoull argument out of range",
                                          "Installation manifest path is unsafe",
                                          "Installation manifest must not own personal data or game client files"};
  for (const char* known : kMessages) {
    if (message == known) return true;
  }
  return false;
}

void checkParser(std::string_view text) {
  std::vector<orvo::ManifestEntry> entries;
  try {
    entries = orvo::parseFileManifest(text);
  } catch (const std::exception& e) {
    if (!isParserMessage(e.what())) fail(e.what());
    return;
  }
  if (entries.empty()) fail("an empty list was returned");
  std::string written;
  for (const auto& entry : entries) {
    if (entry.sha256.size() != 64) fail("digest of another length");
    try {
      orvo::checkManifestPath(entry.relativePath);
    } catch (const std::exception&) {
      fail("a returned path breaks the path rules");
    }
    written += orvo::wideToUtf8(entry.sha256) + "\t" + std::to_string(entry.size) + "\t" +
               orvo::wideToUtf8(entry.relativePath) + "\r\n";
  }
  const auto again = orvo::parseFileManifest(written);
  if (again.size() != entries.size()) fail("round trip changed the entry count");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (again[i].relativePath != entries[i].relativePath || again[i].sha256 != entries[i].sha256 ||
        again[i].size != entries[i].size) {
      fail("round trip changed an entry");
    }
  }
}

// Properties of an accepted path, stated independently of how the rules are written.
void checkPathRules(std::wstring_view path) {
  try {
    orvo::checkManifestPath(path);
  } catch (const std::exception& e) {
    const std::string message = e.what();
    if (message != "Installation manifest path is unsafe" &&
        message != "Installation manifest must not own personal data or game client files") {
      fail("unexpected path message");
    }
    return;
  }
  if (path.empty() || path.size() > 1024) fail("accepted length");
  if (path.front() == L'/' || path.back() == L'/') fail("accepted an outer slash");
  std::wstring component;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == L'/') {
      if (component.empty() || component == L"." || component == L"..") fail("accepted a climbing component");
      if (component.back() == L'.' || component.back() == L' ') fail("accepted a trailing dot or space");
      std::wstring lower = component;
      for (auto& c : lower) c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
      if (lower == L".platform") fail("accepted the personal-data directory");
      if (i == path.size() && (lower == L"dnf.exe" || lower == L"script.pvf")) fail("accepted a client file");
      if (i != path.size() && (lower == L"game" || lower == L"client")) fail("accepted a client directory");
      component.clear();
      continue;
    }
    const wchar_t c = path[i];
    if (static_cast<std::uint32_t>(c) < 0x20 || c == L'\\' || c == L':' || c == L'*' || c == L'?' || c == L'"' ||
        c == L'<' || c == L'>' || c == L'|') {
      fail("accepted a forbidden character");
    }
    component.push_back(c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkParser(text);
  // The same bytes as UTF-16 code units, little-endian, for the path rules alone.
  std::wstring units;
  for (std::size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  checkPathRules(units);
  return 0;
}
