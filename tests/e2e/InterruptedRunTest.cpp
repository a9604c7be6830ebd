// An earlier run killed at one of its journal writes leaves the transaction
// area in that state; the next run of the installer recovers it before it
// installs. The earlier run is the installer with a crash point (a helper that
// ends its own process at the chosen event, without any clean-up).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>

#include "common/PathText.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "tests/e2e/E2eSupport.h"

using namespace orvo::test;
using namespace orvo::test::e2e;

namespace {

constexpr long long CrashedAtEvent = 77;

struct CrashPoint {
  const wchar_t* event;
  std::uint64_t stateLeft;  // the journal state the area is left in
  const char* name;
  // The crashed run's clean-up had gone on to delete every file but the
  // lease, the journal included, when it stopped.
  bool cleanupStoppedAtTheLease = false;
};

std::wstring tempFolder() {
  wchar_t path[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, path);
  return path;
}

void PrintTo(const CrashPoint& point, std::ostream* out) { *out << point.name; }

class InterruptedRun : public E2eTest, public ::testing::WithParamInterface<CrashPoint> {
 protected:
  // An older installation: a program file of another version, a file of the
  // user's own and the installation marker it was made with.
  void writeOlderInstallation() {
    std::filesystem::create_directories(installDirectory());
    writeBytes(installDirectory() + L"\\OrvoQ9.exe", "an older platform program");
    writeBytes(installDirectory() + L"\\user-notes.txt", "mine");
    writeBytes(installDirectory() + L"\\platform-installation.json", kOlderMarker);
  }

  // The installer with the crash point, run until it kills itself. The work
  // directory it leaves in the temp folder is removed, as a reboot's disk
  // clean-up would; the transaction area is what the test is about.
  long long crashAt(const std::wstring& event) {
    const std::set<std::wstring> before = namesMatching(tempFolder(), L"orvo-install-*");
    ChildProcess crashing = ChildProcess::start(helperProgram(L"HookedInstallerGui"),
                                                L"--verify-install \"" + installDirectory() + L"\" \"" +
                                                    markerFile() + L"\" --crash-at " + event);
    const long long code = crashing.waitExit(std::chrono::seconds(240));
    if (code < 0) crashing.terminate();
    for (const std::wstring& name : namesMatching(tempFolder(), L"orvo-install-*")) {
      if (!before.count(name)) removeTree(orvo::joinPath(tempFolder(), name));
    }
    ::DeleteFileW(markerFile().c_str());
    return code;
  }

  // The state recorded in the area's journal: after the magic and the root
  // (each a little-endian u64 count of UTF-16 units, then the units) comes the
  // state as a little-endian u64.
  std::uint64_t journalStateLeft() const {
    const std::set<std::wstring> areas = namesMatching(temp.path(), L".orvo-file-txn-*");
    if (areas.size() != 1) throw std::runtime_error("expected one transaction area");
    const std::string bytes = readBytes(temp / (*areas.begin() + L"\\journal.bin"));
    std::size_t offset = 0;
    const auto u64 = [&] {
      if (offset + 8 > bytes.size()) throw std::runtime_error("journal too short");
      std::uint64_t value = 0;
      for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
      offset += 8;
      return value;
    };
    offset += 2 * u64();  // magic
    offset += 2 * u64();  // root
    return u64();
  }

  bool areaLeft() const { return !namesMatching(temp.path(), L".orvo-file-txn-*").empty(); }

  // What a clean-up leaves when it stops right before its last file.
  void deleteAllButTheLease() const {
    const std::wstring area = temp / *namesMatching(temp.path(), L".orvo-file-txn-*").begin();
    for (const std::wstring& name : namesMatching(area, L"*")) {
      if (name == L"lease.lock" || name == L"." || name == L"..") continue;
      ASSERT_TRUE(::DeleteFileW(orvo::joinPath(area, name).c_str())) << orvo::wideToUtf8(name);
    }
  }

  static constexpr char kOlderMarker[] = "{\r\n  \"Product\" : \"q9-platform-202\",\r\n  \"Revision\": 7\r\n}";
};

TEST_P(InterruptedRun, TheNextRunRecoversTheAreaAndInstalls) {
  writeOlderInstallation();
  ASSERT_EQ(crashAt(GetParam().event), CrashedAtEvent) << "the run did not reach its crash point";
  ASSERT_TRUE(areaLeft());
  EXPECT_EQ(journalStateLeft(), GetParam().stateLeft);
  if (GetParam().cleanupStoppedAtTheLease) deleteAllButTheLease();

  const InstallerRun run = verifyInstall(installDirectory(), markerFile());
  EXPECT_EQ(run.exitCode, 0) << run.markers;
  EXPECT_EQ(run.markerLines, kVerifyRunMarkers);
  for (const auto& line : shippedManifest()) {
    EXPECT_EQ(orvo::sha256File(orvo::joinPath(installDirectory(), line.path)), line.sha256)
        << orvo::wideToUtf8(line.path);
  }
  EXPECT_EQ(readBytes(installDirectory() + L"\\user-notes.txt"), "mine");
  EXPECT_EQ(readBytes(installDirectory() + L"\\platform-installation.json"), kOlderMarker);
  EXPECT_FALSE(areaLeft());
}

// One crash point per journal state, with the partly done ones in the middle
// of the file list (the manifest has 14 entries).
INSTANTIATE_TEST_SUITE_P(
    JournalWrites, InterruptedRun,
    ::testing::Values(CrashPoint{L"journal-created:0", 1, "JournalCreated"},
                      CrashPoint{L"prepared-file:6", 1, "HalfPrepared"}, CrashPoint{L"prepared:0", 2, "Prepared"},
                      CrashPoint{L"before-replace:0", 3, "ApplyStarted"},
                      CrashPoint{L"after-replace:6", 3, "HalfApplied"}, CrashPoint{L"applied:0", 4, "Applied"},
                      CrashPoint{L"committed:0", 5, "Committed"},
                      CrashPoint{L"committed:0", 5, "CleanupStoppedAtTheLease", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
