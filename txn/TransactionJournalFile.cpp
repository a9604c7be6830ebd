#include "txn/TransactionJournalFile.h"

#include <windows.h>

#include <stdexcept>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "txn/TransactionJournal.h"
#include "txn/TransactionPaths.h"

namespace orvo {

void writeJournalFile(const std::wstring& area, const std::vector<std::uint8_t>& bytes) {
  const std::wstring temporary = joinPath(area, L"journal.tmp");
  const std::wstring published = joinPath(area, L"journal.bin");
  refuseReparsePath(area);
  refuseReparsePath(temporary);
  {
    UniqueHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH,
                                    nullptr));
    if (!file) throw std::runtime_error("Cannot persist transaction journal");
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !::FlushFileBuffers(file.get())) {
      throw std::runtime_error("Cannot flush transaction journal");
    }
  }
  refuseReparsePath(published);
  if (!::MoveFileExW(temporary.c_str(), published.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw std::runtime_error("Cannot publish transaction journal");
  }
}

std::vector<std::uint8_t> readJournalFile(const std::wstring& area) {
  const std::wstring published = joinPath(area, L"journal.bin");
  refuseReparsePath(published);
  UniqueHandle file(::CreateFileW(published.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) throw std::runtime_error("Transaction journal missing; area retained for inspection");
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) {
    throw std::runtime_error("Invalid transaction journal size");
  }
  checkJournalSize(static_cast<std::uint64_t>(size.QuadPart));
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
      read != bytes.size()) {
    throw std::runtime_error("Cannot read transaction journal");
  }
  return bytes;
}

}  // namespace orvo
