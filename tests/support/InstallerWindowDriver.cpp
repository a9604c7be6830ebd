#include "tests/support/InstallerWindowDriver.h"

#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

namespace orvo::test {

InstallerWindowDriver InstallerWindowDriver::attach(DWORD processId, std::chrono::milliseconds timeout) {
  const HWND window = waitForTopLevelWindow(processId, L"OrvoGameInstaller", L"", timeout);
  if (window == nullptr) throw std::runtime_error("the installer window did not appear");
  // The path box is created with the window; wait for it all the same.
  for (int i = 0; i < 100 && ::GetDlgItem(window, 1001) == nullptr; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return InstallerWindowDriver(window);
}

HWND InstallerWindowDriver::pathBox() const { return ::GetDlgItem(window_, 1001); }

void InstallerWindowDriver::typeDirectory(const std::wstring& directory) const {
  // WM_SETTEXT is carried across processes with its text.
  ::SendMessageW(pathBox(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(directory.c_str()));
}

std::wstring InstallerWindowDriver::pathBoxText() const {
  wchar_t text[1024] = {};
  ::SendMessageW(pathBox(), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
  return text;
}

void InstallerWindowDriver::clickAt(int x, int y) const {
  // The installer scales its layout by the system DPI, as this process sees it too.
  const double scale = ::GetDpiForSystem() / 96.0;
  POINT point{static_cast<LONG>(x * scale), static_cast<LONG>(y * scale)};
  ::ClientToScreen(window_, &point);
  ::SetForegroundWindow(window_);
  clickOnWindow(window_, point);
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
