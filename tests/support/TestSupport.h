#pragma once
// Shared helpers of the test executables: scoped temporary directories, file
// I/O, the build tree's artefacts, real child processes, directory links made
// the way Wine can make them, and message boxes answered from the test.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "common/PathText.h"
#include "common/UniqueHandle.h"

namespace orvo::test {

// A fresh directory under the temp folder, removed with everything in it when
// the object ends (read-only files included, never what a link points to).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return joinPath(path_, name); }

 private:
  std::wstring path_;
};

class TempDirTest : public ::testing::Test {
 protected:
  TempDir temp;
};

void removeTree(const std::wstring& path);
void writeBytes(const std::wstring& path, const std::string& bytes);
std::string readBytes(const std::wstring& path);
// INVALID_FILE_ATTRIBUTES, all bits set, reads as a directory here: nothing is there.
inline bool fileExists(const std::wstring& path) { return (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) == 0; }
inline bool directoryExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The build tree (from ORVO_BUILD_DIR, set by the runner), its installer and
// the test programs built from tests/helpers/<name>.cpp.
std::wstring buildDirectory();
inline std::wstring installerExecutable() { return buildDirectory() + L"\\OrvoGameSetup.exe"; }
inline std::wstring helperProgram(const std::wstring& name) { return buildDirectory() + L"\\tests\\" + name + L".exe"; }
// The Unix path Wine maps a Windows path to.
std::string unixPathOf(const std::wstring& windowsPath);

// A running child process, terminated when the object ends unless it exited.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&&) = default;
  ChildProcess& operator=(ChildProcess&&) = default;
  ~ChildProcess();
  static ChildProcess start(const std::wstring& program, const std::wstring& arguments);
  DWORD id() const { return id_; }
  HANDLE handle() const { return process_.get(); }
  // The exit code, or -1 when it did not end in time.
  long long waitExit(std::chrono::milliseconds timeout);
  void terminate();
  // Lets the process run on unwatched (Wine never signals a Unix program's handle).
  void detach() { process_.reset(); }

 private:
  UniqueHandle process_;
  DWORD id_ = 0;
};

// Copies `program` to `path` and starts the copy; returns once its image can
// be read, so that a running-program check made next sees it.
ChildProcess startCopyAs(const std::wstring& program, const std::wstring& path, const std::wstring& arguments);
// Runs a program to its end and returns its exit code (throws on timeout).
DWORD runToExit(const std::wstring& program, const std::wstring& arguments,
                std::chrono::milliseconds timeout = std::chrono::seconds(120));

// A directory link as a user can make one under Wine, which has no junctions: a
// host symbolic link, which Windows code sees as a reparse-point directory.
// Wine follows it even when it is opened with FILE_FLAG_OPEN_REPARSE_POINT, and
// RemoveDirectoryW on it would remove its target: the host removes it.
void makeDirectoryLink(const std::wstring& link, const std::wstring& target);
void removeDirectoryLink(const std::wstring& link);

// The visible message box with `caption` of process `processId` once its text can be read (into `text`), else null.
HWND findMessageBox(DWORD processId, const std::wstring& caption, std::wstring& text);
// Waits for that box, returns its text and presses `button`.
std::wstring answerMessageBox(DWORD processId, const std::wstring& caption, int button,
                              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The visible main window of installer process `processId`, with its path box; throws when none appears in time.
HWND installerWindow(DWORD processId, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Relative path -> SHA-256 ("<dir>" for a directory) of everything below `root`.
std::map<std::wstring, std::wstring> snapshotTree(const std::wstring& root);

// A named mutex held for the object's life, so that test processes changing
// one shared thing take turns (at most four minutes' wait).
class CrossProcessLock {
 public:
  explicit CrossProcessLock(const wchar_t* name);
  ~CrossProcessLock();
  CrossProcessLock(const CrossProcessLock&) = delete;
  CrossProcessLock& operator=(const CrossProcessLock&) = delete;

 private:
  UniqueHandle mutex_;
};

// The payload server's answers for the two fixed payload paths.
inline constexpr wchar_t kPayloadPathsLock[] = L"OrvoTestsPayloadServerFixedPaths";

}  // namespace orvo::test
