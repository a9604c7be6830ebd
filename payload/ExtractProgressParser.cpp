#include "payload/ExtractProgressParser.h"

namespace orvo {
namespace {

constexpr bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

std::vector<int> ExtractProgressParser::feed(std::string_view piece) {
  held_.append(piece.data(), piece.size());
  std::vector<int> found;
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (held_[i] != '%') continue;
    // Up to three digits directly before the sign; a longer run keeps its last three.
    std::size_t start = i;
    while (start > 0 && i - start < 3 && isDigit(held_[start - 1])) --start;
    if (start == i) continue;
    int value = 0;
    for (std::size_t k = start; k < i; ++k) value = value * 10 + (held_[k] - '0');
    if (value <= 100) found.push_back(value);
  }
  if (held_.size() > kKeepLimit) held_.erase(0, held_.size() - kKeepBytes);
  return found;
}

int extractionBarPercent(int extractorPercent) noexcept { return 75 + extractorPercent * 15 / 100; }

std::wstring extractionDetail(int extractorPercent) {
  std::wstring text = L"解压进度 ";
  for (const char c : std::to_string(extractorPercent)) text.push_back(static_cast<wchar_t>(c));
  return text + L"%";
}

}  // namespace orvo
