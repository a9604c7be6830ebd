#include <gtest/gtest.h>

#include "app/InstallerSettings.h"

using orvo::InstallerSettings;
using orvo::parseCommandLine;

namespace {

InstallerSettings parsed(const std::vector<std::wstring>& arguments, bool* uninstall = nullptr) {
  InstallerSettings settings;
  settings.installDirectory = L"C:\\Program Files\\orvo game";
  const bool result = parseCommandLine(arguments, settings);
  if (uninstall) *uninstall = result;
  return settings;
}

}  // namespace

TEST(CommandLine, VerifyInstallTakesBothValuesAndSwitchesToUnattendedMode) {
  const auto s = parsed({L"--verify-install", L"D:\\orvo", L"D:\\markers.txt"});
  EXPECT_TRUE(s.verifyInstall);
  EXPECT_TRUE(s.autoRun);
  EXPECT_FALSE(s.launchAfterInstall);
  EXPECT_FALSE(s.createDesktopShortcut);
  EXPECT_EQ(s.installDirectory, L"D:\\orvo");
  EXPECT_EQ(s.stageMarkerFile, L"D:\\markers.txt");
}

TEST(CommandLine, OptionWithMissingValuesDoesNothingAndItsValueIsExaminedAsAnOption) {
  const auto s = parsed({L"--verify-install", L"--verify-fallback"});
  EXPECT_FALSE(s.verifyInstall);
  EXPECT_FALSE(s.autoRun);
  EXPECT_TRUE(s.launchAfterInstall);
  EXPECT_EQ(s.installDirectory, L"C:\\Program Files\\orvo game");
  EXPECT_TRUE(s.verifyFallback);

  const auto capture = parsed({L"--capture-ui"});
  EXPECT_TRUE(capture.capturePath.empty());
}

TEST(CommandLine, ValuesAreConsumedEvenWhenTheyLookLikeOptions) {
  bool uninstall = false;
  const auto s = parsed({L"--capture-ui", L"--uninstall"}, &uninstall);
  EXPECT_EQ(s.capturePath, L"--uninstall");
  EXPECT_FALSE(uninstall);
}

TEST(CommandLine, OptionsAreCaseSensitiveAndUnknownArgumentsIgnored) {
  bool uninstall = true;
  const auto s = parsed({L"--VERIFY-START", L"--Uninstall", L"stray", L"--verify-fallbacks"}, &uninstall);
  EXPECT_FALSE(uninstall);
  EXPECT_FALSE(s.verifyStart);
  EXPECT_FALSE(s.verifyFallback);
}

TEST(CommandLine, VerifyStartAloneLeavesLaunchAsTheCheckboxSays) {
  InstallerSettings settings;
  settings.launchAfterInstall = false;
  parseCommandLine({L"--verify-start"}, settings);
  EXPECT_TRUE(settings.verifyStart);
  EXPECT_FALSE(settings.launchAfterInstall);
}

TEST(CommandLine, VerifyStartWithVerifyInstallLaunchesInEitherOrder) {
  EXPECT_TRUE(parsed({L"--verify-start", L"--verify-install", L"D:\\a", L"D:\\m"}).launchAfterInstall);
  EXPECT_TRUE(parsed({L"--verify-install", L"D:\\a", L"D:\\m", L"--verify-start"}).launchAfterInstall);
}

TEST(CommandLine, UninstallIsReportedAndOtherOptionsStillApply) {
  bool uninstall = false;
  const auto s = parsed({L"--uninstall", L"--verify-fallback"}, &uninstall);
  EXPECT_TRUE(uninstall);
  EXPECT_TRUE(s.verifyFallback);
}
