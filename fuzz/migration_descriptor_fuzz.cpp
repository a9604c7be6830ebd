// fuzz-sources: migration/MigrationJournalFormat.cpp migration/MigrationPathRules.cpp
// The saved descriptor's layout rules on arbitrary bytes: no read past the
// given length, and an accepted layout keeps its ACL inside the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "migration/MigrationJournalFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so the sanitizer sees any read past the end.
  const std::vector<std::uint8_t> bytes(data, data + size);
  if (orvo::hasValidSavedDescriptorLayout(bytes.data(), bytes.size())) {
    const std::uint32_t offset = bytes[16] | (bytes[17] << 8) | (bytes[18] << 16) | (static_cast<std::uint32_t>(bytes[19]) << 24);
    const std::uint16_t aclSize = static_cast<std::uint16_t>(bytes[offset + 2] | (bytes[offset + 3] << 8));
    if (size < 20 || offset + aclSize > size || aclSize < 8) std::abort();
  }
  return 0;
}
