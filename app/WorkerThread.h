#pragma once
// The start of an install attempt's worker thread.
#include <functional>
#include <thread>

namespace orvo {

// Runs `body` on a new thread; throws std::system_error when the system
// cannot create one.
std::thread startWorkerThread(std::function<void()> body);

// How startWorkerThread creates the thread: std::thread by default. A named
// seam: a system that refuses a new thread cannot be brought about on demand,
// so a test installs a start that throws the way std::thread then does.
// Returns the start it replaced.
using WorkerThreadStart = std::thread (*)(std::function<void()> body);
WorkerThreadStart replaceWorkerThreadStart(WorkerThreadStart start) noexcept;

}  // namespace orvo
