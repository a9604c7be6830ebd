// The installer executable driven from outside: command line, exit code,
// stage-marker file and message boxes, as an unattended caller sees them.
#include <gtest/gtest.h>

#include <thread>

#include "common/Utf.h"
#include "tests/support/TestSupport.h"

using namespace orvo::test;

namespace {

HWND findInstallerWindow(DWORD processId, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    HWND window = nullptr;
    while ((window = ::FindWindowExW(nullptr, window, L"OrvoGameInstaller", nullptr)) != nullptr) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(window, &owner);
      if (owner == processId) return window;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return nullptr;
}

class InstallerExecutable : public TempDirTest {
 protected:
  // Runs an unattended verification into `directory` and returns the exit code.
  DWORD verifyInstall(const std::wstring& directory) {
    return runToExit(installerExecutable(),
                     L"--verify-install \"" + directory + L"\" \"" + markerFile() + L"\"", std::chrono::seconds(120));
  }
  std::wstring markerFile() const { return temp / L"markers.txt"; }
};

}  // namespace

TEST_F(InstallerExecutable, RelativeDirectoryEndsTheUnattendedRunWithItsMessage) {
  EXPECT_EQ(verifyInstall(L"relative\\dir"), 1u);
  EXPECT_EQ(readBytes(markerFile()), "failed: 请选择完整的平台安装目录\n");
}

TEST_F(InstallerExecutable, ProgramFilesItselfIsRefusedAsNotOurOwnDirectory) {
  EXPECT_EQ(verifyInstall(L"C:\\Program Files"), 1u);
  EXPECT_EQ(readBytes(markerFile()), "failed: 请选择 orvo game 专属目录\n");
}

TEST_F(InstallerExecutable, SecondInstanceIsRefusedWhileTheFirstRuns) {
  ChildProcess first = ChildProcess::start(installerExecutable(), L"");
  const HWND window = findInstallerWindow(first.id(), std::chrono::seconds(60));
  ASSERT_NE(window, nullptr) << "the first installer shows its window";

  ChildProcess second = ChildProcess::start(installerExecutable(), L"");
  EXPECT_EQ(orvo::wideToUtf8(answerMessageBox(second.id(), L"orvo game", IDOK)), "orvo game 安装程序已在运行");
  EXPECT_EQ(second.waitExit(std::chrono::seconds(30)), 1);

  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(first.waitExit(std::chrono::seconds(30)), 0) << "closing an idle window ends with 0";
}
