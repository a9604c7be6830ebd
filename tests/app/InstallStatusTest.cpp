// The finish notice of an install attempt on a real message-only window, with
// posts that fail the way a full message queue makes them fail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "app/InstallStatus.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

std::atomic<int> failingPostsLeft{0};

BOOL WINAPI postAfterFailures(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (failingPostsLeft.load() != 0) {
    if (failingPostsLeft.load() > 0) failingPostsLeft.fetch_sub(1);
    ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return ::PostMessageW(window, message, wParam, lParam);
}

struct FinishCase {
  const char* name;
  int failingPosts;   // -1: every post fails
  bool detachWindow;  // the entry detaches the window while the worker retries
  int delivered;
};

void PrintTo(const FinishCase& c, std::ostream* out) { *out << c.name; }

class FinishNoticeTest : public ::testing::TestWithParam<FinishCase> {
 protected:
  FinishNoticeTest() {
    window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }
  ~FinishNoticeTest() override { ::DestroyWindow(window_); }
  HWND window_ = nullptr;
};

TEST_P(FinishNoticeTest, ReachesTheWindowWhatever) {
  const FinishCase& c = GetParam();
  ASSERT_NE(window_, nullptr);
  failingPostsLeft.store(c.failingPosts);
  InstallStatus status(&postAfterFailures);
  status.attachWindow(window_);
  auto worker = std::async(std::launch::async, [&status] { status.postFinished(false); });
  if (c.detachWindow) {
    std::this_thread::sleep_for(300ms);
    status.attachWindow(nullptr);
  }
  ASSERT_EQ(worker.wait_for(10s), std::future_status::ready) << "the worker never stopped posting";
  failingPostsLeft.store(0);

  int delivered = 0;
  MSG message{};
  while (::PeekMessageW(&message, window_, WM_INSTALL_FINISHED, WM_INSTALL_FINISHED, PM_REMOVE)) {
    EXPECT_EQ(message.wParam, 0u);
    ++delivered;
  }
  EXPECT_EQ(delivered, c.delivered);
}

INSTANTIATE_TEST_SUITE_P(
    PostOutcomes, FinishNoticeTest,
    ::testing::Values(FinishCase{"FailedPostsAreRetried", 3, false, 1},
                      FinishCase{"RetriesEndWhenTheWindowIsDetached", -1, true, 0}),
    [](const ::testing::TestParamInfo<FinishCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvo
