#include "txn/TransactionPaths.h"

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "common/FileSystemErrors.h"
#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "txn/TransactionPathRules.h"

namespace orvo {

std::optional<DWORD> probeTransactionPath(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  if (isAbsentError(::GetLastError())) return std::nullopt;
  throw std::runtime_error("Cannot inspect transaction path");
}

void refuseReparsePath(const std::wstring& path) {
  std::wstring current = path;
  while (!current.empty()) {
    const auto attributes = probeTransactionPath(current);
    if (attributes && (*attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      throw std::runtime_error("Transaction refuses reparse paths");
    }
    const std::wstring parent(parentPathText(current));
    if (parent == current) break;
    current = parent;
  }
}

std::uint64_t transactionFileSize(const std::wstring& path) {
  return std::filesystem::file_size(std::filesystem::path(path));
}

bool fileMatches(const std::wstring& path, std::uint64_t size, const std::wstring& sha256,
                 const DigestFile& digestFile) {
  refuseReparsePath(path);
  const auto attributes = probeTransactionPath(path);
  if (!attributes || (*attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (transactionFileSize(path) != size) return false;
  return lowercaseText(digestFile(path)) == lowercaseText(sha256);
}

UniqueHandle openMatchingFile(const std::wstring& path, std::uint64_t size, const std::wstring& sha256,
                              const DigestFile& digestFile) {
  refuseReparsePath(path);
  UniqueHandle file = openNoFollow(path, GENERIC_READ, FILE_SHARE_READ);
  std::uint64_t actualSize = 0;
  if (!file || nodeKindOf(file.get()) != NodeKind::RegularFile || !fileSizeOf(file.get(), actualSize) ||
      actualSize != size) {
    return UniqueHandle();
  }
  try {
    // Digested by name while held: the handle admits no writer and no
    // rename, so the name still leads to the very file it opened.
    if (lowercaseText(digestFile(path)) != lowercaseText(sha256)) return UniqueHandle();
  } catch (const std::exception&) {
    return UniqueHandle();  // unreadable: not the file it must be
  }
  return file;
}

void copyAndFlush(HANDLE source, const std::wstring& target) {
  const auto fail = [] { return std::runtime_error("Cannot stage or back up transaction file"); };
  refuseReparsePath(target);
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) throw fail();
  UniqueHandle copy(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
  if (!copy) throw fail();
  std::vector<char> buffer(1 << 20);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) throw fail();
    if (read == 0) break;
    DWORD written = 0;
    if (!::WriteFile(copy.get(), buffer.data(), read, &written, nullptr) || written != read) throw fail();
  }
  if (!::FlushFileBuffers(copy.get())) throw std::runtime_error("Cannot flush staged transaction file");
}

void deleteOwnedFile(const std::wstring& path) {
  refuseReparsePath(path);
  const auto attributes = probeTransactionPath(path);
  if (!attributes) return;
  if (*attributes & FILE_ATTRIBUTE_DIRECTORY) throw std::runtime_error("Transaction file became directory");
  if (!::DeleteFileW(path.c_str())) {
    throw std::runtime_error("Cannot clean transaction-owned file; recovery retained");
  }
}

}  // namespace orvo
