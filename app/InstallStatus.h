#pragma once
// The display record shared by the window thread and the install worker, with
// the three flags of an install attempt.
//
// Guarantees: every field is read and written under one mutex; `percent` never
// decreases between resets and never exceeds 100; a progress notice is posted
// to the window (when one is attached) while the lock is held, so the window
// never paints a record older than the notice it handles.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

namespace orvo {

constexpr UINT WM_INSTALL_PROGRESS = WM_APP + 1;
constexpr UINT WM_INSTALL_FINISHED = WM_APP + 2;

struct InstallStatusRecord {
  int percent = 0;
  std::wstring heading = L"安装 orvo game";
  std::wstring subheading = L"准备好，开启下一段冒险";
  std::wstring status;
  std::wstring detail;
  std::wstring error;
};

// How the notices reach the window: PostMessageW. A named seam: tests make a
// post fail the way a full message queue does, which Wine's never is.
using PostNotice = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);

class InstallStatus {
 public:
  explicit InstallStatus(PostNotice post = &::PostMessageW) noexcept : post_(post) {}

  InstallStatusRecord snapshot() const;
  // Initial values, then the headings of a running install.
  void resetForInstall();
  void reportProgress(int percent, const std::wstring& status, const std::wstring& detail);
  // Failure text and headings; percent, status and detail keep their values.
  void setFailure(const std::wstring& failureText);
  // Validation failure before a worker starts: only `error` changes.
  void setError(const std::wstring& message);

  // The window that receives WM_INSTALL_PROGRESS and WM_INSTALL_FINISHED; none by default.
  void attachWindow(HWND window) noexcept { window_.store(window); }
  HWND window() const noexcept { return window_.load(); }
  // From the worker, delivered however often a post fails, for as long as a
  // window is attached and exists: a lost notice would keep the window busy
  // for good.
  void postFinished(bool success) const;

  // Throws "CANCELLED" when cancellation was requested.
  void throwIfCancelled() const;

  std::atomic<bool> installBusy{false};
  std::atomic<bool> cancelRequested{false};
  std::atomic<bool> installSucceeded{false};

 private:
  PostNotice post_;
  mutable std::mutex mutex_;
  InstallStatusRecord record_;
  std::atomic<HWND> window_{nullptr};
};

// The status of this process, shared by the window and the pipeline.
InstallStatus& installStatus();

}  // namespace orvo
