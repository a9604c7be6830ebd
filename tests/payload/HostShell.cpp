#include "tests/payload/HostShell.h"

#include <stdexcept>
#include <thread>

#include "common/Utf.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int runHostShell(const std::string& command, std::chrono::seconds timeout) {
  if (command.find('"') != std::string::npos) throw std::runtime_error("host command must not hold double quotes");
  TempDir scratch;
  const std::string status = unixPathOf(scratch.path()) + "/status";
  const std::string script = "export LC_ALL=C.UTF-8; (" + command + "); echo $? > " + shellQuoted(status + ".tmp") +
                             " && mv " + shellQuoted(status + ".tmp") + " " + shellQuoted(status);
  // Its process handle never signals under Wine: the status file says when it has ended.
  ChildProcess::start(L"Z:\\bin\\sh", L"-c \"" + utf8ToWide(script) + L"\"").detach();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fileExists(scratch / L"status")) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("host command did not end: " + command);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::stoi(readBytes(scratch / L"status"));
}

std::wstring hostSha256(const std::wstring& path) {
  TempDir scratch;
  const std::string output = unixPathOf(scratch.path()) + "/digest";
  if (runHostShell("sha256sum " + shellQuoted(unixPathOf(path)) + " > " + shellQuoted(output)) != 0) {
    throw std::runtime_error("sha256sum failed");
  }
  return utf8ToWide(readBytes(scratch / L"digest").substr(0, 64));
}

}  // namespace orvo::test
