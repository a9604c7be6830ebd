#include "tests/payload/PayloadTestSupport.h"

namespace orvo::test {

std::string patternBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (auto& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<char>(seed >> 24);
  }
  return bytes;
}

ProgressReport recordInto(std::vector<RecordedReport>& into) {
  return [&into](int percent, const std::wstring& status, const std::wstring& detail) {
    into.push_back({percent, status, detail});
  };
}

}  // namespace orvo::test
