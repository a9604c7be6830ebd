// fuzz-sources: payload/ExtractProgressParser.cpp
//
// The extractor output parser on arbitrary output cut into arbitrary pieces:
// every value found is 0..100 and stands for a "%" with digits before it in
// the output so far, and a piece finds no more of them than the held text
// (one piece plus the limit) can hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "payload/ExtractProgressParser.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvo::ExtractProgressParser parser;
  std::string output;
  std::size_t i = 0;
  while (i < size) {
    // One byte gives the length of the next piece (up to 4096 as the pipe delivers).
    const std::size_t length = std::min<std::size_t>(size - i - 1, (data[i] * 17u) % 4097u);
    const std::string piece(reinterpret_cast<const char*>(data + i + 1), length);
    i += 1 + length;
    output += piece;
    const auto found = parser.feed(piece);
    // The held text is a suffix of the output of at most the limit plus this piece.
    const std::size_t held = std::min(output.size(), orvo::ExtractProgressParser::kKeepLimit + piece.size());
    const std::string_view before = std::string_view(output).substr(output.size() - held);
    std::size_t candidates = 0;
    for (std::size_t k = 1; k < before.size(); ++k) {
      if (before[k] == '%' && before[k - 1] >= '0' && before[k - 1] <= '9') ++candidates;
    }
    if (found.size() > candidates) fail("more values than percent signs after digits in what may be held");
    for (const int value : found) {
      if (value < 0 || value > 100) fail("value outside 0..100");
      const int bar = orvo::extractionBarPercent(value);
      if (bar < 75 || bar > 90) fail("bar value outside 75..90");
    }
  }
  return 0;
}
