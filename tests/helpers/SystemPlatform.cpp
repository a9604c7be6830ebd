// A platform program for the tests of the installer's platform runs. It keeps
// the promises the installer relies on, or breaks one of them on purpose: the
// mode is read from "system-platform-mode.txt" in the working directory
// (missing: "ok"). Every run appends one line to "system-platform-runs.txt" in
// the working directory: the step, the process id, whether the variable
// ORVO_SYSTEM_TEST_PARENT was inherited, and the raw command line.
//
// Modes: ok, exit3 (every step exits with 3), hang (never ends by itself within
// the test's limit), wrong-sid, crlf-sid, lf-sid, invalid-utf8, empty-sid.
#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "system/DesktopUser.h"

namespace {

std::string readMode() {
  std::ifstream in(std::filesystem::path(L"system-platform-mode.txt"), std::ios::binary);
  std::string mode;
  if (in) std::getline(in, mode);
  while (!mode.empty() && (mode.back() == '\r' || mode.back() == '\n' || mode.back() == ' ')) mode.pop_back();
  return mode.empty() ? "ok" : mode;
}

std::string ownSid() {
  orvo::UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return "";
  return orvo::wideToUtf8(orvo::tokenUserSid(token.get()));
}

void logRun(const std::string& step) {
  wchar_t value[8] = {};
  const bool inherited = ::GetEnvironmentVariableW(L"ORVO_SYSTEM_TEST_PARENT", value, 8) != 0;
  std::ofstream log(std::filesystem::path(L"system-platform-runs.txt"), std::ios::binary | std::ios::app);
  log << step << '\t' << ::GetCurrentProcessId() << '\t' << (inherited ? "inherited" : "own-environment") << '\t'
      << orvo::wideToUtf8(::GetCommandLineW()) << '\n';
}

int recordUser(const std::wstring& path, const std::string& mode) {
  std::string content = ownSid();
  if (mode == "wrong-sid") content = "S-1-5-21-1-2-3-4242";
  if (mode == "crlf-sid") content += "\r\n";
  if (mode == "lf-sid") content += "\nsecond line\n";
  if (mode == "invalid-utf8") content = "S-1-5-\xC3\x28";
  if (mode == "empty-sid") content.clear();
  std::ofstream(std::filesystem::path(path), std::ios::binary) << content;
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::string mode = readMode();
  const std::string step = argc > 1 ? orvo::wideToUtf8(argv[1]) : "launch";
  logRun(step);
  if (mode == "hang") {
    ::Sleep(120000);
    return 0;
  }
  if (mode == "exit3") return 3;
  if (step == "--record-install-user" && argc > 2) return recordUser(argv[2], mode);
  if (step == "--configure-platform-install" && argc > 2) {
    std::ifstream in(std::filesystem::path(argv[2]), std::ios::binary);
    std::string line;
    std::getline(in, line);
    return line == ownSid() ? 0 : 4;
  }
  if (step == "launch") {
    // The platform itself: stays until the test ends it (or a safety minute passes).
    ::Sleep(60000);
    return 0;
  }
  return 2;
}
