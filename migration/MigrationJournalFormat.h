#pragma once
// The byte layout of the migration journal, as pure functions over bytes (no
// Windows headers, no file system): the 124-byte header, the 16-byte state
// records, the state history and the layout rules of the saved security
// descriptor. All integers little-endian.
//
// Guarantees: encoding then decoding a valid header gives it back unchanged;
// every refusal throws std::runtime_error with the journal's fixed message; no
// read goes past the length it was given.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "migration/FileIdentity.h"

namespace orvo {

enum class MigrationState : std::uint32_t {
  JournalCreated = 1,
  LinkParked = 2,
  CopyPlaced = 3,
  MigrationCommitted = 4,
  MigrationRolledBack = 5,
};

inline constexpr std::size_t kJournalHeaderSize = 124;
inline constexpr std::size_t kStateRecordSize = 16;
inline constexpr std::uint32_t kJournalFormatVersion = 1;
inline constexpr std::size_t kMaxSavedDescriptorSize = 65536;
inline constexpr std::size_t kMaxStateHistorySize = 1024;
// Largest excess of a journal over its header: descriptor plus history.
inline constexpr std::size_t kMaxJournalExcess = kMaxSavedDescriptorSize + kMaxStateHistorySize;

struct MigrationJournalHeader {
  std::uint32_t version = kJournalFormatVersion;
  std::uint32_t state = 1;
  std::wstring migrationId;  // 32 code units when valid
  std::uint32_t reserved = 0;
  FileIdentity installDirectory;
  FileIdentity legacyLink;
  FileIdentity privateCopy;
  std::uint32_t descriptorLength = 0;
};

// The header's 124 bytes; the magic is always "ORVOMIG1". An id shorter than
// 32 code units is padded with zero units (never written by the run).
std::array<std::uint8_t, kJournalHeaderSize> encodeJournalHeader(const MigrationJournalHeader& header);

// Reads and checks the magic, version, header state (1 to 5), the reserved
// field's first two bytes and the 32 id code units; throws "Migration journal
// identity invalid" otherwise. `bytes` holds at least 124 bytes.
MigrationJournalHeader decodeJournalHeader(const std::uint8_t* bytes);

// "MSG1", s, ~s, "END1".
std::array<std::uint8_t, kStateRecordSize> encodeStateRecord(std::uint32_t state);

// The state after the history that follows a header in state 1: valid records
// are applied in order, the first invalid record (or a trailing piece shorter
// than 16 bytes) ends the parse. Throws "Migration state history exceeds safety
// bound" above 1024 bytes and "Migration state history conflicts" for a record
// after a final state or a state going backwards.
std::uint32_t parseStateHistory(const std::uint8_t* bytes, std::size_t size);

// The layout rules of a saved descriptor (self-relative, DACL only, DACL
// inside the bytes); the system's own ACL and descriptor checks come on top.
bool hasValidSavedDescriptorLayout(const std::uint8_t* bytes, std::size_t size) noexcept;

}  // namespace orvo
