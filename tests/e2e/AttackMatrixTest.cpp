// The install road under attack by the desktop user it runs over: each row
// pauses the elevated installer at the moment an attacker's move matters, makes
// that move from another process of the same user, lets the installer go on,
// and checks that nothing outside the installer's own files was touched and
// that the run either completed or failed with a clear message.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "tests/e2e/E2eSupport.h"

using namespace orvo::test;
using namespace orvo::test::e2e;

namespace {

enum class Move {
  ReplaceExtractorPair,   // 7z.exe and 7z.dll: rename, delete, open for writing
  ReplaceArchive,         // platform.7z: the same
  SwapVerifiedDirectory,  // an extracted, verified directory becomes a link
  LinkInWorkDirectory,    // a link to the victim inside the work directory
  LinkInIdentityDirectory,
  LinkAsPlatformData,     // ".platform" in the install directory is a link to the victim
  ReplacePlatformProgram, // the installed OrvoQ9.exe becomes a program that leaves a trace when it runs
};

enum class Outcome {
  Completes,          // exit 0, every marker of a verification run
  FailsAndInstallsNothing,
  FailsOnlyAtRemoval, // installed and committed; the work directory with its link stays
  FailsAtConfiguration,
  FailsAtProgramCheck,  // the replaced program is refused before any run
};

struct AttackRow {
  const char* name;
  const wchar_t* pauseAt;
  Move move;
  Outcome outcome;
};

void PrintTo(const AttackRow& row, std::ostream* out) { *out << row.name; }

class AttackMatrix : public E2eTest, public ::testing::WithParamInterface<AttackRow> {
 protected:
  std::wstring victim() const { return temp / L"victim"; }
  std::wstring workDirectoryFile() const { return temp / L"work-directory.txt"; }

