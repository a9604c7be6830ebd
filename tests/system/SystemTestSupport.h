#pragma once
// Shared by the system and end-to-end tests: the lock of the machine-wide
// registration (uninstall key, shortcuts) and runs of a program whose message
// boxes the test answers.
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace orvo::test {

// Serialises the tests that change the uninstall key or the shortcuts.
struct MachineStateLock : CrossProcessLock {
  MachineStateLock() : CrossProcessLock(L"OrvoSystemTestsMachineState") {}
};

// The exit code (-1: the program did not end in time) and the texts of the boxes answered, in order.
struct BoxedRun { long long exitCode = -1; std::vector<std::wstring> boxTexts; };

// Runs `program` and answers the boxes it shows with caption `caption` or
// "orvo game", with the buttons of `answers` in turn (then IDOK), until it ends.
inline BoxedRun runAnsweringBoxes(const std::wstring& program, const std::wstring& arguments,
                                  const std::wstring& caption, std::vector<int> answers,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(240)) {
  BoxedRun run;
  ChildProcess child = ChildProcess::start(program, arguments);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto ended = [&child](DWORD milliseconds) { return ::WaitForSingleObject(child.handle(), milliseconds) == 0; };
  while ((run.exitCode = child.waitExit(std::chrono::milliseconds(100))) < 0 &&
         std::chrono::steady_clock::now() < deadline) {
    for (const std::wstring& title : {caption, std::wstring(L"orvo game")}) {
      // An answered box is hidden at once, though it stays listed a while longer.
      HWND box = nullptr;
      DWORD owner = 0;
      while ((box = ::FindWindowExW(nullptr, box, L"#32770", title.c_str())) &&
             (!::GetWindowThreadProcessId(box, &owner) || owner != child.id() || !::IsWindowVisible(box))) {}
      wchar_t text[2048] = {};
      if (!box || !::GetDlgItemTextW(box, 0xFFFF, text, 2048)) continue;  // none, or still being filled in
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(answers.empty() ? IDOK : answers.front(), BN_CLICKED), 0);
      // A click sent while the box is still opening can be missed: it counts once the box is hidden.
      for (int i = 0; i < 40 && ::IsWindowVisible(box) && !ended(50); ++i) {}
      if (::IsWindowVisible(box) && !ended(0)) continue;
      run.boxTexts.push_back(text);
      if (!answers.empty()) answers.erase(answers.begin());
    }
  }
  if (run.exitCode < 0) child.terminate();
  return run;
}

}  // namespace orvo::test
