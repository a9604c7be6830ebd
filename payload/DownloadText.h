#pragma once
// The parts of the payload download that are plain arithmetic and text: the
// strict Content-Length rule, the progress percentage and the detail line.
//
// Guarantees: a Content-Length is accepted only as non-empty ASCII digits whose
// value fits 64 bits (no spaces, signs or other characters, whatever else a
// lenient parser would forgive); texts use fixed notation with one decimal and
// do not depend on the locale or on the size of wchar_t. No Windows headers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvo {

// Message of every length violation: header missing or malformed, wrong value,
// body longer than announced.
inline constexpr char kDownloadLengthInvalid[] = "下载文件长度异常";

// The value of a Content-Length header text, or nothing when the text is not
// strictly plain decimal digits or overflows 64 bits.
std::optional<std::uint64_t> parseContentLength(std::wstring_view text);

// Share of the download's 0..70 band: received × 70 ÷ total, truncated.
int downloadPercent(std::uint64_t received, std::uint64_t total);

// "<received MB> / <total MB>    <speed> MB/s" (bytes ÷ 1,048,576, one decimal), followed by "    约 <seconds> 秒"
// (remaining time rounded up) while the speed is positive and bytes remain.
std::wstring downloadDetailText(std::uint64_t received, std::uint64_t total, double bytesPerSecond);

}  // namespace orvo
