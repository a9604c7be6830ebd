// "--uninstall" of the installer executable itself: the entry runs the
// uninstaller without a window and maps its outcome to the exit code.
#include <windows.h>

#include <filesystem>

#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

class UninstallExecutable : public test::TempDirTest {};

TEST_F(UninstallExecutable, StartedAsTheDownloadedInstallerStopsBeforeAsking) {
  const std::wstring downloads = temp / L"Downloads";
  std::filesystem::create_directories(downloads);
  const std::wstring copy = downloads + L"\\OrvoGameSetup.exe";
  test::copyFileOrThrow(test::installerExecutable(), copy);
  const test::BoxedRun run = test::runAnsweringBoxes(copy, L"--uninstall", L"卸载 orvo game", {});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.boxTexts, std::vector<std::wstring>{L"平台安装标识缺失，无法卸载"});
  EXPECT_TRUE(test::fileExists(copy));
}

TEST_F(UninstallExecutable, AnsweredNoInsideAnInstallationEndsWithZeroAndChangesNothing) {
  const std::wstring installDirectory = temp / L"orvo game";
  std::filesystem::create_directories(installDirectory);
  test::writeBytes(installDirectory + L"\\platform-installation.json", "{}");
  test::writeBytes(installDirectory + L"\\OrvoQ9.exe", "the platform");
  const std::wstring copy = installDirectory + L"\\卸载 orvo game.exe";
  test::copyFileOrThrow(test::installerExecutable(), copy);
  const test::BoxedRun run = test::runAnsweringBoxes(copy, L"--uninstall", L"卸载 orvo game", {IDNO});
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_EQ(run.boxTexts.size(), 1u);
  EXPECT_EQ(run.boxTexts[0].rfind(L"是否卸载 orvo game 平台？", 0), 0u);
  EXPECT_EQ(test::readBytes(installDirectory + L"\\OrvoQ9.exe"), "the platform");
  EXPECT_TRUE(test::fileExists(copy));
}

}  // namespace
}  // namespace orvo
