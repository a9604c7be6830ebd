#pragma once
// One file of the installer file manifest, as the manifest states it.
#include <cstdint>
#include <string>

namespace orvo {

struct ManifestEntry {
  std::wstring relativePath;  // "/"-separated, as written in the manifest
  std::wstring sha256;        // 64 lower-case hex digits
  std::uint64_t size = 0;
};

}  // namespace orvo
