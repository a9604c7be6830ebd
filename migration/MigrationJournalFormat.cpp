#include "migration/MigrationJournalFormat.h"

#include <cstring>
#include <stdexcept>

#include "migration/MigrationPathRules.h"

namespace orvo {
namespace {

constexpr char kMagic[8] = {'O', 'R', 'V', 'O', 'M', 'I', 'G', '1'};
constexpr char kRecordStart[4] = {'M', 'S', 'G', '1'};
constexpr char kRecordEnd[4] = {'E', 'N', 'D', '1'};

void putU32(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t getU32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t getU16(const std::uint8_t* p) noexcept { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

void putIdentity(std::uint8_t* p, const FileIdentity& id) noexcept {
  putU32(p, id.volumeSerial);
  putU32(p + 4, id.indexHigh);
  putU32(p + 8, id.indexLow);
}

FileIdentity getIdentity(const std::uint8_t* p) noexcept { return FileIdentity{getU32(p), getU32(p + 4), getU32(p + 8)}; }

[[noreturn]] void identityInvalid() { throw std::runtime_error("Migration journal identity invalid"); }

}  // namespace

std::array<std::uint8_t, kJournalHeaderSize> encodeJournalHeader(const MigrationJournalHeader& header) {
  std::array<std::uint8_t, kJournalHeaderSize> bytes{};
  std::memcpy(bytes.data(), kMagic, sizeof(kMagic));
  putU32(&bytes[8], header.version);
  putU32(&bytes[12], header.state);
  for (std::size_t i = 0; i < kMigrationIdLength && i < header.migrationId.size(); ++i) {
    const auto unit = static_cast<std::uint32_t>(header.migrationId[i]);
    bytes[16 + 2 * i] = static_cast<std::uint8_t>(unit);
    bytes[17 + 2 * i] = static_cast<std::uint8_t>(unit >> 8);
  }
  putU32(&bytes[80], header.reserved);
  putIdentity(&bytes[84], header.installDirectory);
  putIdentity(&bytes[96], header.legacyLink);
  putIdentity(&bytes[108], header.privateCopy);
  putU32(&bytes[120], header.descriptorLength);
  return bytes;
}

MigrationJournalHeader decodeJournalHeader(const std::uint8_t* bytes) {
  if (std::memcmp(bytes, kMagic, sizeof(kMagic)) != 0) identityInvalid();
  MigrationJournalHeader header;
  header.version = getU32(bytes + 8);
  if (header.version != kJournalFormatVersion) identityInvalid();
  header.state = getU32(bytes + 12);
  if (header.state < 1 || header.state > 5) identityInvalid();
  header.reserved = getU32(bytes + 80);
  if (getU16(bytes + 80) != 0) identityInvalid();
  header.migrationId.reserve(kMigrationIdLength);
  for (std::size_t i = 0; i < kMigrationIdLength; ++i) {
    header.migrationId.push_back(static_cast<wchar_t>(getU16(bytes + 16 + 2 * i)));
  }
  if (!isValidMigrationId(header.migrationId)) identityInvalid();
  header.installDirectory = getIdentity(bytes + 84);
  header.legacyLink = getIdentity(bytes + 96);
  header.privateCopy = getIdentity(bytes + 108);
  header.descriptorLength = getU32(bytes + 120);
  return header;
}

std::array<std::uint8_t, kStateRecordSize> encodeStateRecord(std::uint32_t state) {
  std::array<std::uint8_t, kStateRecordSize> record{};
  std::memcpy(&record[0], kRecordStart, 4);
  putU32(&record[4], state);
  putU32(&record[8], ~state);
  std::memcpy(&record[12], kRecordEnd, 4);
  return record;
}

std::uint32_t parseStateHistory(const std::uint8_t* bytes, std::size_t size) {
  if (size > kMaxStateHistorySize) throw std::runtime_error("Migration state history exceeds safety bound");
  std::uint32_t current = 1;
  for (std::size_t at = 0; size - at >= kStateRecordSize; at += kStateRecordSize) {
    const std::uint8_t* r = bytes + at;
    const std::uint32_t state = getU32(r + 4);
    // A torn or foreign record ends the history: what follows it was never committed.
    if (std::memcmp(r, kRecordStart, 4) != 0 || std::memcmp(r + 12, kRecordEnd, 4) != 0 || getU32(r + 8) != ~state ||
        state < 2 || state > 5) {
      break;
    }
    if (current == 4 || current == 5 || state < current) throw std::runtime_error("Migration state history conflicts");
    current = state;
  }
  return current;
}

bool hasValidSavedDescriptorLayout(const std::uint8_t* bytes, std::size_t size) noexcept {
  if (bytes == nullptr || size < 20) return false;
  if (bytes[0] != 1) return false;
  const std::uint16_t control = getU16(bytes + 2);
  if ((control & 0x8000) == 0 || (control & 0x0004) == 0) return false;
  if (getU32(bytes + 4) != 0 || getU32(bytes + 8) != 0 || getU32(bytes + 12) != 0) return false;
  const std::uint64_t daclOffset = getU32(bytes + 16);
  if (daclOffset < 20 || daclOffset % 4 != 0 || daclOffset > size - 8) return false;
  const std::uint16_t aclSize = getU16(bytes + daclOffset + 2);
  return aclSize >= 8 && aclSize <= size - daclOffset;
}

}  // namespace orvo
