// The download's pure rules: the strict Content-Length reading, the percentage
// of the 0..70 band, the detail line, and the meter that counts bytes against
// the expected size and throttles reports (with made-up instants).
#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <stdexcept>
#include <string>

#include "payload/DownloadMeter.h"
#include "payload/DownloadText.h"
#include "payload/PayloadDownloader.h"
#include "tests/support/MessageOf.h"

using orvo::DownloadMeter;
using orvo::downloadDetailText;
using orvo::downloadPercent;
using orvo::kPayloadArchiveSize;
using orvo::test::messageOf;
using orvo::megabyteText;
using orvo::parseContentLength;
using namespace std::chrono_literals;

TEST(ContentLength, AcceptsPlainDigitsAndReadsTheirValue) {
  EXPECT_EQ(parseContentLength(L"63144044"), 63144044u);
  EXPECT_EQ(parseContentLength(L"0"), 0u);
  EXPECT_EQ(parseContentLength(L"0063144044"), 63144044u);
  EXPECT_EQ(parseContentLength(L"18446744073709551615"), 18446744073709551615u);
}

TEST(ContentLength, RefusesEmptyTextSpacesSignsAndOtherCharacters) {
  const wchar_t* const refused[] = {L"",          L" 63144044",  L"63144044 ", L"\t63144044",
                                    L"+63144044", L"-63144044",  L"63,144,044", L"6.3e7",
                                    L"0x3C37A6C", L"63144044\r", L"６３１４４０４４"};
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    EXPECT_FALSE(parseContentLength(refused[i]).has_value()) << "accepted text number " << i;
  }
}

TEST(ContentLength, RefusesValuesThatOverflowSixtyFourBits) {
  EXPECT_FALSE(parseContentLength(L"18446744073709551616").has_value());
  EXPECT_FALSE(parseContentLength(L"99999999999999999999").has_value());
  EXPECT_FALSE(parseContentLength(L"184467440737095516150").has_value());
}

TEST(ContentLength, TreatsCodeUnitsAboveAsciiAsNonDigitsEvenWhenTheirLowByteIsADigit) {
  std::wstring text = L"6314404";
  text.push_back(static_cast<wchar_t>(0x0134));  // low byte 0x34 is '4'
  EXPECT_FALSE(parseContentLength(text).has_value());
}

TEST(DownloadPercent, MapsReceivedBytesOntoTheSeventyPercentBandTruncating) {
  EXPECT_EQ(downloadPercent(0, kPayloadArchiveSize), 0);
  EXPECT_EQ(downloadPercent(kPayloadArchiveSize / 2, kPayloadArchiveSize), 35);
  EXPECT_EQ(downloadPercent(kPayloadArchiveSize - 1, kPayloadArchiveSize), 69);
  EXPECT_EQ(downloadPercent(kPayloadArchiveSize, kPayloadArchiveSize), 70);
  EXPECT_EQ(downloadPercent(902057, kPayloadArchiveSize), 0);  // 902057 × 70 < 63144044
  EXPECT_EQ(downloadPercent(902058, kPayloadArchiveSize), 1);
}

TEST(DownloadDetail, WritesMegabytesWithOneDecimal) {
  EXPECT_EQ(megabyteText(0), L"0.0 MB");
  EXPECT_EQ(megabyteText(kPayloadArchiveSize), L"60.2 MB");
  EXPECT_EQ(megabyteText(1048576), L"1.0 MB");
  // 1.0499996 and 1.0500002 MiB: rounded to one decimal, not truncated.
  EXPECT_EQ(megabyteText(1101004), L"1.0 MB");
  EXPECT_EQ(megabyteText(1101005), L"1.1 MB");
}

TEST(DownloadDetail, AddsTheRemainingSecondsRoundedUpWhileBytesRemain) {
  // 10 MiB of 60.2 MB at 2 MiB/s: (63144044 − 10485760) ÷ 2097152 = 25.1 → 26.
  EXPECT_EQ(downloadDetailText(10485760, kPayloadArchiveSize, 2097152.0),
            L"10.0 MB / 60.2 MB    2.0 MB/s    约 26 秒");
  // Exactly whole seconds stay as they are.
  EXPECT_EQ(downloadDetailText(kPayloadArchiveSize - 2097152, kPayloadArchiveSize, 1048576.0),
            L"58.2 MB / 60.2 MB    1.0 MB/s    约 2 秒");
}

