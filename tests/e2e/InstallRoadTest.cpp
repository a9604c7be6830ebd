// The install road end to end, driving only OrvoGameSetup.exe: the command
// line, the stage-marker file, the disk and the local payload server.
#include <gtest/gtest.h>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "tests/e2e/E2eSupport.h"
#include "txn/TransactionPathRules.h"

using namespace orvo::test;
using namespace orvo::test::e2e;

namespace {

class InstallRoad : public E2eTest {
 protected:
  // Every file of the shipped manifest is installed with its digest.
  void expectEveryManifestFileInstalled(const std::wstring& directory) {
    const auto manifest = shippedManifest();
    ASSERT_EQ(manifest.size(), 14u);
    for (const auto& line : manifest) {
      std::wstring path = line.path;
      for (auto& c : path) {
        if (c == L'/') c = L'\\';
      }
      const std::wstring file = orvo::joinPath(directory, path);
      ASSERT_TRUE(fileExists(file)) << orvo::wideToUtf8(file);
      EXPECT_EQ(orvo::sha256File(file), line.sha256) << orvo::wideToUtf8(file);
    }
  }

  // An installed platform whose program file is older, so an upgrade must replace it.
  std::wstring installOlderPlatform() {
    EXPECT_EQ(verifyInstall(installDirectory(), markerFile()).exitCode, 0);
    const std::wstring program = installDirectory() + L"\\OrvoQ9.exe";
    writeBytes(program, "an older platform program");
    ::DeleteFileW(markerFile().c_str());
    return program;
  }

  // No transaction area is left beside the install directory.
  bool transactionAreaLeft(const std::wstring& parent = L"") const {
    return !namesMatching(parent.empty() ? temp.path() : parent, L".orvo-file-txn-*").empty();
  }
};

}  // namespace

TEST_F(InstallRoad, FreshVerifyInstallWritesEveryMarkerAndInstallsEveryFile) {
  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 0) << run.markers;
  EXPECT_EQ(run.markerLines, kVerifyRunMarkers);
  expectEveryManifestFileInstalled(installDirectory());
  const std::string marker = readBytes(installDirectory() + L"\\platform-installation.json");
  EXPECT_EQ(marker.size(), 30u);
  EXPECT_TRUE(directoryExists(installDirectory() + L"\\.platform")) << "the platform configured its data directory";
  EXPECT_FALSE(transactionAreaLeft());
}

TEST_F(InstallRoad, VerifyStartLaunchesTheInstalledPlatformAndNamesItsProcess) {
  const InstallerRun run = verifyInstall(installDirectory(), markerFile(), L"--verify-start");
  EXPECT_EQ(run.exitCode, 0) << run.markers;
  std::vector<std::string> expected = kVerifyRunMarkers;
  expected.insert(expected.end() - 1, "platform-launch-ok pid=");
  ASSERT_EQ(run.markerLines.size(), expected.size()) << run.markers;
  const std::string launch = run.markerLines[expected.size() - 2];
  ASSERT_EQ(launch.rfind("platform-launch-ok pid=", 0), 0u) << run.markers;
  const DWORD pid = static_cast<DWORD>(std::stoul(launch.substr(launch.find('=') + 1)));
  // That process is the installed platform program, still running.
  orvo::UniqueHandle platform(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(platform.valid()) << "no process " << pid;
  wchar_t image[1024] = {};
  DWORD length = 1024;
  ASSERT_TRUE(::QueryFullProcessImageNameW(platform.get(), 0, image, &length));
  // Another program under that id is no platform to end.
  ASSERT_EQ(orvo::lowercaseText(image), orvo::lowercaseText(installDirectory() + L"\\OrvoQ9.exe"));
  DWORD code = 0;
  EXPECT_TRUE(::GetExitCodeProcess(platform.get(), &code) && code == STILL_ACTIVE);
  ::TerminateProcess(platform.get(), 0);
  ::WaitForSingleObject(platform.get(), 10000);
}

TEST_F(InstallRoad, UpgradeReplacesEveryFileAndKeepsUserFilesAndTheMarker) {
  ASSERT_EQ(verifyInstall(installDirectory(), markerFile()).exitCode, 0);
  // An older installation: changed program files, a user file, our own marker.
  const auto manifest = shippedManifest();
  writeBytes(installDirectory() + L"\\OrvoQ9.exe", "an older platform program");
  writeBytes(installDirectory() + L"\\user-notes.txt", "mine");
  const std::string marker = "{\r\n  \"Product\" : \"q9-platform-202\",\r\n  \"Revision\": 7\r\n}";
  writeBytes(installDirectory() + L"\\platform-installation.json", marker);
  ::DeleteFileW(markerFile().c_str());

  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 0) << run.markers;
  EXPECT_EQ(run.markerLines, kVerifyRunMarkers);
  expectEveryManifestFileInstalled(installDirectory());
  EXPECT_EQ(readBytes(installDirectory() + L"\\user-notes.txt"), "mine");
  EXPECT_EQ(readBytes(installDirectory() + L"\\platform-installation.json"), marker) << "kept byte for byte";
  EXPECT_FALSE(transactionAreaLeft());
}

