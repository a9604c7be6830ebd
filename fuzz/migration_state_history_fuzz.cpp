// fuzz-sources: migration/MigrationJournalFormat.cpp migration/MigrationPathRules.cpp
// The state history parser on arbitrary bytes: its result is always a state
// from 1 to 5, and adding bytes after a torn tail never changes a result
// already reached by whole records before it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "migration/MigrationJournalFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const std::uint32_t state = orvo::parseStateHistory(data, size);
    if (state < 1 || state > 5) std::abort();
    // Cutting the tail shorter than one record must not change the result.
    const std::size_t whole = size - size % orvo::kStateRecordSize;
    if (orvo::parseStateHistory(data, whole) != state) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
