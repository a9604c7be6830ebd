#include "app/WorkerThreadSeam.h"

#include <atomic>
#include <utility>

namespace orvo {
namespace {

std::thread standardStart(std::function<void()> body) { return std::thread(std::move(body)); }

std::atomic<WorkerThreadStart> workerThreadStart{&standardStart};

}  // namespace

std::thread startWorkerThread(std::function<void()> body) { return workerThreadStart.load()(std::move(body)); }

WorkerThreadStart replaceWorkerThreadStart(WorkerThreadStart start) noexcept {
  return workerThreadStart.exchange(start);
}

}  // namespace orvo
