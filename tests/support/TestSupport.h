#pragma once
// Shared helpers of the test executables: scoped temporary directories, file
// I/O, the build tree's artefacts, real child processes, directory links made
// the way Wine can make them, and message boxes answered from the test.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace orvo::test {

// A fresh directory under the temp folder, removed with everything in it when
// the object ends (read-only files included).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const;

 private:
  std::wstring path_;
};

// Fixture base with one scoped temporary directory.
class TempDirTest : public ::testing::Test {
 protected:
  TempDir temp;
};

void removeTree(const std::wstring& path);
void writeBytes(const std::wstring& path, const std::string& bytes);
std::string readBytes(const std::wstring& path);
bool fileExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);

// The build tree as a Windows path (from ORVO_BUILD_DIR, set by the runner).
std::wstring buildDirectory();
std::wstring installerExecutable();
// A test helper program built from tests/helpers/<name>.cpp.
std::wstring helperProgram(const std::wstring& name);

// Windows path <-> the Unix path Wine maps it to.
std::string unixPathOf(const std::wstring& windowsPath);
std::wstring windowsPathOf(const std::string& unixPath);

// A running child process, terminated when the object ends unless it exited.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&&) = default;
  ChildProcess& operator=(ChildProcess&&) = default;
  ~ChildProcess();
  static ChildProcess start(const std::wstring& program, const std::wstring& arguments,
                            const std::wstring& workingDirectory = L"");
  DWORD id() const { return id_; }
  HANDLE handle() const { return process_.get(); }
  // The exit code, or nothing (as -1) when it did not end in time.
  long long waitExit(std::chrono::milliseconds timeout);
  void terminate();
  // Lets the process run on unwatched (Wine never signals a Unix program's handle).
  void detach() { process_.reset(); }

 private:
  UniqueHandle process_;
  DWORD id_ = 0;
};

// Copies `program` to `path` (creating its directories) and starts the copy
// with `arguments`; returns once the process list shows its image, so that a
// running-program check made next sees it.
ChildProcess startCopyAs(const std::wstring& program, const std::wstring& path, const std::wstring& arguments);

// Ends process `processId` if it still runs `program` (compared without case):
// an id read from a marker or a process list may by now name another process,
// a concurrent test among them, which must not be ended.
void endProcessIfRunning(DWORD processId, const std::wstring& program);

// Runs a program to its end and returns its exit code (fails the test on timeout).
DWORD runToExit(const std::wstring& program, const std::wstring& arguments,
                std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Makes `link` a directory link to `target`: a junction where the platform has
// them, else (Wine) a Unix symbolic link, which Windows code sees as a
// directory with the reparse-point attribute.
void makeDirectoryLink(const std::wstring& link, const std::wstring& target);
// Removes a directory link made by makeDirectoryLink, never what it points to.
void removeDirectoryLink(const std::wstring& link);
// Makes `link` a mount-point junction to `target` with FSCTL_SET_REPARSE_POINT
// (throws where the platform cannot).
void makeJunction(const std::wstring& link, const std::wstring& target);
// True when this platform can create and read back a real junction (probed
// once, in a scratch directory).
bool platformHasJunctions();
// True when this platform can enumerate a file's data streams (probed once).
bool platformHasFileStreams();

// Waits for a message box (dialog class #32770) with the given caption owned by
// process `processId` (0: any), returns its text and presses `button`.
std::wstring answerMessageBox(DWORD processId, const std::wstring& caption, int button,
                              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The first visible top-level window of process `processId` whose class name
// (empty: any) and title (empty: any) match, waited for; nullptr after `timeout`.
HWND waitForTopLevelWindow(DWORD processId, const std::wstring& className, const std::wstring& title,
                           std::chrono::milliseconds timeout);

// Relative path -> SHA-256 of the content ("<dir>" for a directory) of every
// item below `root`, walked with the system's enumeration (mingw's iterators
// fail past MAX_PATH); empty when `root` does not exist.
std::map<std::wstring, std::wstring> snapshotTree(const std::wstring& root);

// Holds a named mutex for its lifetime, so that tests in different processes
// that change one shared thing (the uninstall key, the payload server's rules
// for the fixed paths) take turns. Waits at most four minutes.
class CrossProcessLock {
 public:
  explicit CrossProcessLock(const wchar_t* name);
  ~CrossProcessLock();
  CrossProcessLock(const CrossProcessLock&) = delete;
  CrossProcessLock& operator=(const CrossProcessLock&) = delete;

 private:
  UniqueHandle mutex_;
};

// The lock of the payload server's answers for the two fixed payload paths.
inline constexpr wchar_t kPayloadPathsLock[] = L"OrvoTestsPayloadServerFixedPaths";

// The lock of the one cursor of the test desktop, for tests that move it.
inline constexpr wchar_t kDesktopCursorLock[] = L"OrvoTestsDesktopCursor";

// A real click (left button down and up through the system's input queue) at
// `screenPoint` on `window`. Tests running at the same time open windows on
// the same desktop, the installer's centred ones in the very same place, so the
// window is first raised above them and checked to be the one under the point,
// and tests in other processes take turns with the one cursor meanwhile.
void clickOnWindow(HWND window, POINT screenPoint);

}  // namespace orvo::test