  // Every way another process could change a file the installer holds; each must fail.
  static void expectHeld(const std::wstring& path) {
    SCOPED_TRACE(orvo::wideToUtf8(path));
    ASSERT_TRUE(fileExists(path));
    EXPECT_FALSE(::MoveFileExW(path.c_str(), (path + L".moved").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(::DeleteFileW(path.c_str()));
    orvo::UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer.valid());
    EXPECT_TRUE(fileExists(path));
  }

  // Where the replacement program, had it started, logs its runs.
  std::wstring replacementTrace() const { return installDirectory() + L"\\system-platform-runs.txt"; }

  void attack(Move move, const std::wstring& work) {
    switch (move) {
      case Move::ReplaceExtractorPair:
        expectHeld(work + L"\\7z.exe");
        expectHeld(work + L"\\7z.dll");
        break;
      case Move::ReplaceArchive:
        expectHeld(work + L"\\platform.7z");
        break;
      case Move::SwapVerifiedDirectory:
        ASSERT_TRUE(::MoveFileW((work + L"\\platform\\q9").c_str(), (work + L"\\platform\\q9-elsewhere").c_str()));
        makeDirectoryLink(work + L"\\platform\\q9", work + L"\\platform\\q9-elsewhere");
        links_.push_back(work + L"\\platform\\q9");
        break;
      case Move::LinkInWorkDirectory:
        makeDirectoryLink(work + L"\\planted", victim());
        links_.push_back(work + L"\\planted");
        break;
      case Move::LinkInIdentityDirectory:
        makeDirectoryLink(work + L"\\q9-install-identity\\planted", victim());
        links_.push_back(work + L"\\q9-install-identity\\planted");
        break;
      case Move::LinkAsPlatformData:
        makeDirectoryLink(installDirectory() + L"\\.platform", victim());
        links_.push_back(installDirectory() + L"\\.platform");
        break;
      case Move::ReplacePlatformProgram: {
        const std::wstring program = installDirectory() + L"\\OrvoQ9.exe";
        ASSERT_TRUE(::CopyFileW(helperProgram(L"SystemPlatform").c_str(), (program + L".new").c_str(), FALSE));
        ASSERT_TRUE(::MoveFileExW((program + L".new").c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING));
        break;
      }
    }
  }

  void TearDown() override {
    for (const auto& link : links_) removeDirectoryLink(link);
    if (!work_.empty()) removeTree(work_);
  }

  std::vector<std::wstring> links_;
  std::wstring work_;
};

std::string failureOf(const InstallerRun& run) {
  const std::size_t at = run.markers.find("failed: ");
  return at == std::string::npos ? std::string() : run.markers.substr(at + 8);
}

TEST_P(AttackMatrix, LeavesEverythingOutsideTheInstallersOwnFilesUntouched) {
  AttackRow row = GetParam();
  // Where links are junctions, the removal takes the link itself and the run completes.
  if (row.outcome == Outcome::FailsOnlyAtRemoval && platformHasJunctions()) row.outcome = Outcome::Completes;
  ::CreateDirectoryW(victim().c_str(), nullptr);
  writeBytes(victim() + L"\\precious.txt", "the user's own file");

  const std::wstring name = L"orvo-e2e-attack-" + std::to_wstring(::GetCurrentProcessId());
  orvo::UniqueHandle reached(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-reached").c_str()));
  orvo::UniqueHandle resume(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-resume").c_str()));
  ChildProcess installer = ChildProcess::start(
      helperProgram(L"HookedInstallerGui"), L"--verify-install \"" + installDirectory() + L"\" \"" + markerFile() +
                                                L"\" --pause-at " + row.pauseAt + L" " + name +
                                                L" --work-directory-file \"" + workDirectoryFile() + L"\"");
  ASSERT_EQ(::WaitForSingleObject(reached.get(), 240000), WAIT_OBJECT_0) << "the installer never reached the point";
  work_ = orvo::utf8ToWide(readBytes(workDirectoryFile()));
  ASSERT_FALSE(work_.empty());
  attack(row.move, work_);
  ::SetEvent(resume.get());
  ASSERT_EQ(installer.waitExit(std::chrono::seconds(240)), row.outcome == Outcome::Completes ? 0 : 1);
  const InstallerRun run{0, fileExists(markerFile()) ? readBytes(markerFile()) : std::string(), {}};

  EXPECT_EQ(readBytes(victim() + L"\\precious.txt"), "the user's own file");
  EXPECT_EQ(namesMatching(victim(), L"*").size(), 3u) << "only '.', '..' and the user's file";
  const std::wstring program = installDirectory() + L"\\OrvoQ9.exe";
  switch (row.outcome) {
    case Outcome::Completes: {
      std::string expected;
      for (const auto& marker : kVerifyRunMarkers) expected += marker + "\n";
      EXPECT_EQ(run.markers, expected);
      EXPECT_FALSE(directoryExists(work_)) << "the work directory was removed";
      break;
    }
    case Outcome::FailsAndInstallsNothing:
      EXPECT_EQ(failureOf(run).rfind("Transaction refuses reparse paths", 0), 0u) << run.markers;
      EXPECT_FALSE(fileExists(program));
      break;
    case Outcome::FailsOnlyAtRemoval:
      // Where the platform cannot remove the link without touching its
      // target, the link and the directories above it stay and the run says so.
      EXPECT_NE(run.markers.find("install-files-committed\n"), std::string::npos) << run.markers;
      EXPECT_EQ(failureOf(run).rfind("remove_all: ", 0), 0u) << run.markers;
      EXPECT_TRUE(fileExists(program));
      break;
    case Outcome::FailsAtConfiguration:
      EXPECT_EQ(failureOf(run).rfind("配置平台数据目录失败", 0), 0u) << run.markers;
      EXPECT_FALSE(fileExists(program)) << "the files were rolled back";
      break;
    case Outcome::FailsAtProgramCheck:
      EXPECT_EQ(failureOf(run).rfind("平台文件校验失败：OrvoQ9.exe\n", 0), 0u) << run.markers;
      EXPECT_EQ(run.markers.find("platform-configured"), std::string::npos) << run.markers;
      break;
  }
  EXPECT_FALSE(fileExists(replacementTrace())) << "a program the installer did not install ran";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AttackMatrix,
    ::testing::Values(
        AttackRow{"ExtractorPairChangedBeforeItRuns", L"resource-written:104", Move::ReplaceExtractorPair,
                  Outcome::Completes},
        AttackRow{"ArchiveChangedBetweenDigestAndExtraction", L"before-extract:0", Move::ReplaceArchive,
                  Outcome::Completes},
        AttackRow{"VerifiedDirectorySwappedForALink", L"payload-verified:0", Move::SwapVerifiedDirectory,
                  Outcome::FailsAndInstallsNothing},
        AttackRow{"LinkPlantedInTheWorkDirectory", L"install-user-recorded:0", Move::LinkInWorkDirectory,
                  Outcome::FailsOnlyAtRemoval},
        AttackRow{"LinkPlantedInTheIdentityDirectory", L"install-user-recorded:0", Move::LinkInIdentityDirectory,
                  Outcome::FailsOnlyAtRemoval},
        AttackRow{"PlatformDataDirectoryIsALink", L"install-user-recorded:0", Move::LinkAsPlatformData,
                  Outcome::FailsAtConfiguration},
        AttackRow{"PlatformProgramReplacedBeforeItsRuns", L"applied:0", Move::ReplacePlatformProgram,
                  Outcome::FailsAtProgramCheck}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
