#pragma once
// The payload download: one HTTPS GET on WinHTTP into a file, with the length
// enforced strictly and throttled progress.
//
// Guarantees: the response must be status 200 with a Content-Length of plain
// digits equal to the expected size, checked before the target file is touched;
// the body is written through one 256 KiB buffer and may neither pass nor fall
// short of that size; progress goes to the 0..70 band at most every 0.35 s and
// once at completion; cancellation is checked after every chunk; certificate
// validation and redirects stay WinHTTP's defaults; every failure throws
// std::runtime_error with its fixed message, and every WinHTTP handle, the file
// and the buffer are released on every path. After a failure past the length
// check the partial file stays at the target; the next download truncates it.
#include <cstdint>
#include <functional>
#include "common/Progress.h"
#include <string>

#include "PayloadBuild.h"

namespace orvo {

// Size of the one payload archive this build accepts.
inline constexpr std::uint64_t kPayloadArchiveSize = build::kPayloadSize;

// Downloads the archive at `url` into `target`, replacing the file.
// `checkCancelled` throws (for example "CANCELLED") to stop; empty means never.
void downloadPayload(const std::wstring& url, const std::wstring& target, const ProgressReport& report,
                     const std::function<void()>& checkCancelled);

}  // namespace orvo
