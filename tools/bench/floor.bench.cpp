// The unavoidable pieces of an install, each alone under the same Wine as the
// installer (install.bench.sh adds them up into the install's floor):
//   floor-bench window                 a trivial window: shown, closed, process ends
//   floor-bench timer                  the same window, closed by a 500 ms timer
//   floor-bench cng <file>             one CNG SHA-256 pass over the file's bytes held in memory
//                                      (median of 3): "cng <seconds> <bytes>"
//   floor-bench copies <from> <to>     copies every file below <from> to <to>, each flushed
//                                      through a write-through handle: "copies <seconds> <bytes>"
//   floor-bench runs <program> <dir>   the platform program's two configuration runs, waited
//                                      for, started from this process: "runs <seconds>"
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "tools/bench/FloorWork.h"

namespace {

using orvo::bench::Clock;
using orvo::bench::secondsSince;

constexpr UINT_PTR kTimer = 1;

LRESULT CALLBACK trivialWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

// A visible, painted 900 x 550 window: what any windowed installer pays to start and end.
int trivialWindow(bool withTimer) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = trivialWindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = L"FloorBenchWindow";
  if (!::RegisterClassExW(&windowClass)) return 1;
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"floor", WS_POPUP, 100, 100, 900, 550, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
  if (window == nullptr) return 1;
  ::ShowWindow(window, SW_SHOW);
  ::UpdateWindow(window);
  if (withTimer) {
    ::SetTimer(window, kTimer, 500, nullptr);
  } else {
    ::PostMessageW(window, WM_CLOSE, 0, 0);
  }
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}

unsigned long long bytesOf(const std::vector<std::filesystem::path>& files) {
  unsigned long long total = 0;
  for (const auto& file : files) total += std::filesystem::file_size(file);
  return total;
}

// One waited run of the program with the given argument text.
void runWaited(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory) {
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        nullptr, directory.c_str(), &startup, &process)) {
    throw std::runtime_error("CreateProcessW failed");
  }
  orvo::UniqueHandle processHandle(process.hProcess);
  orvo::UniqueHandle threadHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  if (code != 0) throw std::runtime_error("platform run failed with " + std::to_string(code));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"window" && argc == 2) return trivialWindow(false);
    if (mode == L"timer" && argc == 2) return trivialWindow(true);
    if (mode == L"cng" && argc == 3) {
      const auto bytes = orvo::bench::readWhole(argv[2]);
      std::vector<double> passes;
      for (int i = 0; i < 3; ++i) passes.push_back(orvo::bench::cngPassSeconds(bytes));
      std::printf("cng %.4f %llu\n", orvo::bench::median(passes), static_cast<unsigned long long>(bytes.size()));
      return 0;
    }
    if (mode == L"copies" && argc == 4) {
      const std::filesystem::path from(argv[2]);
      const auto files = orvo::bench::filesUnder(from);
      const double seconds = orvo::bench::writeThroughCopies(from, files, argv[3]);
      std::printf("copies %.4f %llu\n", seconds, bytesOf(files));
      return 0;
    }
    if (mode == L"runs" && argc == 4) {
      const std::wstring program = argv[2];
      const std::wstring directory = argv[3];
      const std::wstring identity = directory + L"\\installer-user.sid";
      const auto start = Clock::now();
      runWaited(program, L"--record-install-user \"" + identity + L"\"", directory);
      runWaited(program, L"--configure-platform-install \"" + identity + L"\"", directory);
      std::printf("runs %.4f\n", secondsSince(start));
      return 0;
    }
    std::fprintf(stderr, "usage: floor-bench window | timer | cng FILE | copies FROM TO | runs PROGRAM DIR\n");
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "floor-bench: %s\n", error.what());
    return 1;
  }
}
