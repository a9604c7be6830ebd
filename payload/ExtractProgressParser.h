#pragma once
// Finds the percentages in what the 7-Zip console program writes under -bsp1,
// piece by piece as the pipe delivers it, and maps them onto the extraction
// band of the install bar.
//
// Guarantees: every value handed out is within 0..100; a percentage split
// across two pieces is still found; the held text never grows beyond one piece
// plus kKeepLimit bytes. An earlier percentage can be found again by a later
// piece (the scan restarts at the start of what is held); the install bar keeps
// the highest value, so that does no harm. Pure: no Windows headers.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

class ExtractProgressParser {
 public:
  // Beyond this many held bytes, only the last kKeepBytes are kept: enough for
  // three digits and a percent sign split across two pieces.
  static constexpr std::size_t kKeepLimit = 100;
  static constexpr std::size_t kKeepBytes = 10;

  // Adds one piece of output and returns, in order, every percentage found in
  // the held text: up to three digits right before each "%", values 0..100.
  std::vector<int> feed(std::string_view piece);

 private:
  std::string held_;
};

// The install bar's value for an extractor percentage: 75 + N × 15 / 100.
int extractionBarPercent(int extractorPercent) noexcept;

// The detail line under the bar: "解压进度 " followed by N and "%".
std::wstring extractionDetail(int extractorPercent);

}  // namespace orvo
