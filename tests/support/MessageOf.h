#pragma once
// The message of the exception an action throws, or "no exception": lets a
// test state the exact failure text in one comparison.
#include <exception>
#include <string>
#include <utility>

namespace orvo::test {

template <class Action>
std::string messageOf(Action&& action) {
  try {
    std::forward<Action>(action)();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}

}  // namespace orvo::test
