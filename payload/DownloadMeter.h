#pragma once
// Counts the body bytes of one download against the size it must have and
// decides when a progress report is due.
//
// Guarantees: the count never silently passes the expected size (the chunk
// that passes it throws kDownloadLengthInvalid); a report is due only when at
// least 0.35 s passed since the previous one (or since the start), and always
// for the chunk that completes the body, so a fast download reports exactly
// once, at 70 percent, without a remaining-time part. Time is whatever the
// caller passes, so the rules can be checked with made-up instants.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvo {

class DownloadMeter {
 public:
  using Clock = std::chrono::steady_clock;

  struct Report {
    int percent;         // 0..70
    std::wstring detail;  // see downloadDetailText
  };

  DownloadMeter(std::uint64_t expectedSize, Clock::time_point start);

  // Counts `bytes` read at `now`; returns the report that is due, if any.
  std::optional<Report> add(std::uint64_t bytes, Clock::time_point now);

  bool complete() const noexcept { return received_ == expected_; }

 private:
  std::uint64_t expected_;
  std::uint64_t received_ = 0;
  std::uint64_t reportedBytes_ = 0;
  Clock::time_point reportedTime_;
};

}  // namespace orvo
