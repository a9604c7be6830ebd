#pragma once
// The file transaction's own record of one file it installs.
#include <cstdint>
#include <functional>
#include <string>

namespace orvo {

struct TransactionEntry {
  std::wstring relativePath;
  std::uint64_t size = 0;
  std::wstring sha256;
};

// Process-visible state of a transaction, as its journal records it.
enum class TransactionState : int {
  Preparing = 1,
  Prepared = 2,
  Applying = 3,
  Applied = 4,
  Committed = 5,
  RolledBack = 6,
};

// An event label ("journal-created", "prepared-file", "prepared",
// "before-replace", "after-replace", "applied", "committed",
// "rolled-back-file", "rolled-back") and the entry index it concerns.
using TransactionEvent = std::function<void(const char* label, std::uint64_t index)>;

}  // namespace orvo
