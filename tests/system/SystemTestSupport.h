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

}  // namespace orvo::test
