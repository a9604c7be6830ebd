#pragma once
// The start of an install attempt's worker thread.
#include <functional>
#include <thread>

namespace orvo {

// Runs `body` on a new thread; throws std::system_error when the system
// cannot create one.
std::thread startWorkerThread(std::function<void()> body);

}  // namespace orvo
