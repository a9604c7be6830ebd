#include "payload/DownloadMeter.h"

#include <algorithm>
#include <stdexcept>

#include "payload/DownloadText.h"

namespace orvo {
namespace {

constexpr double kReportInterval = 0.35;  // seconds
constexpr double kSpeedDivisorFloor = 0.01;  // seconds

}  // namespace

DownloadMeter::DownloadMeter(std::uint64_t expectedSize, Clock::time_point start)
    : expected_(expectedSize), reportedTime_(start) {}

std::optional<DownloadMeter::Report> DownloadMeter::add(std::uint64_t bytes, Clock::time_point now) {
  if (bytes > expected_ - received_) throw std::runtime_error(kDownloadLengthInvalid);
  received_ += bytes;

  const double elapsed = std::chrono::duration<double>(now - reportedTime_).count();
  if (elapsed < kReportInterval && received_ != expected_) return std::nullopt;

  const double speed = static_cast<double>(received_ - reportedBytes_) / std::max(elapsed, kSpeedDivisorFloor);
  Report report{downloadPercent(received_, expected_), downloadDetailText(received_, expected_, speed)};
  reportedTime_ = now;
  reportedBytes_ = received_;
  return report;
}

}  // namespace orvo
