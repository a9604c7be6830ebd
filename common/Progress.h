#pragma once
// The callables that long-running operations receive from their caller: where
// to report progress and how to learn that the run is to stop. Kept free of
// Windows headers so that pure code can name them too.
#include <cstdint>
#include <functional>
#include <string>

namespace orvo {

// Progress to the install bar: an overall percentage, a status and a detail text.
using ProgressReport = std::function<void(int percent, const std::wstring& status, const std::wstring& detail)>;

// The running count of bytes processed so far.
using ByteProgress = std::function<void(std::uint64_t bytesSoFar)>;

// Throws (for example "CANCELLED") to stop the work; empty means not cancellable.
using CancelCheck = std::function<void()>;

}  // namespace orvo
