#pragma once
// A test seam of the worker thread's start.
#include "app/WorkerThread.h"

namespace orvo {

// How startWorkerThread creates the thread: std::thread by default. A named
// seam: a system that refuses a new thread cannot be brought about on demand,
// so a test installs a start that throws the way std::thread then does.
// Returns the start it replaced.
using WorkerThreadStart = std::thread (*)(std::function<void()> body);
WorkerThreadStart replaceWorkerThreadStart(WorkerThreadStart start) noexcept;

}  // namespace orvo
