// The installer itself, with one addition for tests that must act at an exact
// journal write of its file transaction or at an exact step of the pipeline:
//
//   --crash-at <event>:<index>
//       ends the process without any clean-up right after that event, the way
//       a power cut or a forced end would stop a real run (exit code 77);
//   --pause-at <event>:<index> <name>
//       after that event, signals the named event "<name>-reached" and waits
//       (at most two minutes) until the test signals "<name>-resume";
//   --fail-at <event>:<index>
//       after that pipeline event (and after a pause there), the step fails with
//       "stopped at <event>";
//   --work-directory-file <path>
//       writes the run's work directory (UTF-8) into <path> as soon as it is known;
//   --refuse-worker-start
//       the system refuses the install worker's thread, as std::thread reports
//       it when no thread can be created;
//   --fail-loop-once-busy <text>
//       the entry's message loop fails with <text> as soon as an install has
//       started its worker.
//
// Transaction events: journal-created, prepared-file, prepared, before-replace,
// after-replace, applied, committed; the index is the manifest entry's, else 0.
// Pipeline events (index 0 unless named): resource-written:<resource id>
// (after 7z.exe, 103, or 7z.dll, 104, was written), before-extract,
// payload-verified, install-user-recorded (after the desktop user's record
// run), before-register.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "app/InstallStatus.h"
#include "app/InstallerEntry.h"
#include "app/InstallerWindow.h"
#include "app/PipelineSteps.h"
#include "app/WorkerThread.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"

namespace {

constexpr UINT CrashedAtEvent = 77;

struct EventPoint {
  std::string label;
  std::uint64_t index = 0;
  bool matches(const char* eventLabel, std::uint64_t eventIndex) const {
    return !label.empty() && label == eventLabel && index == eventIndex;
  }
};

EventPoint parsePoint(const std::wstring& text) {
  const std::string value = orvo::wideToUtf8(text);
  const std::size_t colon = value.find(':');
  if (colon == std::string::npos) return EventPoint{value, 0};
  return EventPoint{value.substr(0, colon), std::stoull(value.substr(colon + 1))};
}

struct Hooks {
  EventPoint crashAt;
  EventPoint pauseAt;
  std::wstring pauseName;
  EventPoint failAt;
  std::wstring workDirectoryFile;
  bool refuseWorkerStart = false;
  bool failLoopOnceBusy = false;
};

// The error of --fail-loop-once-busy (UTF-8), for the loop below.
std::string loopFailure;

Hooks hooksFromCommandLine() {
  const std::vector<std::wstring> arguments = orvo::commandLineArguments();
  Hooks hooks;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == L"--crash-at" && i + 1 < arguments.size()) hooks.crashAt = parsePoint(arguments[i + 1]);
    if (arguments[i] == L"--pause-at" && i + 2 < arguments.size()) {
      hooks.pauseAt = parsePoint(arguments[i + 1]);
      hooks.pauseName = arguments[i + 2];
    }
    if (arguments[i] == L"--fail-at" && i + 1 < arguments.size()) hooks.failAt = parsePoint(arguments[i + 1]);
    if (arguments[i] == L"--work-directory-file" && i + 1 < arguments.size()) hooks.workDirectoryFile = arguments[i + 1];
    if (arguments[i] == L"--refuse-worker-start") hooks.refuseWorkerStart = true;
    if (arguments[i] == L"--fail-loop-once-busy" && i + 1 < arguments.size()) {
      hooks.failLoopOnceBusy = true;
      loopFailure = orvo::wideToUtf8(arguments[i + 1]);
    }
  }
  return hooks;
}

void pause(const std::wstring& name) {
  orvo::UniqueHandle reached(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-reached").c_str()));
  orvo::UniqueHandle resume(::CreateEventW(nullptr, TRUE, FALSE, (name + L"-resume").c_str()));
  if (!reached || !resume) return;
  ::SetEvent(reached.get());
  ::WaitForSingleObject(resume.get(), 120000);
}

std::thread refusedWorkerStart(std::function<void()>) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

// The window's own loop, ended by an error once a worker has been started.
int loopFailingOnceBusy(orvo::InstallerWindow& window) {
  window.rethrowPendingError();
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    window.processMessage(message);
    if (orvo::installStatus().installBusy.load()) throw std::runtime_error(loopFailure);
  }
  return static_cast<int>(message.wParam);
}

// The real steps, with an event before or after the ones an attacker would race.
class HookedSteps final : public orvo::PipelineSteps {
 public:
  using Event = std::function<void(const char*, std::uint64_t)>;
  HookedSteps(std::unique_ptr<orvo::PipelineSteps> real, Event event, std::wstring workDirectoryFile)
      : real_(std::move(real)), event_(std::move(event)), workDirectoryFile_(std::move(workDirectoryFile)) {}

