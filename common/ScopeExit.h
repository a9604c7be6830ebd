#pragma once
// Runs a callable when the scope ends, on every path (also while an exception
// passes). For one-off undo steps that have no owning type of their own.
#include <utility>

namespace orvo {

template <class F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (active_) f_();
  }
  void release() noexcept { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};

}  // namespace orvo
