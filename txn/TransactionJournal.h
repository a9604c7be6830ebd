#pragma once
// The byte format of "journal.bin": encoder and strict decoder, with no
// file-system access and no Windows headers, so the format is tested and
// fuzzed on its own.
//
// Guarantees: the encoder writes exactly the fixed layout (little-endian u64
// numbers, UTF-16LE strings with u64 counts, magic "ORVO-FILE-TXN-1"); the
// decoder never reads outside its buffer, refuses any deviation with the
// message of the first check that fails, and returns a result only when every
// check passed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "txn/TransactionEntry.h"

namespace orvo {

// What stood at an entry's destination when preparation examined it.
struct OriginalFileRecord {
  bool existed = false;
  std::uint64_t size = 0;
  std::wstring sha256;  // empty when nothing existed
};

inline constexpr std::wstring_view JournalMagic = L"ORVO-FILE-TXN-1";
inline constexpr std::uint64_t MinJournalSize = 32;
inline constexpr std::uint64_t MaxJournalSize = 1048576;
inline constexpr std::uint64_t MaxJournalStringUnits = 32768;

// Serialises a journal. The root and each entry's digest are lowercased; paths
// and original digests are written as held.
std::vector<std::uint8_t> encodeJournal(std::wstring_view root, std::uint32_t state, std::uint32_t applyCursor,
                                        const std::vector<TransactionEntry>& entries,
                                        const std::vector<OriginalFileRecord>& originals);

// Throws "Invalid transaction journal size" outside 32..1,048,576 bytes.
void checkJournalSize(std::uint64_t size);

// The part of a journal that a transaction adopts.
struct JournalProgress {
  std::uint32_t state = 0;
  std::uint32_t applyCursor = 0;
  std::vector<OriginalFileRecord> originals;
};

// Parses a journal and checks it against the transaction built from the
// current manifest: `lowerRoot` is its lowercase root, `entries` its normalised
// entries with lowercase digests.
JournalProgress decodeJournal(const std::uint8_t* bytes, std::size_t size, std::wstring_view lowerRoot,
                              const std::vector<TransactionEntry>& entries);

}  // namespace orvo
