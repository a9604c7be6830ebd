#pragma once
// The manifest of a candidate directory as the transaction tests and their
// helper programs agree on it: every regular file below it, "/"-separated,
// sorted by path, with its size and digest.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/Sha256.h"
#include "txn/TransactionEntry.h"

namespace orvo::test {

inline std::vector<TransactionEntry> candidateManifest(const std::wstring& candidateDirectory) {
  std::vector<TransactionEntry> entries;
  const std::filesystem::path base(candidateDirectory);
  for (const auto& item : std::filesystem::recursive_directory_iterator(base)) {
    if (!item.is_regular_file()) continue;
    entries.push_back(TransactionEntry{std::filesystem::relative(item.path(), base).generic_wstring(),
                                       item.file_size(), sha256File(item.path().wstring())});
  }
  std::sort(entries.begin(), entries.end(),
            [](const TransactionEntry& a, const TransactionEntry& b) { return a.relativePath < b.relativePath; });
  return entries;
}

}  // namespace orvo::test
