// fuzz-sources: migration/MigrationJournalFormat.cpp migration/MigrationPathRules.cpp
// The journal header codec: a header that decodes encodes back to the same 124
// bytes, and every state record reads back as its own state.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "migration/MigrationJournalFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= orvo::kJournalHeaderSize) {
    try {
      const orvo::MigrationJournalHeader header = orvo::decodeJournalHeader(data);
      const auto again = orvo::encodeJournalHeader(header);
      if (std::memcmp(again.data(), data, orvo::kJournalHeaderSize) != 0) std::abort();
    } catch (const std::runtime_error&) {
    }
  }
  if (size >= 4) {
    std::uint32_t state = 0;
    std::memcpy(&state, data, 4);
    const auto record = orvo::encodeStateRecord(state);
    try {
      const std::uint32_t read = orvo::parseStateHistory(record.data(), record.size());
      if (state >= 2 && state <= 5 ? read != state : read != 1) std::abort();
    } catch (const std::runtime_error&) {
      std::abort();  // one record after JournalCreated never conflicts
    }
  }
  return 0;
}
