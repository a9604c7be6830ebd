#pragma once
// Runs a command of the Linux host (sh -c) from a test under Wine. Wine starts
// Unix programs but hands back no process handle to wait on, so the command
// reports its exit status through a file that appears atomically when it ends.
#include <chrono>
#include <string>

namespace orvo::test {

// The command's exit status; throws when it does not end within `timeout`.
// The command runs with a UTF-8 locale; it must not contain double quotes.
int runHostShell(const std::string& command, std::chrono::seconds timeout = std::chrono::seconds(120));

// Single-quoted for sh.
std::string shellQuoted(const std::string& text);

// The host's sha256sum of a file, as 64 lower-case hex digits.
std::wstring hostSha256(const std::wstring& path);

}  // namespace orvo::test
