#pragma once
// Durable publication and strict reading of "journal.bin" in a transaction
// area.
//
// Guarantees: a journal is written whole to "journal.tmp" with write-through,
// flushed, and renamed over "journal.bin", so "journal.bin" always holds either
// the previous complete journal or the new one; reading returns the whole file
// only when its size lies within the format's bounds.
#include <cstdint>
#include <string>
#include <vector>

namespace orvo {

void writeJournalFile(const std::wstring& area, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readJournalFile(const std::wstring& area);

}  // namespace orvo
