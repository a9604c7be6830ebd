// A platform program for the tests of the installer's platform runs: every run
// appends one line to "system-platform-runs.txt" in the working directory (the
// step, the process id, whether the variable ORVO_SYSTEM_TEST_PARENT was
// inherited, and the raw command line). It records its own user's SID, accepts
// only that SID when configuring, and as the launched platform stays a minute.
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "common/Utf.h"
#include "system/DesktopUser.h"

int wmain(int argc, wchar_t** argv) {
  const std::string step = argc > 1 ? orvo::wideToUtf8(argv[1]) : "launch";
  const bool inherited = ::GetEnvironmentVariableW(L"ORVO_SYSTEM_TEST_PARENT", nullptr, 0) != 0;
  std::ofstream(std::filesystem::path(L"system-platform-runs.txt"), std::ios::binary | std::ios::app)
      << step << '\t' << ::GetCurrentProcessId() << '\t' << (inherited ? "inherited" : "own-environment") << '\t'
      << orvo::wideToUtf8(::GetCommandLineW()) << '\n';
  orvo::UniqueHandle token;
  std::string sid, line;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) sid = orvo::wideToUtf8(orvo::tokenUserSid(token.get()));
  if (step == "--record-install-user" && argc > 2) std::ofstream(std::filesystem::path(argv[2]), std::ios::binary) << sid;
  if (step == "--configure-platform-install" && argc > 2) {
    std::getline(std::ifstream(std::filesystem::path(argv[2]), std::ios::binary), line);
    return line == sid ? 0 : 4;
  }
  if (step == "launch") ::Sleep(60000);
  return step == "launch" || step == "--record-install-user" ? 0 : 2;
}
