#pragma once
// The grammar of "platform-installation.json": one flat object of string and
// number members, no escapes, owned by this product. Pure, over bytes, with no
// Windows headers, so it is tested and fuzzed on its own.
//
// Guarantees: returns only for text that is exactly ours (a "Product" of
// "q9-platform-202" once, an optional "Revision" of 1 to 18 digits without
// leading zeros, nothing else); otherwise throws the message of the first
// faulty member, in order of appearance.
#include <cstddef>
#include <string_view>

namespace orvo {

inline constexpr std::size_t MaxMarkerBytes = 4096;
inline constexpr std::string_view MarkerProduct = "q9-platform-202";
// The content written when no marker exists: 30 bytes, LF-terminated.
inline constexpr std::string_view DefaultMarkerContent = "{\"Product\":\"q9-platform-202\"}\n";

void validateMarker(std::string_view bytes);

}  // namespace orvo
