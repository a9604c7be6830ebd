// The entry's failure roads through the hooked installer: what an unattended caller and the person at the
// screen get when the worker cannot start, or when the window fails while a worker runs.
#include <system_error>

#include "tests/e2e/E2eSupport.h"

namespace orvo::test::e2e {
namespace {

TEST(InstallerEntryFailure, AWorkerThatCannotStartEndsTheUnattendedRunWithItsFailureMarker) {
  const TempDir temp;
  // The bare message of the refusal: nothing had started that a note could describe.
  const std::string refusal = std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what();
  EXPECT_EQ(runInstaller(helperProgram(L"HookedInstallerGui"), temp / L"orvo game", temp / L"markers.txt", L"--refuse-worker-start"),
            std::make_pair(1ll, "failed: " + refusal + "\n"));
}

TEST(InstallerEntryFailure, AnErrorOfTheWindowIsShownWhileTheWorkerStillRuns) {
  const TempDir temp;
  PausePoint pause;
  PayloadServer server({{kPrimaryPath, "status=404"}, {kFallbackPath, "status=404"}});  // the worker ends soon after
  ChildProcess installer = ChildProcess::start(helperProgram(L"HookedInstallerGui"),
      L"--verify-install \"" + (temp / L"orvo game") + L"\" \"" + (temp / L"markers.txt") + L"\" --pause-at resource-written:103 " +
          pause.name + L" --fail-loop-once-busy 窗口消息循环出错");
  ASSERT_TRUE(pause.waitReached()) << "the worker never started";
  // The worker now waits for this test, so an entry that joins it before showing the error shows nothing.
  EXPECT_EQ(wideToUtf8(answerMessageBox(installer.id(), L"orvo game", IDOK, std::chrono::seconds(20))), "窗口消息循环出错");
  ::SetEvent(pause.resume.get());
  EXPECT_EQ(installer.waitExit(std::chrono::seconds(60)), 1) << "the entry ends with 1 once the worker is joined";
}

}  // namespace
}  // namespace orvo::test::e2e
