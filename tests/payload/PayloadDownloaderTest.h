#pragma once
// Shared by the downloader's test files.
#include <functional>
#include <stdexcept>
#include <string>

namespace orvo::test {

// The message of the std::runtime_error that `action` throws, or "no error".
inline std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace orvo::test
