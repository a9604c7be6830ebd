// The entry's failure roads, driven from outside through the installer with
// test hooks: what an unattended caller and the person at the screen get when
// the worker cannot start, or when the window fails while a worker runs.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "common/ScopeExit.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "tests/support/TestSupport.h"

using namespace orvo::test;

namespace {

class InstallerEntryFailure : public TempDirTest {
 protected:
  std::wstring verifyArguments() const {
    return L"--verify-install \"" + (temp / L"orvo game") + L"\" \"" + markerFile() + L"\"";
  }
  std::wstring markerFile() const { return temp / L"markers.txt"; }
};

TEST_F(InstallerEntryFailure, AWorkerThatCannotStartEndsTheUnattendedRunWithItsFailureMarker) {
  const DWORD exitCode = runToExit(helperProgram(L"HookedInstallerGui"), verifyArguments() + L" --refuse-worker-start",
                                   std::chrono::seconds(90));
  EXPECT_EQ(exitCode, 1u);
  // The bare message of the refusal: nothing had started that a note could describe.
  const std::string refusal = std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what();
  ASSERT_FALSE(refusal.empty());
  ASSERT_TRUE(fileExists(markerFile())) << "the unattended caller was told nothing";
  EXPECT_EQ(readBytes(markerFile()), "failed: " + refusal + "\n");
}

TEST_F(InstallerEntryFailure, AnErrorOfTheWindowIsShownWhileTheWorkerStillRuns) {
  const std::wstring name = L"orvo-entry-failure-" + std::to_wstring(::GetCurrentProcessId());
  orvo::UniqueHandle reached(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-reached").c_str()));
  orvo::UniqueHandle resume(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-resume").c_str()));
  ASSERT_TRUE(reached && resume);
  const std::wstring failure = L"窗口消息循环出错";
  ChildProcess installer = ChildProcess::start(
      helperProgram(L"HookedInstallerGui"),
      verifyArguments() + L" --pause-at resource-written:103 " + name + L" --fail-at resource-written:103" +
          L" --fail-loop-once-busy \"" + failure + L"\"");
  // Whatever happens below, the worker is let go and the installer ended
  // (ChildProcess), so a failing case never waits for the worker's own timeout.
  const orvo::ScopeExit letWorkerGo([&resume] { ::SetEvent(resume.get()); });

  ASSERT_EQ(::WaitForSingleObject(reached.get(), 60000), WAIT_OBJECT_0) << "the worker never started";
  // The worker now waits for this test, so an entry that joins it before
  // showing the error shows nothing here.
  std::wstring shown;
  try {
    shown = answerMessageBox(installer.id(), L"orvo game", IDOK, std::chrono::seconds(20));
  } catch (const std::exception& error) {
    FAIL() << "the error was not shown while the worker ran: " << error.what();
  }
  EXPECT_EQ(orvo::wideToUtf8(shown), orvo::wideToUtf8(failure));

  ::SetEvent(resume.get());
  EXPECT_EQ(installer.waitExit(std::chrono::seconds(60)), 1) << "the entry ends with 1 once the worker is joined";
}

}  // namespace
