#include "payload/DownloadText.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace orvo {
namespace {

constexpr double kMegabyte = 1048576.0;

// printf's fixed notation ignores the C++ locale; the result is ASCII.
std::wstring formatNumber(const char* format, double value) {
  char text[64] = {};
  const int n = std::snprintf(text, sizeof text, format, value);
  std::wstring result;
  for (int i = 0; i < n && i < static_cast<int>(sizeof text) - 1; ++i) {
    result.push_back(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
  }
  return result;
}

std::wstring megabyteText(std::uint64_t bytes) {
  return formatNumber("%.1f", static_cast<double>(bytes) / kMegabyte) + L" MB";
}

}  // namespace

std::optional<std::uint64_t> parseContentLength(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (const wchar_t c : text) {
    // Compared as code units, so a wide character can never pass as a digit.
    const auto unit = static_cast<std::uint32_t>(c);
    if (unit < u'0' || unit > u'9') return std::nullopt;
    const std::uint64_t digit = unit - u'0';
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

int downloadPercent(std::uint64_t received, std::uint64_t total) {
  if (total == 0) return 70;
  // received never passes total here (the meter refuses that first), so
  // received × 70 cannot overflow for any size a download can have.
  return static_cast<int>(received * 70 / total);
}

std::wstring downloadDetailText(std::uint64_t received, std::uint64_t total, double bytesPerSecond) {
  std::wstring text = megabyteText(received) + L" / " + megabyteText(total) + L"    " +
                      formatNumber("%.1f", bytesPerSecond / kMegabyte) + L" MB/s";
  if (bytesPerSecond > 0 && received < total) {
    const double seconds = std::ceil(static_cast<double>(total - received) / bytesPerSecond);
    text += L"    约 " + formatNumber("%.0f", seconds) + L" 秒";
  }
  return text;
}

}  // namespace orvo
