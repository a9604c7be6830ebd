#include "app/InstallStatus.h"

#include <algorithm>
#include <stdexcept>

namespace orvo {
namespace {

constexpr DWORD kFinishRetryMilliseconds = 50;

}  // namespace

InstallStatusRecord InstallStatus::snapshot() const {
  std::lock_guard lock(mutex_);
  return record_;
}

void InstallStatus::resetForInstall() {
  std::lock_guard lock(mutex_);
  record_ = InstallStatusRecord{};
  record_.heading = L"正在安装";
  record_.subheading = L"冒险即将开启";
}

void InstallStatus::reportProgress(int percent, const std::wstring& status, const std::wstring& detail) {
  std::lock_guard lock(mutex_);
  record_.percent = std::max(record_.percent, std::min(percent, 100));
  record_.status = status;
  record_.detail = detail;
  // A lost progress notice only delays a repaint until the next one.
  if (HWND w = window_.load()) post_(w, WM_INSTALL_PROGRESS, 0, 0);
}

void InstallStatus::setFailure(const std::wstring& failureText) {
  std::lock_guard lock(mutex_);
  record_.error = failureText;
  record_.heading = L"安装未完成";
  record_.subheading = L"请检查后重新安装";
}

void InstallStatus::setError(const std::wstring& message) {
  std::lock_guard lock(mutex_);
  record_.error = message;
}

void InstallStatus::postFinished(bool success) const {
  for (;;) {
    const HWND w = window_.load();
    if (w == nullptr) return;
    if (post_(w, WM_INSTALL_FINISHED, success ? 1 : 0, 0)) return;
    // A full queue drains as the window thread runs, so the worker waits for
    // it; the window thread itself (a start that failed) cannot wait for its
    // own queue.
    if (!::IsWindow(w) || ::GetWindowThreadProcessId(w, nullptr) == ::GetCurrentThreadId()) return;
    ::Sleep(kFinishRetryMilliseconds);
  }
}

void InstallStatus::throwIfCancelled() const {
  if (cancelRequested.load()) throw std::runtime_error("CANCELLED");
}

InstallStatus& installStatus() {
  static InstallStatus status;
  return status;
}

}  // namespace orvo
