#include "txn/TransactionArea.h"

#include <set>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/FileSystemErrors.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "txn/TransactionPathRules.h"
#include "txn/TransactionPaths.h"

namespace orvo {
namespace {

constexpr wchar_t LeaseName[] = L"lease.lock";

std::set<std::wstring> ownedNames(std::size_t entryCount) {
  std::set<std::wstring> names{LeaseName, L"journal.bin", L"journal.tmp"};
  for (std::size_t i = 0; i < entryCount; ++i) {
    names.insert(indexedAreaFileName(L"new-", i));
    names.insert(indexedAreaFileName(L"old-", i));
    names.insert(indexedAreaFileName(L"restore-", i));
  }
  return names;
}

}  // namespace

TransactionArea::TransactionArea(std::wstring path) : path_(std::move(path)) {}

TransactionArea::~TransactionArea() { releaseHandles(); }

void TransactionArea::releaseHandles() noexcept {
  lease_.reset();
  pins_.clear();
}

std::optional<DWORD> TransactionArea::probe() const { return probeTransactionPath(path_); }

void TransactionArea::ensureDirectory(const std::wstring& directory) {
  if (directory.empty() || directory.size() == rootPartLength(directory)) return;
  const std::wstring parent(parentPathText(directory));
  if (parent != directory) ensureDirectory(parent);
  refuseReparsePath(directory);
  if (!probeTransactionPath(directory)) {
    if (!::CreateDirectoryW(directory.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      throw std::runtime_error("Cannot create transaction directory");
    }
  }
  pinDirectory(directory);
}

void TransactionArea::pinDirectory(const std::wstring& directory) {
  refuseReparsePath(directory);
  const auto attributes = probeTransactionPath(directory);
  if (!attributes || !(*attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw std::runtime_error("Transaction directory missing or conflicting");
  }
  UniqueHandle pin(::CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!pin) throw std::runtime_error("Cannot pin transaction directory");
  pins_.push_back(std::move(pin));
  // A directory swapped for a link between the check and the open is caught here.
  refuseReparsePath(directory);
}

void TransactionArea::open(bool create) {
  refuseReparsePath(path_);
  const auto attributes = probe();
  if (!attributes) {
    if (!create) return;
    if (!::CreateDirectoryW(path_.c_str(), nullptr)) {
      throw std::runtime_error("Cannot create same-volume transaction area");
    }
  } else if (!(*attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw std::runtime_error("Transaction area path conflict");
  }
  pinDirectory(path_);
  const std::wstring leasePath = filePath(LeaseName);
  UniqueHandle lease(::CreateFileW(leasePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!lease) throw std::runtime_error("Another installer or recovery owns transaction");
  lease_ = std::move(lease);
  refuseReparsePath(leasePath);
}

// The area is listed with the system's own enumeration: mingw's
// directory_iterator quietly lists the current directory instead once the
// area's path passes MAX_PATH, which would judge the wrong directory.
std::vector<std::wstring> TransactionArea::listItems() const {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  const std::wstring pattern = filePath(L"*");
  UniqueFindHandle find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!find) {
    throwFilesystemError("directory_iterator::directory_iterator",
                         std::error_code(static_cast<int>(::GetLastError()), std::system_category()), path_);
  }
  for (;;) {
    const std::wstring name(data.cFileName);
    if (name != L"." && name != L"..") names.push_back(name);
    if (!::FindNextFileW(find.get(), &data)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_NO_MORE_FILES) break;
      throwFilesystemError("directory_iterator::operator++",
                           std::error_code(static_cast<int>(error), std::system_category()), path_);
    }
  }
  return names;
}

void TransactionArea::scan(std::size_t entryCount) const {
  const std::set<std::wstring> allowed = ownedNames(entryCount);
  for (const std::wstring& name : listItems()) {
    const std::wstring itemPath = filePath(name);
    refuseReparsePath(itemPath);
    const auto attributes = probeTransactionPath(itemPath);
    const bool isDirectory = attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (isDirectory || !allowed.count(name)) {
      throw std::runtime_error("Unknown transaction area content; refusing cleanup");
    }
  }
}

bool TransactionArea::holdsOnlyLease() const {
  const std::vector<std::wstring> names = listItems();
  return names.size() == 1 && names.front() == LeaseName;
}

void TransactionArea::cleanup(std::size_t entryCount) {
  scan(entryCount);
  for (std::size_t i = 0; i < entryCount; ++i) {
    deleteOwnedFile(stagedPath(i));
    deleteOwnedFile(backupPath(i));
    deleteOwnedFile(restorePath(i));
  }
  // The journal goes after every staged and backup file, so an interrupted
  // cleanup still leaves a finished journal for the next run.
  deleteOwnedFile(filePath(L"journal.tmp"));
  deleteOwnedFile(filePath(L"journal.bin"));
  lease_.reset();
  deleteOwnedFile(filePath(LeaseName));
  pins_.clear();
  if (!::RemoveDirectoryW(path_.c_str())) throw std::runtime_error("Transaction directory not empty; retained");
}

std::wstring TransactionArea::filePath(const std::wstring& name) const { return joinPath(path_, name); }
std::wstring TransactionArea::stagedPath(std::size_t index) const {
  return filePath(indexedAreaFileName(L"new-", index));
}
std::wstring TransactionArea::backupPath(std::size_t index) const {
  return filePath(indexedAreaFileName(L"old-", index));
}
std::wstring TransactionArea::restorePath(std::size_t index) const {
  return filePath(indexedAreaFileName(L"restore-", index));
}

}  // namespace orvo
