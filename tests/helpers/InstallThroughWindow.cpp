// Installs the way a user does: starts the installer without arguments, types the directory into the
// window's path box, sets the two options and clicks install, then waits for the window to close.
// Usage: InstallThroughWindow.exe <installer> <directory> [--no-launch] [--no-desktop-shortcut]
// Exit code: 0 after a successful install, 1 after a failed one, 2 when the window could not be driven.
#include <cstdio>

#include "tests/support/InstallerWindowDriver.h"
#include "tests/support/TestSupport.h"

int wmain(int argc, wchar_t** argv) try {
  const char usage[] = "usage: InstallThroughWindow <installer> <directory> [--no-launch] [--no-desktop-shortcut]\n";
  if (argc < 3) return std::fputs(usage, stderr), 2;
  orvo::test::ChildProcess installer = orvo::test::ChildProcess::start(argv[1], L"");
  const auto window = orvo::test::InstallerWindowDriver::attach(installer.id());
  window.typeDirectory(argv[2]);
  for (int i = 3; i < argc; ++i) {  // both options start checked
    if (std::wstring(argv[i]) == L"--no-launch") window.clickLaunchOption();
    if (std::wstring(argv[i]) == L"--no-desktop-shortcut") window.clickShortcutOption();
  }
  window.clickInstall();
  if (!window.waitForInstallStart()) return std::fputs("the click on the install button started nothing\n", stderr), 2;
  // Success closes the window; a failure shows its text in the window and gives the path box back.
  for (int tick = 0; tick < 1500; ++tick) {
    if (const long long code = installer.waitExit(std::chrono::milliseconds(200)); code >= 0) return static_cast<int>(code);
    if (::IsWindowVisible(window.pathBox())) return std::fputs("the install failed; the window shows why\n", stderr), 1;
  }
  return std::fputs("the installer did not finish in time\n", stderr), 2;
} catch (const std::exception& error) {
  return std::fprintf(stderr, "%s\n", error.what()), 2;
}
