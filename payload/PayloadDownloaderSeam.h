#pragma once
// Test seam of the payload download: the same download with the expected size
// as a parameter, so that bodies far smaller than the payload prove its rules.
#include <cstdint>
#include <functional>
#include <string>

#include "common/Progress.h"

namespace orvo {

// downloadPayload(url, target, report, checkCancelled) is
// downloadExactly(url, target, kPayloadArchiveSize, report, checkCancelled).
void downloadExactly(const std::wstring& url, const std::wstring& target, std::uint64_t expectedSize,
                     const ProgressReport& report, const std::function<void()>& checkCancelled);

}  // namespace orvo
