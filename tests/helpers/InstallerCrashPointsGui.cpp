// The installer itself, with one addition: given "--crash-at <event>:<index>"
// it ends its own process without any clean-up right after the file
// transaction publishes that journal event, the way a power cut or a forced
// end would stop a real run. Tests use it to leave a transaction area in each
// state for the next run of the real installer to recover.
//
// Events: journal-created, prepared-file, prepared, before-replace,
// after-replace, applied, committed (index: the manifest entry, else 0).
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

#include "app/InstallerEntry.h"
#include "app/PipelineSteps.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"

namespace {

// Exit code of a run that ended at its chosen event.
constexpr UINT CrashedAtEvent = 77;

struct CrashPoint {
  std::string label;
  std::uint64_t index = 0;
};

CrashPoint crashPointFromCommandLine() {
  int count = 0;
  orvo::UniqueLocal<wchar_t**> argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
  for (int i = 1; argv && i + 1 < count; ++i) {
    if (std::wstring(argv.get()[i]) != L"--crash-at") continue;
    const std::string value = orvo::wideToUtf8(argv.get()[i + 1]);
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos) return CrashPoint{value, 0};
    return CrashPoint{value.substr(0, colon), std::stoull(value.substr(colon + 1))};
  }
  return {};
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  const CrashPoint crashAt = crashPointFromCommandLine();
  const auto steps = orvo::makeRealPipelineSteps([crashAt](const char* label, std::uint64_t index) {
    if (crashAt.label == label && crashAt.index == index) ::TerminateProcess(::GetCurrentProcess(), CrashedAtEvent);
  });
  return orvo::runInstallerProcess(instance, *steps);
}
