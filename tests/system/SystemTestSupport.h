#pragma once
// Helpers shared by the system tests: copies of helper programs with an
// embedded file list, manifests written the installer's way, and a lock for
// the machine-wide state (uninstall key, shortcuts) that tests of this folder
// change while ctest runs them side by side.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {

inline void copyFileOrThrow(const std::wstring& from, const std::wstring& to) {
  if (!::CopyFileW(from.c_str(), to.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy " + wideToUtf8(from) + " to " + wideToUtf8(to));
  }
}

// Replaces resource RT_RCDATA 105 of the executable file with `bytes`.
inline void stampManifestResource(const std::wstring& executable, const std::string& bytes) {
  HANDLE update = ::BeginUpdateResourceW(executable.c_str(), FALSE);
  if (update == nullptr) throw std::runtime_error("BeginUpdateResourceW failed");
  std::string data = bytes;
  const BOOL added = ::UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(105), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                                       data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()));
  if (!::EndUpdateResourceW(update, !added) || !added) throw std::runtime_error("UpdateResourceW failed");
}

// One manifest line for a file that exists, as the payload build writes it.
inline std::string manifestLineFor(const std::wstring& root, const std::wstring& relativePath) {
  const std::wstring full = joinPath(root, relativePath);
  const std::string bytes = readBytes(full);
  return wideToUtf8(sha256File(full)) + "\t" + std::to_string(bytes.size()) + "\t" + wideToUtf8(relativePath) +
         "\r\n";
}

// Serialises the tests that change the uninstall key or the shortcuts.
class MachineStateLock : public CrossProcessLock {
 public:
  MachineStateLock() : CrossProcessLock(L"OrvoSystemTestsMachineState") {}
};

// Waits for a file to appear with content (a helper's result or log).
inline bool waitForFile(const std::wstring& path, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fileExists(path) && !readBytes(path).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The visible dialog box with this caption that process `processId` shows, if any.
inline HWND visibleBox(DWORD processId, const std::wstring& caption) {
  struct Search {
    DWORD processId;
    const std::wstring* caption;
    HWND found;
  } search{processId, &caption, nullptr};
  ::EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        wchar_t className[16] = {};
        wchar_t title[256] = {};
        DWORD owner = 0;
        ::GetClassNameW(window, className, 16);
        ::GetWindowTextW(window, title, 256);
        ::GetWindowThreadProcessId(window, &owner);
        // An answered box is hidden at once, though it stays listed a while longer.
        if (owner == s->processId && std::wstring(className) == L"#32770" && *s->caption == title &&
            ::IsWindowVisible(window)) {
          s->found = window;
        }
        return s->found == nullptr;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The text of a message box (its static controls).
inline std::wstring boxText(HWND box) {
  std::wstring text;
  ::EnumChildWindows(
      box,
      [](HWND child, LPARAM parameter) -> BOOL {
        wchar_t className[16] = {};
        ::GetClassNameW(child, className, 16);
        if (std::wstring(className) == L"Static") {
          wchar_t content[2048] = {};
          ::GetWindowTextW(child, content, 2048);
          *reinterpret_cast<std::wstring*>(parameter) += content;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&text));
  return text;
}

// The outcome of one run of a program that may show message boxes.
struct BoxedRun {
  long long exitCode = -1;            // -1: did not end in time
  std::vector<std::wstring> boxTexts;  // texts of the boxes answered, in order
};

// Runs `program` and answers the message boxes it shows with caption `caption`
// or "orvo game", with the buttons of `answers` in turn (then IDOK), until it ends.
inline BoxedRun runAnsweringBoxes(const std::wstring& program, const std::wstring& arguments,
                                  const std::wstring& caption, std::vector<int> answers,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(240)) {
  BoxedRun run;
  ChildProcess child = ChildProcess::start(program, arguments);
  std::vector<std::wstring> captions{caption};
  if (caption != L"orvo game") captions.emplace_back(L"orvo game");
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    run.exitCode = child.waitExit(std::chrono::milliseconds(100));
    if (run.exitCode >= 0) return run;
    for (const std::wstring& title : captions) {
      const HWND box = visibleBox(child.id(), title);
      if (box == nullptr) continue;
      const std::wstring text = boxText(box);
      if (text.empty()) continue;  // still being filled in
      const int button = answers.empty() ? IDOK : answers.front();
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
      // A click sent while the box is still opening can be missed: the answer
      // counts once the box is hidden, else it is sent again.
      bool closed = false;
      for (int i = 0; i < 40 && !closed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        closed = !::IsWindow(box) || !::IsWindowVisible(box) ||
                 ::WaitForSingleObject(child.handle(), 0) == WAIT_OBJECT_0;
      }
      if (closed) {
        run.boxTexts.push_back(text);
        if (!answers.empty()) answers.erase(answers.begin());
      }
    }
  }
  child.terminate();
  return run;
}

// The installer executable run to its end, answering its boxes with OK. The
// tests that call it run one at a time (*ExecutableTest.cpp).
inline BoxedRun runInstallerToEnd(const std::wstring& arguments) {
  return runAnsweringBoxes(installerExecutable(), arguments, L"orvo game", {});
}

}  // namespace orvo::test
