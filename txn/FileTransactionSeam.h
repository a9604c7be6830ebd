#pragma once
// What a test that lays out an earlier run's transaction area reads of a
// transaction: its root and entries in the normal form its journal records,
// and where it keeps the backup of an entry. Not part of the engine's
// interface; nothing in the product includes it.
#include <cstddef>
#include <string>
#include <vector>

#include "txn/FileTransaction.h"

namespace orvo {

struct FileTransactionSeam {
  static const std::wstring& root(const FileTransaction& transaction) { return transaction.root_; }
  static const std::vector<TransactionEntry>& entries(const FileTransaction& transaction) {
    return transaction.entries_;
  }
  static std::wstring backupPath(const FileTransaction& transaction, std::size_t index) {
    return transaction.backupPath(index);
  }
};

}  // namespace orvo
