// The installer with hooks for tests that act at an exact journal write of its file transaction or an exact
// step of its pipeline, a point being <event>:<index> (a manifest entry's index or a resource id, else 0):
//   --crash-at <point>           ends the process there without any clean-up, as a power cut would (exit 77)
//   --pause-at <point> <name>    signals the event "<name>-reached", then waits (two minutes at most) for "<name>-resume"
//   --work-directory-file <path> the run's work directory is written there (UTF-8) as soon as it is known
//   --refuse-worker-start        no thread can be created for the install worker
//   --fail-loop-once-busy <text> the message loop fails with <text> once an install has started its worker
// Transaction events: journal-created, prepared-file, prepared, before-replace, after-replace, applied, committed.
// Pipeline events: resource-written (103 7z.exe, 104 7z.dll), before-extract, payload-verified, install-user-recorded.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/InstallStatus.h"
#include "app/InstallerEntrySeam.h"
#include "app/InstallerWindow.h"
#include "app/PipelineSteps.h"
#include "app/WorkerThreadSeam.h"
#include "common/Utf.h"

namespace {

using namespace orvo;
using Cancel = std::function<void()>;

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

// The real steps, with events where an attacker would race them.
class HookedSteps final : public PipelineSteps {
  std::unique_ptr<PipelineSteps> real = makeRealPipelineSteps(&event);
  using Report = ProgressReport;
  using Progress = std::function<void(std::uint64_t)>;
  using Entries = std::vector<TransactionEntry>;
  using Manifest = std::vector<ManifestEntry>;
  using W = std::wstring;

 public:
  void validateInstallDirectory(const W& directory) override { real->validateInstallDirectory(directory); }
  void checkNoLinks(const W& path) override { real->checkNoLinks(path); }
  bool isGameRunningUnder(const W& directory) override { return real->isGameRunningUnder(directory); }
  bool isPlatformRunningIn(const W& directory) override { return real->isPlatformRunningIn(directory); }
  UniqueHandle writeEmbeddedResource(int id, const W& target) override {
    UniqueHandle held = real->writeEmbeddedResource(id, target);
    const W file = option(L"--work-directory-file");
    if (!file.empty()) std::ofstream(std::filesystem::path(file)) << wideToUtf8(target.substr(0, target.rfind(L'\\')));
    event("resource-written", id);
    return held;
  }
  void downloadPayload(const W& url, const W& to, const Report& r, const Cancel& c) override { real->downloadPayload(url, to, r, c); }
  W sha256File(HANDLE file, const Progress& progress, const Cancel& c) override { return real->sha256File(file, progress, c); }
  void extractArchive(const W& extractor, HANDLE exe, HANDLE dll, const W& archive, const W& to, const Report& report) override {
    event("before-extract", 0);
    real->extractArchive(extractor, exe, dll, archive, to, report);
  }
  Manifest verifyPayloadFiles(const W& directory, const Report& report, const Cancel& cancel) override {
    Manifest manifest = real->verifyPayloadFiles(directory, report, cancel);
    event("payload-verified", 0);
    return manifest;
  }
  Cancel prepareMarker(const W& from, const W& to, Entries& entries) override { return real->prepareMarker(from, to, entries); }
  std::unique_ptr<PipelineTransaction> createTransaction(const W& to, const Entries& entries, const Cancel& c) override {
    return real->createTransaction(to, entries, c);
  }
  HANDLE getDesktopUserToken() override { return real->getDesktopUserToken(); }
  std::unique_ptr<PipelineMigration> createMigration(const W& to, HANDLE token) override { return real->createMigration(to, token); }
  W tokenUserSid(HANDLE token) override { return real->tokenUserSid(token); }
  void grantDirectoryAccess(const W& to, const W& sid, DWORD mask) override { real->grantDirectoryAccess(to, sid, mask); }
  DWORD runPlatformProgram(const W& program, const ManifestEntry& expected, const W& arguments, const W& workingDirectory,
                           bool wait, HANDLE token, const W& label) override {
    const DWORD id = real->runPlatformProgram(program, expected, arguments, workingDirectory, wait, token, label);
    if (arguments.rfind(L"--record-install-user ", 0) == 0) event("install-user-recorded", 0);
    return id;
  }
  void registerInstallation(const W& to, HANDLE user, const Manifest& m) override { real->registerInstallation(to, user, m); }
};

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
  HookedSteps steps;
  return runInstallerProcess(instance, steps);
}
