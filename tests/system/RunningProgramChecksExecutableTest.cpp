// The installer executable refuses an unattended install while a game client
// runs below the install directory or the platform runs from it, and says so in
// its stage-marker file.
#include <windows.h>

#include <filesystem>

#include "common/UniqueHandle.h"
#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

class InstallerRunningProgramChecks : public test::TempDirTest {
 protected:
  void SetUp() override {
    installDirectory = temp / L"orvo game";
    markerFile = temp / L"markers.txt";
    std::filesystem::create_directories(installDirectory);
  }

  // Starts the sleeper under `path`; the fixture's TempDir outlives it.
  void startSleeperAs(const std::wstring& path) {
    sleeper = test::startCopyAs(test::helperProgram(L"SystemSleeper"), path, L"90");
  }

  static std::string describe(const test::BoxedRun& run) {
    std::string text = "exit " + std::to_string(run.exitCode);
    for (const auto& box : run.boxTexts) text += "; box: " + wideToUtf8(box);
    return text;
  }

  std::string firstMarker() {
    const std::string text = test::fileExists(markerFile) ? test::readBytes(markerFile) : "";
    return text.substr(0, text.find('\n'));
  }

  test::BoxedRun verifyInstall() {
    return test::runInstallerToEnd(L"--verify-install \"" + installDirectory + L"\" \"" + markerFile + L"\"");
  }

  std::wstring installDirectory;
  std::wstring markerFile;
  test::ChildProcess sleeper;
};

TEST_F(InstallerRunningProgramChecks, RefuseToInstallWhileAGameClientRunsTwoLevelsBelow) {
  startSleeperAs(installDirectory + L"\\games\\cn\\DNF.exe");
  const test::BoxedRun run = verifyInstall();
  EXPECT_EQ(run.exitCode, 1) << describe(run);
  EXPECT_EQ(firstMarker(), "failed: 请先退出游戏，再安装或升级平台") << describe(run);
}

TEST_F(InstallerRunningProgramChecks, RefuseToInstallWhileThePlatformRunsFromTheDirectory) {
  startSleeperAs(installDirectory + L"\\OrvoQ9.exe");
  const test::BoxedRun run = verifyInstall();
  EXPECT_EQ(run.exitCode, 1) << describe(run);
  EXPECT_EQ(firstMarker(), "failed: 请先退出安装目录中运行的 orvo game") << describe(run);
}

TEST_F(InstallerRunningProgramChecks, GoOnWhenThePlatformRunsOnlyFromASubdirectory) {
  startSleeperAs(installDirectory + L"\\backup\\OrvoQ9.exe");
  const test::BoxedRun run = verifyInstall();
  ASSERT_GE(run.exitCode, 0) << "the installer did not end";
  const std::string marker = firstMarker();
  EXPECT_FALSE(marker.empty()) << "the unattended run wrote no marker; " << describe(run);
  EXPECT_NE(marker, "failed: 请先退出安装目录中运行的 orvo game");
  EXPECT_NE(marker, "failed: 请先退出游戏，再安装或升级平台");
}

}  // namespace
}  // namespace orvo
