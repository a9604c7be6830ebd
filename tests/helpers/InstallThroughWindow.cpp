// Installs the way a user does: starts the installer without arguments, types the directory into the
// window's path box, sets the two options and clicks install with real mouse input at their logical positions,
// then waits for the window to close.
// Usage: InstallThroughWindow.exe <installer> <directory> [--no-launch] [--no-desktop-shortcut]
// Exit code: 0 after a successful install, 1 after a failed one, 2 when the window could not be driven.
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

namespace {

using namespace orvo::test;

// A left click at the logical point (x, y) of the 900 x 550 layout.
void clickAt(HWND window, int x, int y) {
  // The installer scales its layout by the system DPI, as this process sees it too.
  const double scale = ::GetDpiForSystem() / 96.0;
  POINT point{static_cast<LONG>(x * scale), static_cast<LONG>(y * scale)};
  ::ClientToScreen(window, &point);
  ::SetForegroundWindow(window);
  // Other tests' windows share the desktop, the installer's centred ones in the very same place: raise this one
  // until it is the one under the point, and take turns with other test processes for the one cursor.
  const CrossProcessLock turn(L"OrvoTestsDesktopCursor");
  for (int attempt = 0;; ++attempt) {
    ::SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    const HWND hit = ::WindowFromPoint(point);
    if (hit != nullptr && ::GetAncestor(hit, GA_ROOT) == window) break;
    if (attempt == 100) throw std::runtime_error("another window stays over the point to click");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The point travels with each event: a button event alone would take the cursor position the input system
  // knows, which can still be the old one.
  INPUT inputs[2] = {};
  for (INPUT& input : inputs) {
    input.type = INPUT_MOUSE;
    input.mi.dx = ::MulDiv(point.x, 65535, ::GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = ::MulDiv(point.y, 65535, ::GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  }
  inputs[0].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
  inputs[1].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
  if (::SendInput(2, inputs, sizeof(INPUT)) != 2) throw std::runtime_error("SendInput failed");
}

}  // namespace

int wmain(int argc, wchar_t** argv) try {
  const char usage[] = "usage: InstallThroughWindow <installer> <directory> [--no-launch] [--no-desktop-shortcut]\n";
  if (argc < 3) return std::fputs(usage, stderr), 2;
  ChildProcess installer = ChildProcess::start(argv[1], L"");
  const HWND window = installerWindow(installer.id());
  const HWND pathBox = ::GetDlgItem(window, 1001);
  // WM_SETTEXT is carried across processes with its text.
  ::SendMessageW(pathBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
  for (int i = 3; i < argc; ++i) {  // both options start checked
    if (std::wstring(argv[i]) == L"--no-launch") clickAt(window, 477 + 6, 348 + 6);
    if (std::wstring(argv[i]) == L"--no-desktop-shortcut") clickAt(window, 477 + 6, 317 + 6);
  }
  clickAt(window, 475 + 389 / 2, 439 + 48 / 2);
  // The window hides the path box while it installs; success closes the window, a failure shows its text in the
  // window and gives the path box back.
  for (int tick = 0; ::IsWindow(window) && ::IsWindowVisible(pathBox); ++tick) {
    if (tick == 300) return std::fputs("the click on the install button started nothing\n", stderr), 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (int tick = 0; tick < 1500; ++tick) {
    if (const long long code = installer.waitExit(std::chrono::milliseconds(200)); code >= 0) return static_cast<int>(code);
    if (::IsWindowVisible(pathBox)) return std::fputs("the install failed; the window shows why\n", stderr), 1;
  }
  return std::fputs("the installer did not finish in time\n", stderr), 2;
} catch (const std::exception& error) {
  return std::fprintf(stderr, "%s\n", error.what()), 2;
}
