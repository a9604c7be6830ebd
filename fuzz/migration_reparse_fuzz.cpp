// fuzz-sources: migration/MigrationPathRules.cpp
// The junction reparse-buffer reader on arbitrary returned bytes: it must never
// read past the returned size, and a name it returns is free of NUL and of the
// NT prefix it removed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "migration/MigrationPathRules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > orvo::kReparseBufferSize) return 0;
  try {
    const std::wstring name = orvo::parseJunctionSubstituteName(data, size);
    if (name.find(L'\0') != std::wstring::npos) std::abort();
    if (name.size() * 2 + 4 * 2 + 16 > size) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
