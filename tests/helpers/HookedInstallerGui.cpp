// The installer with hooks for tests that act at an exact journal write of its file transaction or an exact
// step of its pipeline, a point being <event>:<index> (a manifest entry's index or a resource id, else 0):
//   --crash-at <point>           ends the process there without any clean-up, as a power cut would (exit 77)
//   --pause-at <point> <name>    signals the event "<name>-reached", then waits (two minutes at most) for "<name>-resume"
//   --temp-folder <path>         the temporary folder, where the run makes its one work directory
//   --refuse-worker-start        no thread can be created for the install worker
//   --fail-loop-once-busy <text> the message loop fails with <text> once an install has started its worker
// Transaction events: journal-created, prepared-file, prepared, before-replace, after-replace, applied, committed.
// Pipeline events: resource-written (103 7z.exe, 104 7z.dll), before-extract, payload-verified,
// platform-program-ran (0: after the run that records the install user).
#include <algorithm>
#include <system_error>

#include "app/InstallStatus.h"
#include "app/InstallerEntrySeam.h"
#include "app/InstallerWindow.h"
#include "app/PipelineStepsSeam.h"
#include "app/WorkerThreadSeam.h"
#include "common/Utf.h"

namespace {

using namespace orvo;

std::vector<std::wstring> arguments;

std::wstring option(const wchar_t* name, std::size_t index = 1) {
  const std::size_t at = std::find(arguments.begin(), arguments.end(), name) - arguments.begin() + index;
  return at < arguments.size() ? arguments[at] : L"";
}

void event(const char* label, std::uint64_t index) {
  const std::wstring point = utf8ToWide(label) + L":" + std::to_wstring(index);
  if (option(L"--crash-at") == point) ::TerminateProcess(::GetCurrentProcess(), 77);
  if (option(L"--pause-at") != point) return;
  UniqueHandle reached(::CreateEventW(nullptr, TRUE, FALSE, (option(L"--pause-at", 2) + L"-reached").c_str()));
  UniqueHandle resume(::CreateEventW(nullptr, TRUE, FALSE, (option(L"--pause-at", 2) + L"-resume").c_str()));
  ::SetEvent(reached.get());
  ::WaitForSingleObject(resume.get(), 120000);
}

int loopFailingOnceBusy(InstallerWindow& window) {
  window.rethrowPendingError();
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    window.processMessage(message);
    if (installStatus().installBusy.load()) throw std::runtime_error(wideToUtf8(option(L"--fail-loop-once-busy")));
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  arguments = commandLineArguments();
  const auto refused = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  if (!option(L"--refuse-worker-start", 0).empty()) replaceWorkerThreadStart(refused);
  if (!option(L"--fail-loop-once-busy").empty()) replaceMessageLoop(&loopFailingOnceBusy);
  const std::wstring temp = option(L"--temp-folder");
  if (!temp.empty()) ::SetEnvironmentVariableW(L"TMP", temp.c_str());
  const auto steps = makeObservedPipelineSteps(&event);
  return runInstallerProcess(instance, *steps);
}