  void validateInstallDirectory(const std::wstring& directory) override { real_->validateInstallDirectory(directory); }
  void checkNoLinks(const std::wstring& path) override { real_->checkNoLinks(path); }
  bool isGameRunningUnder(const std::wstring& directory) override { return real_->isGameRunningUnder(directory); }
  bool isPlatformRunningIn(const std::wstring& directory) override { return real_->isPlatformRunningIn(directory); }
  orvo::UniqueHandle writeEmbeddedResource(int id, const std::wstring& target) override {
    orvo::UniqueHandle held = real_->writeEmbeddedResource(id, target);
    if (!workDirectoryFile_.empty()) {
      const std::string text = orvo::wideToUtf8(target.substr(0, target.find_last_of(L'\\')));
      orvo::UniqueHandle file(::CreateFileW(workDirectoryFile_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            CREATE_ALWAYS, 0, nullptr));
      DWORD written = 0;
      if (file) ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    event_("resource-written", static_cast<std::uint64_t>(id));
    return held;
  }
  void downloadPayload(const std::wstring& url, const std::wstring& target, const orvo::ProgressReport& report,
                       const std::function<void()>& checkCancelled) override {
    real_->downloadPayload(url, target, report, checkCancelled);
  }
  std::wstring sha256File(HANDLE file, const std::function<void(std::uint64_t)>& progress,
                          const std::function<void()>& checkCancelled) override {
    return real_->sha256File(file, progress, checkCancelled);
  }
  void extractArchive(const std::wstring& extractor, HANDLE extractorFile, HANDLE libraryFile,
                      const std::wstring& archive, const std::wstring& directory,
                      const orvo::ProgressReport& report) override {
    event_("before-extract", 0);
    real_->extractArchive(extractor, extractorFile, libraryFile, archive, directory, report);
  }
  std::vector<orvo::ManifestEntry> verifyPayloadFiles(const std::wstring& directory, const orvo::ProgressReport& report,
                                                      const std::function<void()>& checkCancelled) override {
    auto manifest = real_->verifyPayloadFiles(directory, report, checkCancelled);
    event_("payload-verified", 0);
    return manifest;
  }
  std::function<void()> prepareMarker(const std::wstring& extractionDirectory, const std::wstring& installDirectory,
                                      std::vector<orvo::TransactionEntry>& entries) override {
    return real_->prepareMarker(extractionDirectory, installDirectory, entries);
  }
  std::unique_ptr<orvo::PipelineTransaction> createTransaction(const std::wstring& installDirectory,
                                                               const std::vector<orvo::TransactionEntry>& entries,
                                                               const std::function<void()>& checkCancelled) override {
    return real_->createTransaction(installDirectory, entries, checkCancelled);
  }
  HANDLE getDesktopUserToken() override { return real_->getDesktopUserToken(); }
  std::unique_ptr<orvo::PipelineMigration> createMigration(const std::wstring& installDirectory, HANDLE token) override {
    return real_->createMigration(installDirectory, token);
  }
  std::wstring tokenUserSid(HANDLE token) override { return real_->tokenUserSid(token); }
  void grantDirectoryAccess(const std::wstring& directory, const std::wstring& sid, DWORD accessMask) override {
    real_->grantDirectoryAccess(directory, sid, accessMask);
  }
  DWORD runPlatformProgram(const std::wstring& program, const orvo::ManifestEntry& expected,
                           const std::wstring& arguments,
                           const std::wstring& workingDirectory, bool wait, HANDLE token,
                           const std::wstring& label) override {
    const DWORD id = real_->runPlatformProgram(program, expected, arguments, workingDirectory, wait, token, label);
    if (arguments.rfind(L"--record-install-user ", 0) == 0) event_("install-user-recorded", 0);
    return id;
  }
  void registerInstallation(const std::wstring& installDirectory, HANDLE token,
                            const std::vector<orvo::ManifestEntry>& manifest) override {
    event_("before-register", 0);
    real_->registerInstallation(installDirectory, token, manifest);
  }

 private:
  std::unique_ptr<orvo::PipelineSteps> real_;
  Event event_;
  std::wstring workDirectoryFile_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  const Hooks hooks = hooksFromCommandLine();
  const auto event = [hooks](const char* label, std::uint64_t index) {
    if (hooks.crashAt.matches(label, index)) ::TerminateProcess(::GetCurrentProcess(), CrashedAtEvent);
    if (hooks.pauseAt.matches(label, index)) pause(hooks.pauseName);
  };
  const auto pipelineEvent = [hooks, event](const char* label, std::uint64_t index) {
    event(label, index);
    if (hooks.failAt.matches(label, index)) throw std::runtime_error(std::string("stopped at ") + label);
  };
  if (hooks.refuseWorkerStart) orvo::replaceWorkerThreadStart(&refusedWorkerStart);
  if (hooks.failLoopOnceBusy) orvo::replaceMessageLoop(&loopFailingOnceBusy);
  HookedSteps steps(orvo::makeRealPipelineSteps(event), pipelineEvent, hooks.workDirectoryFile);
  return orvo::runInstallerProcess(instance, steps);
}
