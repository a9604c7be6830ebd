#include "txn/TransactionJournal.h"

#include <stdexcept>

#include "txn/TransactionPathRules.h"

namespace orvo {
namespace {

void putU64(std::vector<std::uint8_t>& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putString(std::vector<std::uint8_t>& out, std::wstring_view text) {
  putU64(out, text.size());
  for (wchar_t c : text) {
    const auto unit = static_cast<std::uint16_t>(c);
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
}

// A bounded cursor over the journal bytes.
class JournalReader {
 public:
  JournalReader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  std::uint64_t u64() {
    if (size_ - position_ < 8) throw std::runtime_error("Truncated transaction journal");
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(bytes_[position_ + i]) << (8 * i);
    position_ += 8;
    return value;
  }

  std::wstring string() {
    const std::uint64_t count = u64();
    if (count > MaxJournalStringUnits || count > (size_ - position_) / 2) {
      throw std::runtime_error("Invalid transaction journal string");
    }
    std::wstring text(static_cast<std::size_t>(count), L'\0');
    for (auto& c : text) {
      c = static_cast<wchar_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
      position_ += 2;
    }
    return text;
  }

  bool atEnd() const { return position_ == size_; }

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace

std::vector<std::uint8_t> encodeJournal(std::wstring_view root, std::uint32_t state, std::uint32_t applyCursor,
                                        const std::vector<TransactionEntry>& entries,
                                        const std::vector<OriginalFileRecord>& originals) {
  std::vector<std::uint8_t> out;
  putString(out, JournalMagic);
  putString(out, lowercaseText(root));
  putU64(out, state);
  putU64(out, applyCursor);
  putU64(out, entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const OriginalFileRecord none;
    const OriginalFileRecord& original = i < originals.size() ? originals[i] : none;
    putString(out, entries[i].relativePath);
    putU64(out, entries[i].size);
    putString(out, lowercaseText(entries[i].sha256));
    putU64(out, original.existed ? 1 : 0);
    putU64(out, original.size);
    putString(out, original.sha256);
  }
  return out;
}

void checkJournalSize(std::uint64_t size) {
  if (size < MinJournalSize || size > MaxJournalSize) throw std::runtime_error("Invalid transaction journal size");
}

JournalProgress decodeJournal(const std::uint8_t* bytes, std::size_t size, std::wstring_view lowerRoot,
                              const std::vector<TransactionEntry>& entries) {
  JournalReader reader(bytes, size);
  if (reader.string() != JournalMagic) throw std::runtime_error("Transaction journal root mismatch");
  if (reader.string() != lowerRoot) throw std::runtime_error("Transaction journal root mismatch");

  const std::uint64_t state = reader.u64();
  const std::uint64_t applyCursor = reader.u64();
  const std::uint64_t count = reader.u64();
  if (state < 1 || state > 6 || count != entries.size() || applyCursor > count) {
    throw std::runtime_error("Transaction journal state mismatch");
  }

  JournalProgress progress;
  progress.state = static_cast<std::uint32_t>(state);
  progress.applyCursor = static_cast<std::uint32_t>(applyCursor);
  progress.originals.reserve(entries.size());
  for (const auto& entry : entries) {
    if (reader.string() != entry.relativePath || reader.u64() != entry.size ||
        reader.string() != lowercaseText(entry.sha256)) {
      throw std::runtime_error("Transaction recovery manifest differs; original installer required");
    }
    const std::uint64_t existed = reader.u64();
    const std::uint64_t originalSize = reader.u64();
    std::wstring originalSha256 = reader.string();
    const bool valid = (existed == 0 && originalSize == 0 && originalSha256.empty()) ||
                       (existed == 1 && isSha256Text(originalSha256));
    if (!valid) throw std::runtime_error("Invalid original file journal");
    progress.originals.push_back(OriginalFileRecord{existed == 1, originalSize, std::move(originalSha256)});
  }
  if (!reader.atEnd()) throw std::runtime_error("Unexpected transaction journal bytes");
  return progress;
}

}  // namespace orvo
