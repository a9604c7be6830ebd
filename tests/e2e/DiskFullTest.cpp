// A full disk, on a small tmpfs mapped as drive S: (tools/testenv/start.d): refused before the download
// when it has no room, and filled by another program while the new files are prepared.
#include "tests/e2e/E2eSupport.h"

namespace orvo::test::e2e {
namespace {

class DiskFull : public E2eTest {
 protected:
  void SetUp() override {
    if (E2eTest::SetUp(), IsSkipped()) return;
    if (const auto why = buildDirectory() + L"\\testenv\\small-disk.unavailable"; fileExists(why)) GTEST_SKIP() << readBytes(why);
    if (!directoryExists(L"S:\\")) GTEST_SKIP() << "drive S: (the small test disk) is not mapped; run tools/testenv/start.sh";
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr) && ::CreateDirectoryW(install.c_str(), nullptr));
  }
  void TearDown() override { removeTree(root); }
  // Writes a file that leaves `leave` bytes of the disk free.
  void fillDiskLeaving(std::uint64_t leave) {
    UniqueHandle file(::CreateFileW((root + L"\\filler.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::string chunk(1 << 20, 'f');
    ULARGE_INTEGER free{};
    for (DWORD written = 0; ::GetDiskFreeSpaceExW(L"S:\\", &free, nullptr, nullptr) && free.QuadPart > leave;) {
      const DWORD size = static_cast<DWORD>(std::min<std::uint64_t>(free.QuadPart - leave, chunk.size()));
      ASSERT_TRUE(::WriteFile(file.get(), chunk.data(), size, &written, nullptr) && written == size);
    }
  }
  // The installation on the small disk; the markers on the system drive, which never fills here.
  std::wstring root = L"S:\\e2e-" + std::to_wstring(::GetCurrentProcessId()), install = root + L"\\orvo game";
  std::wstring markers = temp / L"markers.txt";
};

TEST_F(DiskFull, ADiskWithoutRoomIsRefusedBeforeTheDownload) {
  fillDiskLeaving(100u << 20);
  PayloadServer server;
  const std::string refused = "failed: 安装磁盘可用空间不足，至少需要 768 MB\n";
  EXPECT_EQ(runInstaller(installerExecutable(), install, markers), std::make_pair(1ll, refused));
  EXPECT_EQ(server.requests(kPrimaryPath) + server.requests(kFallbackPath), 0) << "nothing was downloaded";
}

TEST_F(DiskFull, ADiskFilledWhilePreparingEndsTheUpgradeWithTheOldInstallationWhole) {
  writeBytes(install + L"\\OrvoQ9.exe", "an older platform program");
  writeBytes(install + L"\\user-notes.txt", "mine");
  const auto before = snapshotTree(install);
  // Past its free-space check, once its journal exists, another program takes all but 4 MiB.
  PausePoint pause;
  ChildProcess installer = ChildProcess::start(helperProgram(L"HookedInstallerGui"),
      L"--verify-install \"" + install + L"\" \"" + markers + L"\" --pause-at journal-created:0 " + pause.name);
  ASSERT_TRUE(pause.waitReached()) << "the upgrade never started preparing";
  fillDiskLeaving(4u << 20);
  ::SetEvent(pause.resume.get());
  ASSERT_EQ(installer.waitExit(std::chrono::seconds(240)), 1);
  // The rollback frees the unused staged copies first, so it completes and the note says so.
  const std::string run = readBytes(markers);
  EXPECT_EQ(run.rfind("download-ok\narchive-sha256-ok\nmanifest-all-files-ok\nfailed: ", 0), 0u) << run;
  EXPECT_EQ(run.substr(run.size() - std::min(run.size(), kRestoredNote.size())), kRestoredNote);
  EXPECT_EQ(snapshotTree(install), before) << "every file of the old installation is as it was";
  EXPECT_FALSE(transactionAreaIn(root));
}

}  // namespace
}  // namespace orvo::test::e2e
