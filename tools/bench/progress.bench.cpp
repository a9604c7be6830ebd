// Progress notices during a download, as the installer window receives them:
// the real downloadPayload fetches the build's primary endpoint on a worker
// thread and reports through InstallStatus::reportProgress, which posts one
// WM_INSTALL_PROGRESS per report to this program's window; the window thread
// counts what arrives.
// Prints "progress <messages> <seconds> <messages per second> <distinct percents>".
//   progress-bench <target file> [url]     (default: the build's primary endpoint)
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <set>
#include <string>
#include <thread>

#include "app/InstallPipeline.h"
#include "app/InstallStatus.h"
#include "common/ScopeExit.h"
#include "payload/PayloadDownloader.h"

namespace {

constexpr UINT WM_DOWNLOAD_DONE = WM_APP + 10;

std::uint64_t received = 0;

LRESULT CALLBACK countingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == orvo::WM_INSTALL_PROGRESS) {
    ++received;
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) return 2;
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = countingProcedure;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"OrvoProgressBench";
  ::RegisterClassW(&windowClass);
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
  if (window == nullptr) return 2;
  const orvo::ScopeExit destroyWindow([window] { ::DestroyWindow(window); });

  orvo::InstallStatus status;
  status.attachWindow(window);
  std::set<int> percents;
  std::string error;
  double seconds = 0;
  const std::wstring target = argv[1];
  const std::wstring url = argc == 3 ? argv[2] : orvo::buildEndpoints().primaryUrl;
  std::thread worker([&] {
    const auto start = std::chrono::steady_clock::now();
    try {
      orvo::downloadPayload(
          url, target,
          [&](int percent, const std::wstring& text, const std::wstring& detail) {
            percents.insert(percent);
            status.reportProgress(percent, text, detail);
          },
          {});
    } catch (const std::exception& failure) {
      error = failure.what();
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::PostMessageW(window, WM_DOWNLOAD_DONE, 0, 0);
  });
  // Posted messages arrive in order, so every notice is counted before "done".
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_DOWNLOAD_DONE) break;
    ::DispatchMessageW(&message);
  }
  worker.join();
  if (!error.empty()) {
    std::fprintf(stderr, "download failed: %s\n", error.c_str());
    return 1;
  }
  std::printf("progress %llu %.3f %.1f %zu\n", static_cast<unsigned long long>(received), seconds,
              received / seconds, percents.size());
  return 0;
}
