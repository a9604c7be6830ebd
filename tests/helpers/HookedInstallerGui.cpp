// The installer itself, with one addition for tests that must act at an exact
// journal write of its file transaction:
//
//   --crash-at <event>:<index>
//       ends the process without any clean-up right after that event, the way
//       a power cut or a forced end would stop a real run (exit code 77);
//   --pause-at <event>:<index> <name>
//       after that event, signals the named event "<name>-reached" and waits
//       (at most two minutes) until the test signals "<name>-resume".
//
// Events: journal-created, prepared-file, prepared, before-replace,
// after-replace, applied, committed; the index is the manifest entry's, else 0.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/InstallerEntry.h"
#include "app/PipelineSteps.h"
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
};

Hooks hooksFromCommandLine() {
  const std::vector<std::wstring> arguments = orvo::commandLineArguments();
  Hooks hooks;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == L"--crash-at" && i + 1 < arguments.size()) hooks.crashAt = parsePoint(arguments[i + 1]);
    if (arguments[i] == L"--pause-at" && i + 2 < arguments.size()) {
      hooks.pauseAt = parsePoint(arguments[i + 1]);
      hooks.pauseName = arguments[i + 2];
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

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  const Hooks hooks = hooksFromCommandLine();
  const auto steps = orvo::makeRealPipelineSteps([hooks](const char* label, std::uint64_t index) {
    if (hooks.crashAt.matches(label, index)) ::TerminateProcess(::GetCurrentProcess(), CrashedAtEvent);
    if (hooks.pauseAt.matches(label, index)) pause(hooks.pauseName);
  });
  return orvo::runInstallerProcess(instance, *steps);
}