TEST_F(InstallRoad, FallbackServesWhenThePrimaryFails) {
  ServerRules rules;
  rules.set(kPrimaryUrlPath, "status=404");
  RequestLog log;
  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 0) << run.markers;
  EXPECT_EQ(run.markerLines, kVerifyRunMarkers);
  EXPECT_EQ(log.countPath(kPrimaryUrlPath), 1);
  EXPECT_EQ(log.countPath(kFallbackUrlPath), 1);
}

TEST_F(InstallRoad, BothEndpointsFailingShowsTheFallbacksErrorAndInstallsNothing) {
  ServerRules rules;
  rules.set(kPrimaryUrlPath, "cut=1000");
  rules.set(kFallbackUrlPath, "status=404");
  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.markers, "failed: Download server returned error\n");
  EXPECT_FALSE(directoryExists(installDirectory()));
}

TEST_F(InstallRoad, TamperedPayloadIsRefusedBeforeAnythingIsInstalled) {
  ASSERT_EQ(verifyInstall(installDirectory(), markerFile()).exitCode, 0);
  const auto before = snapshotTree(installDirectory());
  ::DeleteFileW(markerFile().c_str());
  ServerRules rules;
  // The right size, other bytes.
  rules.set(kPrimaryUrlPath, "body=generated");
  rules.set(kFallbackUrlPath, "body=generated");
  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.markers, "download-ok\nfailed: 平台文件校验失败，请重试下载\n");
  EXPECT_EQ(snapshotTree(installDirectory()), before);
}

TEST_F(InstallRoad, DirectoryWithSpacesAndChineseCharactersInstalls) {
  const std::wstring directory = temp / L"游戏 平台\\orvo game 安装";
  const InstallerRun run = verifyInstall(directory, markerFile());
  EXPECT_EQ(run.exitCode, 0) << run.markers;
  expectEveryManifestFileInstalled(directory);
}

TEST_F(InstallRoad, DirectoryWhoseFilePathsPassMaxPathInstallsAndUpgrades) {
  // The longest directory the transaction accepts (240 characters after the
  // drive) puts the deeper installed files and the transaction area past 260.
  std::wstring parent = temp.path();
  while (parent.size() + 1 + 50 < 233) parent += L"\\" + std::wstring(50, L'p');
  parent += L"\\" + std::wstring(233 - parent.size() - 1, L'q');
  const std::wstring directory = parent + L"\\orvo game";
  ASSERT_EQ(directory.size(), 243u);
  std::size_t longest = 0;
  for (const auto& line : shippedManifest()) longest = std::max(longest, directory.size() + 1 + line.path.size());
  ASSERT_GT(longest, 260u);

  const InstallerRun fresh = verifyInstall(directory, markerFile());
  EXPECT_EQ(fresh.exitCode, 0) << fresh.markers;
  EXPECT_EQ(fresh.markerLines, kVerifyRunMarkers);
  expectEveryManifestFileInstalled(directory);

  writeBytes(directory + L"\\OrvoQ9.exe", "an older platform program");
  ::DeleteFileW(markerFile().c_str());
  const InstallerRun upgrade = verifyInstall(directory, markerFile());
  EXPECT_EQ(upgrade.exitCode, 0) << upgrade.markers;
  EXPECT_EQ(upgrade.markerLines, kVerifyRunMarkers);
  expectEveryManifestFileInstalled(directory);
  EXPECT_FALSE(transactionAreaLeft(parent));
}

TEST_F(InstallRoad, RunningGameClientStopsTheUpgradeBeforeTheDownloadAndLeavesTheDiskAsItWas) {
  installOlderPlatform();
  // A game downloaded into the platform's directory, running.
  ChildProcess client =
      startCopyAs(helperProgram(L"SystemSleeper"), installDirectory() + L"\\games\\cn\\DNF.exe", L"90");
  const auto before = snapshotTree(installDirectory());
  const PayloadRequests requests;

  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.markers, "failed: 请先退出游戏，再安装或升级平台\n");
  EXPECT_EQ(requests.count(), 0) << "nothing was downloaded";
  client.terminate();
  EXPECT_EQ(snapshotTree(installDirectory()), before);
}

TEST_F(InstallRoad, LockedInstalledFileStopsTheUpgradeAndLeavesTheDiskAsItWas) {
  installOlderPlatform();
  const auto before = snapshotTree(installDirectory());
  {
    // Another program holds the installed file open without sharing it.
    orvo::UniqueHandle holder(::CreateFileW((installDirectory() + L"\\OrvoQ9.exe").c_str(), GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    const InstallerRun run = verifyInstall(installDirectory(), markerFile());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.lastMarker(),
              "failed: Destination file is locked; installation not changed"
              "\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。");
  }
  EXPECT_EQ(snapshotTree(installDirectory()), before);
  EXPECT_FALSE(transactionAreaLeft());
}

TEST_F(InstallRoad, ReadOnlyInstalledFileStopsTheUpgradeAndLeavesTheDiskAsItWas) {
  const std::wstring program = installOlderPlatform();
  ASSERT_TRUE(::SetFileAttributesW(program.c_str(), FILE_ATTRIBUTE_READONLY));
  const auto before = snapshotTree(installDirectory());

  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.lastMarker(),
            "failed: Destination is directory or read-only"
            "\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。");
  EXPECT_EQ(snapshotTree(installDirectory()), before);
  EXPECT_NE(::GetFileAttributesW(program.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << "the user's attribute is kept";
  EXPECT_FALSE(transactionAreaLeft());
}
