#include "app/InstallStatus.h"

#include <algorithm>
#include <stdexcept>

namespace orvo {

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
  if (HWND w = window_.load()) ::PostMessageW(w, WM_INSTALL_PROGRESS, 0, 0);
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
  if (HWND w = window_.load()) ::PostMessageW(w, WM_INSTALL_FINISHED, success ? 1 : 0, 0);
}

void InstallStatus::throwIfCancelled() const {
  if (cancelRequested.load()) throw std::runtime_error("CANCELLED");
}

InstallStatus& installStatus() {
  static InstallStatus status;
  return status;
}

}  // namespace orvo
