// The elevated install under attack by the desktop user it runs over: each row pauses the installer where
// a move matters, makes the move from another process, lets it go on, and checks that nothing outside the
// installer's own files was touched and how the run ended.
#include <cstring>
#include <functional>

#include "system/RunningPrograms.h"
#include "tests/e2e/E2eSupport.h"

namespace orvo::test::e2e {
namespace {

struct Places {
  std::wstring work, install, victim;
  std::vector<std::wstring>& links;
  void link(const std::wstring& from, const std::wstring& to) const { makeDirectoryLink(from, to), links.push_back(from); }
};

// Every way another process could change a file the installer holds fails.
void held(const std::wstring& path) {
  SCOPED_TRACE(wideToUtf8(path));
  EXPECT_FALSE(::MoveFileExW(path.c_str(), (path + L".moved").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(::DeleteFileW(path.c_str()));
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  EXPECT_FALSE(UniqueHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr)));
  EXPECT_TRUE(fileExists(path));
}

struct Attack {
  const char* name;
  const wchar_t* pauseAt;
  std::function<void(const Places&)> move;
  const char* failure;  // how the failure marker starts; nullptr: the move found the files held, and the run ends there
  int programAfter;     // OrvoQ9.exe installed afterwards: 1, 0, or -1 for either
};

class AttackMatrix : public E2eTest, public ::testing::WithParamInterface<Attack> {
 protected:
  void TearDown() override {
    for (const auto& link : links) removeDirectoryLink(link);
    if (!work.empty()) removeTree(work);
  }
  std::vector<std::wstring> links;
  std::wstring work;
};

TEST_P(AttackMatrix, TouchesNothingOutsideTheInstallersOwnFiles) {
  const Attack& row = GetParam();
  const std::wstring victim = temp / L"victim", install = temp / L"orvo game", markers = temp / L"markers.txt";
  ::CreateDirectoryW(victim.c_str(), nullptr), ::CreateDirectoryW((temp / L"tmp").c_str(), nullptr);
  writeBytes(victim + L"\\precious.txt", "the user's own file");
  PausePoint pause;
  ChildProcess installer = ChildProcess::start(helperProgram(L"HookedInstallerGui"),
      L"--verify-install \"" + install + L"\" \"" + markers + L"\" --pause-at " + row.pauseAt + L" " + pause.name +
          L" --temp-folder \"" + (temp / L"tmp") + L"\"");
  ASSERT_TRUE(pause.waitReached()) << "the installer never reached the point";
  row.move(Places{work = entryIn(temp / L"tmp", L"orvo-install-*"), install, victim, links});
  if (row.failure == nullptr) return installer.terminate();
  ::SetEvent(pause.resume.get());
  ASSERT_EQ(installer.waitExit(std::chrono::seconds(240)), 1);
  const std::string run = readBytes(markers);
  EXPECT_EQ(run.substr(run.find("failed: ") + 8, std::strlen(row.failure)), row.failure);
  if (row.programAfter >= 0) { EXPECT_EQ(fileExists(install + L"\\OrvoQ9.exe"), row.programAfter == 1) << run; }
  EXPECT_EQ(snapshotTree(victim).size(), 1u) << "only the user's file";
  EXPECT_EQ(readBytes(victim + L"\\precious.txt"), "the user's own file");
  EXPECT_FALSE(isPlatformRunningIn(install)) << "a program the installer did not install runs";
}

const auto plant = [](const wchar_t* where) { return [where](const Places& p) { p.link(p.work + where, p.victim); }; };

INSTANTIATE_TEST_SUITE_P(Rows, AttackMatrix, ::testing::Values(
    Attack{"ExtractorPairChangedBeforeItRuns", L"resource-written:104",
           [](const Places& p) { held(p.work + L"\\7z.exe"), held(p.work + L"\\7z.dll"); }, nullptr, 0},
    Attack{"ArchiveChangedBetweenDigestAndExtraction", L"before-extract:0", [](const Places& p) { held(p.work + L"\\platform.7z"); },
           nullptr, 0},
    Attack{"VerifiedDirectorySwappedForALink", L"payload-verified:0", [](const Places& p) {
             ASSERT_TRUE(::MoveFileW((p.work + L"\\platform\\q9").c_str(), (p.work + L"\\platform\\q9-elsewhere").c_str()));
             p.link(p.work + L"\\platform\\q9", p.work + L"\\platform\\q9-elsewhere");
           }, "Transaction refuses reparse paths", 0},
    // The host's link cannot be removed without touching its target: it stays, and the run says so.
    Attack{"LinkPlantedInTheWorkDirectory", L"platform-program-ran:0", plant(L"\\planted"), "remove_all: ", 1},
    Attack{"LinkPlantedInTheIdentityDirectory", L"platform-program-ran:0", plant(L"\\q9-install-identity\\planted"),
           "remove_all: ", 1},
    Attack{"PlatformDataDirectoryIsALink", L"platform-program-ran:0",
           [](const Places& p) { p.link(p.install + L"\\.platform", p.victim); }, "配置平台数据目录失败", 0},
    Attack{"PlatformProgramReplacedBeforeItRuns", L"applied:0", [](const Places& p) {
             const std::wstring program = p.install + L"\\OrvoQ9.exe", copy = p.install + L"\\OrvoQ9.new";
             ASSERT_TRUE(::CopyFileW(helperProgram(L"SystemSleeper").c_str(), copy.c_str(), FALSE));
             ASSERT_TRUE(::MoveFileExW(copy.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING));
           }, "平台文件校验失败：OrvoQ9.exe\n", -1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvo::test::e2e
