#pragma once
// The test helpers' reading of the file list embedded as resource 105 of their
// own executable: "digest TAB size TAB path" lines, LF or CR LF. Test code only,
// for lists the tests write themselves; it trusts its input.
#include <windows.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "payload/EmbeddedResource.h"
#include "payload/ManifestEntry.h"

namespace orvo::test {

inline std::vector<ManifestEntry> embeddedTestManifest() {
  const std::vector<unsigned char> bytes = readEmbeddedResource(105);
  std::istringstream text(std::string(bytes.begin(), bytes.end()));
  std::vector<ManifestEntry> entries;
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto first = line.find('\t');
    const auto second = line.find('\t', first + 1);
    entries.push_back(ManifestEntry{utf8ToWide(line.substr(second + 1)), utf8ToWide(line.substr(0, first)),
                                    std::stoull(line.substr(first + 1, second - first - 1))});
  }
  return entries;
}

}  // namespace orvo::test
