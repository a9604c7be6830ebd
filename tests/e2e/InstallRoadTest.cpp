// The install road of OrvoGameSetup.exe run unattended, on one installation: a fresh install, an upgrade
// that starts with an earlier run's half-applied transaction, then every refusal, each leaving it as it was.
#include <functional>
#include <memory>

#include "tests/e2e/E2eSupport.h"

namespace orvo::test::e2e {
namespace {

struct Refusal {
  const char* name;
  std::wstring directory;  // empty: the installation
  std::vector<std::pair<std::wstring, std::string>> serverRules;
  std::function<std::shared_ptr<void>()> arrange;  // what it returns lives through the run
  std::string markers;
  bool downloads;
};

using InstallRoad = E2eTest;

TEST_F(InstallRoad, FreshInstallUpgradeAfterACrashAndEveryRefusal) {
  // Spaces and Chinese, and the longest directory the transaction takes, so deeper files pass MAX_PATH.
  const std::wstring base = temp / L"游戏 平台", markers = temp / L"markers.txt";
  const std::wstring parent = base + L"\\" + std::wstring(232 - base.size(), L'p'), dir = parent + L"\\orvo game";
  const std::wstring program = dir + L"\\OrvoQ9.exe", marker = L"\\\\?\\" + dir + L"\\platform-installation.json";
  ASSERT_EQ(dir.size(), 243u);
  {
    PayloadServer server({{kPrimaryPath, "status=404"}});
    auto [code, run] = runInstaller(installerExecutable(), dir, markers, L"--verify-start");
    EXPECT_EQ(code, 0) << run;
    EXPECT_EQ(std::make_pair(server.requests(kPrimaryPath), server.requests(kFallbackPath)), std::make_pair(1, 1));
    const std::size_t launch = run.find("platform-launch-ok pid=");
    ASSERT_NE(launch, std::string::npos) << run;
    const DWORD pid = std::stoul(run.substr(launch + 23));
    EXPECT_EQ(run.erase(launch, run.find('\n', launch) + 1 - launch), kVerifyRunMarkers);
    UniqueHandle platform(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    wchar_t image[1024] = {};
    DWORD length = 1024;
    ASSERT_TRUE(platform && ::QueryFullProcessImageNameW(platform.get(), 0, image, &length)) << "no process " << pid;
    // Ended through the handle that showed it is the platform: the id alone may by now name another process.
    ASSERT_EQ(lowercaseText(image), lowercaseText(program)) << "the id names the installed platform";
    // Gone before the upgrade below rewrites its program file.
    ::TerminateProcess(platform.get(), 0), ::WaitForSingleObject(platform.get(), 10000);
  }
  expectEveryManifestFileIn(dir);
  EXPECT_EQ(readBytes(marker).size(), 30u);
  EXPECT_TRUE(directoryExists(dir + L"\\.platform")) << "the platform configured its data directory";
  EXPECT_FALSE(transactionAreaIn(parent));

  // An older installation with a user's file and its own marker; an upgrade of it is killed halfway
  // through replacing files, and the next run recovers that before it upgrades.
  const char older[] = "{\r\n  \"Product\" : \"q9-platform-202\",\r\n  \"Revision\": 7\r\n}";
  writeBytes(program, "an older platform program");
  writeBytes(dir + L"\\user-notes.txt", "mine");
  writeBytes(marker, older);
  ::CreateDirectoryW((temp / L"tmp").c_str(), nullptr);
  const std::wstring crash = L"--crash-at after-replace:6 --temp-folder \"" + (temp / L"tmp") + L"\"";
  ASSERT_EQ(runInstaller(helperProgram(L"HookedInstallerGui"), dir, markers, crash).first, 77);
  removeTree(entryIn(temp / L"tmp", L"orvo-install-*"));  // as a restart's disk clean-up would
  ASSERT_TRUE(transactionAreaIn(parent));
  EXPECT_EQ(runInstaller(installerExecutable(), dir, markers), std::make_pair(0ll, kVerifyRunMarkers));
  expectEveryManifestFileIn(dir);
  EXPECT_EQ(readBytes(dir + L"\\user-notes.txt"), "mine");
  EXPECT_EQ(readBytes(marker), older);
  EXPECT_FALSE(transactionAreaIn(parent));

  writeBytes(program, "an older platform program");  // which an upgrade would replace
  const std::string prepared = "download-ok\narchive-sha256-ok\nmanifest-all-files-ok\nfailed: ";
  const auto game = [&] { return startCopyAs(helperProgram(L"SystemSleeper"), dir + L"\\games\\DNF.exe", L"90"); };
  const auto hold = [&] { return ::CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr); };
  const Refusal rows[] = {
      {"relative directory", L"relative\\dir", {}, nullptr, "failed: 请选择完整的平台安装目录\n", false},
      {"Program Files, in any case", L"c:\\PROGRAM files", {}, nullptr, "failed: 请选择 orvo game 专属目录\n", false},
      {"both endpoints fail", temp / L"new", {{kPrimaryPath, "cut=1000"}, {kFallbackPath, "status=404"}}, nullptr,
       "failed: Download server returned error\n", true},
      // The right size, other bytes.
      {"tampered payload", L"", {{kPrimaryPath, "body=generated"}, {kFallbackPath, "body=generated"}}, nullptr,
       "download-ok\nfailed: 平台文件校验失败，请重试下载\n", true},
      {"game running", L"", {}, [&] { return std::make_shared<ChildProcess>(game()); },
       "failed: 请先退出游戏，再安装或升级平台\n", false},
      {"installed file locked", L"", {}, [&] { return std::make_shared<UniqueHandle>(hold()); },
       prepared + "Destination file is locked; installation not changed" + kRestoredNote, true},
      {"installed file read-only", L"", {}, [&] { return ::SetFileAttributesW(program.c_str(), FILE_ATTRIBUTE_READONLY), nullptr; },
       prepared + "Destination is directory or read-only" + kRestoredNote, true},
  };
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.name);
    PayloadServer server(row.serverRules);
    const std::shared_ptr<void> arranged = row.arrange ? row.arrange() : nullptr;
    const auto before = snapshotTree(dir);
    const std::wstring target = row.directory.empty() ? dir : row.directory;
    EXPECT_EQ(runInstaller(installerExecutable(), target, markers), std::make_pair(1ll, row.markers));
    if (!row.downloads) { EXPECT_EQ(server.requests(kPrimaryPath) + server.requests(kFallbackPath), 0); }
    EXPECT_EQ(snapshotTree(dir), before);
    EXPECT_FALSE(transactionAreaIn(parent));
  }
  EXPECT_FALSE(directoryExists(temp / L"new"));
  EXPECT_NE(::GetFileAttributesW(program.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << "the user's attribute is kept";
}

}  // namespace
}  // namespace orvo::test::e2e