TEST(DownloadDetail, OmitsTheRemainingTimeWhenCompleteOrWithoutSpeed) {
  EXPECT_EQ(downloadDetailText(kPayloadArchiveSize, kPayloadArchiveSize, 157286400.0),
            L"60.2 MB / 60.2 MB    150.0 MB/s");
  EXPECT_EQ(downloadDetailText(1048576, kPayloadArchiveSize, 0.0), L"1.0 MB / 60.2 MB    0.0 MB/s");
}

TEST(DownloadMeter, ReportsOnlyOnceWhenTheWholeBodyArrivesWithinTheInterval) {
  const auto start = DownloadMeter::Clock::time_point{} + 100s;
  DownloadMeter meter(kPayloadArchiveSize, start);
  std::uint64_t sent = 0;
  int reports = 0;
  std::optional<DownloadMeter::Report> last;
  for (auto t = start; sent < kPayloadArchiveSize; t += 1ms) {
    const std::uint64_t chunk = std::min<std::uint64_t>(262144, kPayloadArchiveSize - sent);
    sent += chunk;
    if (auto report = meter.add(chunk, t)) {
      ++reports;
      last = report;
    }
  }
  // 241 chunks, 1 ms apart: 0.24 s in all.
  EXPECT_EQ(reports, 1);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->percent, 70);
  EXPECT_EQ(last->detail.find(L"约"), std::wstring::npos) << "final report has a remaining-time part";
  EXPECT_TRUE(meter.complete());
}

TEST(DownloadMeter, ReportsAgainOnlyAfterThirtyFiveHundredthsOfASecond) {
  const auto start = DownloadMeter::Clock::time_point{} + 5s;
  DownloadMeter meter(kPayloadArchiveSize, start);
  EXPECT_FALSE(meter.add(1048576, start + 349ms).has_value());
  auto first = meter.add(1048576, start + 350ms);
  ASSERT_TRUE(first.has_value());
  // 2 MiB over 0.35 s = 5.7 MiB/s; (63144044 − 2097152) ÷ 5991862.9 = 10.19 → 11 s.
  EXPECT_EQ(first->percent, 2);
  EXPECT_EQ(first->detail, L"2.0 MB / 60.2 MB    5.7 MB/s    约 11 秒");
  EXPECT_FALSE(meter.add(1048576, start + 699ms).has_value());
  auto second = meter.add(1048576, start + 700ms);
  ASSERT_TRUE(second.has_value());
  // Speed counts only the bytes since the previous report: 2 MiB in 0.35 s again.
  EXPECT_EQ(second->detail, L"4.0 MB / 60.2 MB    5.7 MB/s    约 10 秒");
}

TEST(DownloadMeter, DividesByAtLeastOneHundredthOfASecond) {
  const auto start = DownloadMeter::Clock::time_point{} + 1s;
  DownloadMeter meter(2097152, start);
  // Complete after 1 ms: the speed is 2 MiB ÷ 0.01 s, not ÷ 0.001 s.
  auto report = meter.add(2097152, start + 1ms);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->detail, L"2.0 MB / 2.0 MB    200.0 MB/s");
  EXPECT_EQ(report->percent, 70);
}

TEST(DownloadMeter, RefusesTheChunkThatPassesTheExpectedSize) {
  const auto start = DownloadMeter::Clock::time_point{};
  DownloadMeter meter(kPayloadArchiveSize, start);
  meter.add(kPayloadArchiveSize - 1, start);
  EXPECT_EQ(messageOf([&] { meter.add(2, start + 1s); }), "下载文件长度异常");
  EXPECT_EQ(meter.received(), kPayloadArchiveSize - 1) << "the refused chunk was counted";
  EXPECT_FALSE(meter.complete());
}

TEST(DownloadMeter, RefusesAnyByteAfterTheBodyIsComplete) {
  const auto start = DownloadMeter::Clock::time_point{};
  DownloadMeter meter(1000, start);
  ASSERT_TRUE(meter.add(1000, start).has_value());
  EXPECT_EQ(messageOf([&] { meter.add(1, start); }), "下载文件长度异常");
}

TEST(DownloadMeter, IsIncompleteWhileBytesAreMissing) {
  DownloadMeter meter(1000, DownloadMeter::Clock::time_point{});
  meter.add(999, DownloadMeter::Clock::time_point{} + 1s);
  EXPECT_FALSE(meter.complete());
  EXPECT_EQ(meter.received(), 999u);
}
