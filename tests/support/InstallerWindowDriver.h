#pragma once
// Drives the installer's real window from another process the way a user
// would: types into its path box and clicks its custom-drawn controls with
// real mouse input at their logical positions.
#include <windows.h>

#include <chrono>
#include <string>

namespace orvo::test {

class InstallerWindowDriver {
 public:
  // Waits for the visible main window of installer process `processId`; throws when none appears.
  static InstallerWindowDriver attach(DWORD processId, std::chrono::milliseconds timeout = std::chrono::seconds(60));

  HWND window() const { return window_; }
  HWND pathBox() const { return ::GetDlgItem(window_, 1001); }
  // WM_SETTEXT is carried across processes with its text.
  void typeDirectory(const std::wstring& directory) const {
    ::SendMessageW(pathBox(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(directory.c_str()));
  }
  void clickInstall() const { clickAt(475 + 389 / 2, 439 + 48 / 2); }
  void clickLaunchOption() const { clickAt(477 + 6, 348 + 6); }
  void clickShortcutOption() const { clickAt(477 + 6, 317 + 6); }
  // True once the path box is hidden, which the window does while installing.
  bool waitForInstallStart(std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;

 private:
  explicit InstallerWindowDriver(HWND window) : window_(window) {}
  // A left click at the logical point (x, y) of the 900 x 550 layout.
  void clickAt(int x, int y) const;
  HWND window_ = nullptr;
};

}  // namespace orvo::test
