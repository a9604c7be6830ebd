// fuzz-sources: payload/InstallerFileManifest.cpp common/Utf.cpp
//
// The manifest parser on arbitrary bytes, and on arbitrary UTF-16 paths in an
// otherwise valid line. Every input must end in either a complete list whose
// paths have the properties the rules promise and that survives being written
// out and parsed again, or one of the parser's own messages.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
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
  static const std::set<std::string> kMessages = {
      "安装清单无效", "安装清单为空", "Invalid UTF8", "invalid stoull argument", "stoull argument out of range",
      "Installation manifest path is unsafe", "Installation manifest must not own personal data or game client files"};
  return kMessages.count(message) != 0;
}

void checkAcceptedPath(std::wstring_view path);

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
    checkAcceptedPath(entry.relativePath);
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
void checkAcceptedPath(std::wstring_view path) {
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
  // The same bytes as UTF-16 code units, little-endian, as the path of one valid line.
  std::wstring units;
  for (std::size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  std::string path;
  try {
    path = orvo::wideToUtf8(units);
  } catch (const std::exception&) {
    return 0;  // a lone surrogate has no UTF-8 form
  }
  checkParser(std::string(64, 'a') + "\t1\t" + path);
  return 0;
}
