#pragma once
// Small helpers shared by the payload tests: reproducible file contents and a
// recorder of progress reports.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/Progress.h"

namespace orvo::test {

// `size` bytes that differ along the file (a linear congruential sequence from
// `seed`), so that chunk-boundary mistakes change digests.
std::string patternBytes(std::size_t size, std::uint32_t seed = 0x12345678);

struct RecordedReport {
  int percent;
  std::wstring status;
  std::wstring detail;
};

// A ProgressReport that appends every call to `into`.
ProgressReport recordInto(std::vector<RecordedReport>& into);

}  // namespace orvo::test
