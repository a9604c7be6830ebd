// Feeds arbitrary bytes to the installation-marker grammar. A marker it
// accepts must be within the size limit and name this product.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "txn/MarkerGrammar.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    orvo::validateMarker(text);
    if (size == 0 || size > orvo::MaxMarkerBytes) __builtin_trap();
    if (text.find("\"q9-platform-202\"") == std::string_view::npos) __builtin_trap();
    if (text.find('\\') != std::string_view::npos) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
