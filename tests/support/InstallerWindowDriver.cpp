#include "tests/support/InstallerWindowDriver.h"

#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

namespace orvo::test {

InstallerWindowDriver InstallerWindowDriver::attach(DWORD processId, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::pair<DWORD, HWND> search{processId, nullptr};
  while (std::chrono::steady_clock::now() < deadline) {
    ::EnumWindows([](HWND window, LPARAM context) -> BOOL {
      auto* s = reinterpret_cast<std::pair<DWORD, HWND>*>(context);
      DWORD owner = 0;
      wchar_t name[64] = {};
      ::GetWindowThreadProcessId(window, &owner);
      if (owner != s->first || !::IsWindowVisible(window) || !::GetClassNameW(window, name, 64)) return TRUE;
      if (std::wstring(name) != L"OrvoGameInstaller" || ::GetDlgItem(window, 1001) == nullptr) return TRUE;
      s->second = window;
      return FALSE;
    }, reinterpret_cast<LPARAM>(&search));
    if (search.second != nullptr) return InstallerWindowDriver(search.second);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("the installer window did not appear");
}

void InstallerWindowDriver::clickAt(int x, int y) const {
  // The installer scales its layout by the system DPI, as this process sees it too.
  const double scale = ::GetDpiForSystem() / 96.0;
  POINT point{static_cast<LONG>(x * scale), static_cast<LONG>(y * scale)};
  ::ClientToScreen(window_, &point);
  ::SetForegroundWindow(window_);
  // Other tests' windows share the desktop, the installer's centred ones in the
  // very same place: raise this one until it is the one under the point, and
  // take turns with other test processes for the one cursor.
  const CrossProcessLock turn(L"OrvoTestsDesktopCursor");
  for (int attempt = 0;; ++attempt) {
    ::SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    const HWND hit = ::WindowFromPoint(point);
    if (hit != nullptr && ::GetAncestor(hit, GA_ROOT) == window_) break;
    if (attempt == 100) throw std::runtime_error("another window stays over the point to click");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The point travels with each event: a button event alone would take the
  // cursor position the input system knows, which can still be the old one.
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

bool InstallerWindowDriver::waitForInstallStart(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!::IsWindow(window_) || !::IsWindowVisible(pathBox())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace orvo::test
