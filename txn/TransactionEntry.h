#pragma once
// The file transaction's own record of one file it installs.
#include <cstdint>
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

}  // namespace orvo
