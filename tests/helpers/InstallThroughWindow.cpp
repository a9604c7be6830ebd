// Installs the way a user does: starts the installer without arguments, types
// the directory into the window's path box, sets the two options and clicks
// the install button, then waits for the window to close. Used by the demo.
//
// Usage: InstallThroughWindow.exe <installer> <directory> [--no-launch] [--no-desktop-shortcut]
// Exit code: 0 after a successful install, 1 after a failed one, 2 when the
// window could not be driven.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "common/Utf.h"
#include "tests/support/InstallerWindowDriver.h"
#include "tests/support/TestSupport.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: InstallThroughWindow <installer> <directory> [--no-launch] [--no-desktop-shortcut]\n");
    return 2;
  }
  bool launch = true;
  bool desktopShortcut = true;
  for (int i = 3; i < argc; ++i) {
    if (std::wstring(argv[i]) == L"--no-launch") launch = false;
    if (std::wstring(argv[i]) == L"--no-desktop-shortcut") desktopShortcut = false;
  }
  try {
    orvo::test::ChildProcess installer = orvo::test::ChildProcess::start(argv[1], L"");
    const auto window = orvo::test::InstallerWindowDriver::attach(installer.id());
    window.typeDirectory(argv[2]);
    // Both options start checked.
    if (!desktopShortcut) window.clickShortcutOption();
    if (!launch) window.clickLaunchOption();
    window.clickInstall();
    if (!window.waitForInstallStart()) {
      std::fprintf(stderr, "the click on the install button started nothing\n");
      installer.terminate();
      return 2;
    }
    std::printf("install started through the window into %s\n", orvo::wideToUtf8(argv[2]).c_str());
    std::fflush(stdout);
    // Success closes the window; a failure shows its text in the window and
    // gives the path box back, which is how it is recognised here.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (std::chrono::steady_clock::now() < deadline) {
      const long long code = installer.waitExit(std::chrono::milliseconds(200));
      if (code >= 0) {
        std::printf("installer window closed with exit code %lld\n", code);
        return static_cast<int>(code);
      }
      if (::IsWindowVisible(window.pathBox())) {
        std::fprintf(stderr, "the install failed; the window shows why\n");
        ::PostMessageW(window.window(), WM_CLOSE, 0, 0);
        installer.waitExit(std::chrono::seconds(10));
        return 1;
      }
    }
    installer.terminate();
    std::fprintf(stderr, "the installer did not finish in time\n");
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
  }
}
