#pragma once
// The identity of one file-system object as the file system reports it for an
// open handle: volume serial number, file index high, file index low. Two
// handles denote the same object exactly when all three are equal. Free of
// Windows headers so the journal codec can use it natively.
#include <cstdint>

namespace orvo {

struct FileIdentity {
  std::uint32_t volumeSerial = 0;
  std::uint32_t indexHigh = 0;
  std::uint32_t indexLow = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace orvo
