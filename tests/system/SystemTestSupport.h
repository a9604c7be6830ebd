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
#include "common/ScopeExit.h"
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
class MachineStateLock {
 public:
  MachineStateLock() : mutex_(::CreateMutexW(nullptr, FALSE, L"OrvoSystemTestsMachineState")) {
    if (!mutex_) throw std::runtime_error("cannot create the machine state lock");
    const DWORD result = ::WaitForSingleObject(mutex_.get(), 240000);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) throw std::runtime_error("machine state lock timed out");
  }
  ~MachineStateLock() { ::ReleaseMutex(mutex_.get()); }
  MachineStateLock(const MachineStateLock&) = delete;
  MachineStateLock& operator=(const MachineStateLock&) = delete;

 private:
  UniqueHandle mutex_;
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

// True while process `processId` shows a dialog box with this caption.
inline bool boxIsOpen(DWORD processId, const std::wstring& caption) {
  struct Search {
    DWORD processId;
    const std::wstring* caption;
    bool found;
  } search{processId, &caption, false};
  ::EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        wchar_t className[16] = {};
        wchar_t title[256] = {};
        DWORD owner = 0;
        ::GetClassNameW(window, className, 16);
        ::GetWindowTextW(window, title, 256);
        ::GetWindowThreadProcessId(window, &owner);
        if (owner == s->processId && std::wstring(className) == L"#32770" && *s->caption == title) s->found = true;
        return !s->found;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The outcome of one run of a program that may show message boxes.
struct BoxedRun {
  long long exitCode = -1;            // -1: did not end in time
  std::vector<std::wstring> boxTexts;  // texts of the boxes answered, in order
};

// Runs `program` and answers every message box with caption `caption` that it
// shows with `button` (IDOK when not in `answers` order), until it ends.
inline BoxedRun runAnsweringBoxes(const std::wstring& program, const std::wstring& arguments,
                                  const std::wstring& caption, std::vector<int> answers,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(240)) {
  BoxedRun run;
  ChildProcess child = ChildProcess::start(program, arguments);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    run.exitCode = child.waitExit(std::chrono::milliseconds(100));
    if (run.exitCode >= 0) return run;
    std::vector<std::wstring> captions{caption};
    if (caption != L"orvo game") captions.emplace_back(L"orvo game");
    for (const std::wstring& title : captions) {
      try {
        const int button = answers.empty() ? IDOK : answers.front();
        const std::wstring text = answerMessageBox(child.id(), title, button, std::chrono::milliseconds(100));
        // A box can miss a click sent while it is still opening: the answer
        // counts once the box is gone, else it is sent again.
        bool closed = false;
        for (int i = 0; i < 40 && !closed; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          closed = !boxIsOpen(child.id(), title);
        }
        if (closed) {
          run.boxTexts.push_back(text);
          if (!answers.empty()) answers.erase(answers.begin());
        }
      } catch (const std::runtime_error&) {
        // No box with this caption yet.
      }
    }
  }
  child.terminate();
  return run;
}

// The installer executable run to its end; a run refused because another
// installer of this test tree held the single-instance mutex is repeated.
inline BoxedRun runInstallerToEnd(const std::wstring& arguments) {
  // The tests of this folder take turns; other folders' runs are waited out.
  UniqueHandle turn(::CreateMutexW(nullptr, FALSE, L"OrvoSystemTestsInstallerRuns"));
  if (!turn || ::WaitForSingleObject(turn.get(), 240000) == WAIT_TIMEOUT) throw std::runtime_error("no turn");
  ScopeExit release([&turn] { ::ReleaseMutex(turn.get()); });
  for (int attempt = 0; attempt < 60; ++attempt) {
    BoxedRun run = runAnsweringBoxes(installerExecutable(), arguments, L"orvo game", {});
    if (run.boxTexts.size() == 1 && run.boxTexts[0] == L"orvo game 安装程序已在运行") {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      continue;
    }
    return run;
  }
  throw std::runtime_error("another installer kept running");
}

}  // namespace orvo::test
