// Feeds arbitrary bytes to the journal decoder, checked against a fixed
// two-entry transaction. Any journal it accepts must encode back to exactly
// the same bytes: the reader adopts nothing the writer could not have written.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "txn/TransactionJournal.h"

namespace {

const std::wstring Root = L"d:\\games\\platform";
const std::vector<orvo::TransactionEntry> Entries{
    {L"bin\\Core.dll", 3, L"11507a0e2f5e69d5dfa40a62a1bd7b6ee57e6bcd85c67c9b8431b36fff21c437"},
    {L"readme.txt", 11, L"b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    orvo::checkJournalSize(size);
    const orvo::JournalProgress progress = orvo::decodeJournal(data, size, Root, Entries);
    const std::vector<std::uint8_t> again =
        orvo::encodeJournal(Root, progress.state, progress.applyCursor, Entries, progress.originals);
    if (again.size() != size || !std::equal(again.begin(), again.end(), data)) __builtin_trap();
    if (progress.state < 1 || progress.state > 6 || progress.applyCursor > Entries.size()) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
