// A disk that fills up: the installer refuses a disk without room before it
// downloads, and a disk that another program fills while the installer
// prepares the new files ends the run cleanly with the old installation whole.
// The disk is a small tmpfs mapped as drive S: (tools/testenv/start.d).
#include <windows.h>

#include <gtest/gtest.h>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "tests/e2e/E2eSupport.h"

using namespace orvo::test;
using namespace orvo::test::e2e;

namespace {

constexpr wchar_t kSmallDisk[] = L"S:\\";

std::string smallDiskUnavailable() {
  const std::wstring reason = orvo::joinPath(buildDirectory(), L"testenv\\small-disk.unavailable");
  if (fileExists(reason)) return readBytes(reason);
  if (!directoryExists(kSmallDisk)) return "drive S: (the small test disk) is not mapped; run tools/testenv/start.sh";
  return {};
}

std::uint64_t freeBytes() {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(kSmallDisk, &available, nullptr, nullptr)) throw std::runtime_error("no free space figure");
  return available.QuadPart;
}

// Writes a file that leaves `leave` bytes of the disk free.
void fillDiskLeaving(const std::wstring& path, std::uint64_t leave) {
  orvo::UniqueHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("cannot create the filler");
  const std::string chunk(1 << 20, 'f');
  const std::uint64_t free = freeBytes();
  std::uint64_t remaining = free > leave ? free - leave : 0;
  while (remaining > 0) {
    const DWORD size = static_cast<DWORD>(std::min<std::uint64_t>(remaining, chunk.size()));
    DWORD written = 0;
    if (!::WriteFile(file.get(), chunk.data(), size, &written, nullptr) || written != size) {
      throw std::runtime_error("cannot write the filler");
    }
    remaining -= size;
  }
}

// The installation on the small disk; the markers on the system drive, which
// never fills here.
class DiskFull : public TempDirTest {
 protected:
  void SetUp() override {
    std::string why = payloadServerUnavailable();
    if (why.empty()) why = smallDiskUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    GUID guid{};
    ::CoCreateGuid(&guid);
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    root_ = std::wstring(kSmallDisk) + L"e2e-" + std::wstring(text).substr(1, 8);
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
  }
  void TearDown() override {
    if (!root_.empty()) removeTree(root_);
  }

  std::wstring installDirectory() const { return root_ + L"\\orvo game"; }
  std::wstring filler() const { return root_ + L"\\filler.bin"; }
  std::wstring markerFile() const { return temp / L"markers.txt"; }

  std::wstring root_;
};

TEST_F(DiskFull, ADiskWithoutRoomIsRefusedBeforeTheDownload) {
  fillDiskLeaving(filler(), 100u << 20);
  const PayloadRequests requests;
  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.markers, "failed: 安装磁盘可用空间不足，至少需要 768 MB\n");
  EXPECT_EQ(requests.count(), 0) << "nothing was downloaded";
  EXPECT_FALSE(directoryExists(installDirectory()));
}

TEST_F(DiskFull, ADiskFilledWhilePreparingEndsTheUpgradeWithTheOldInstallationWhole) {
  ASSERT_EQ(verifyInstall(installDirectory(), markerFile()).exitCode, 0);
  writeBytes(installDirectory() + L"\\OrvoQ9.exe", "an older platform program");
  writeBytes(installDirectory() + L"\\user-notes.txt", "mine");
  ::DeleteFileW(markerFile().c_str());
  const auto before = snapshotTree(installDirectory());

  // The upgrade passes its free-space check; once its journal exists, another
  // program takes all but 4 MiB, less than the new files need.
  const std::wstring name = L"orvo-e2e-disk-full-" + std::to_wstring(::GetCurrentProcessId());
  orvo::UniqueHandle reached(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-reached").c_str()));
  orvo::UniqueHandle resume(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-resume").c_str()));
  ChildProcess installer = ChildProcess::start(helperProgram(L"HookedInstallerGui"),
                                               L"--verify-install \"" + installDirectory() + L"\" \"" + markerFile() +
                                                   L"\" --pause-at journal-created:0 " + name);
  ASSERT_EQ(::WaitForSingleObject(reached.get(), 240000), WAIT_OBJECT_0) << "the upgrade never started preparing";
  fillDiskLeaving(filler(), 4u << 20);
  ::SetEvent(resume.get());
  ASSERT_EQ(installer.waitExit(std::chrono::seconds(240)), 1);

  const std::string markers = readBytes(markerFile());
  EXPECT_EQ(markers.substr(0, markers.find("failed: ")), "download-ok\narchive-sha256-ok\nmanifest-all-files-ok\n");
  // The rollback completes (it frees the unused staged copies first), so the
  // note says the files are restored rather than that a recovery is pending.
  const std::string restored = "\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。\n";
  ASSERT_GE(markers.size(), restored.size());
  EXPECT_EQ(markers.substr(markers.size() - restored.size()), restored) << markers;
  ::DeleteFileW(filler().c_str());
  EXPECT_EQ(snapshotTree(installDirectory()), before) << "every file of the old installation is as it was";
  EXPECT_TRUE(namesMatching(root_, L".orvo-file-txn-*").empty()) << "the transaction area was rolled back and removed";
}

}  // namespace
