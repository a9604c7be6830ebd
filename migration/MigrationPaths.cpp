#include "migration/MigrationPaths.h"

#include <objbase.h>

#include <memory>
#include <stdexcept>

#include "migration/MigrationLinkPlatform.h"
#include "payload/Sha256.h"

namespace orvo {
namespace {

constexpr DWORD kNoFollowFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kFullPathCapacity = 32768;
constexpr DWORD kChunkSize = 262144;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

bool hasAnyOf(DWORD attributes, DWORD bits) { return (attributes & bits) != 0; }

}  // namespace

std::wstring joinMigrationPath(const std::wstring& root, const std::wstring& relative) {
  if (relative.empty()) return root;
  return root + L'\\' + relative;
}

std::wstring normalizeMigrationPath(const std::wstring& path) {
  requireLocalAbsoluteSyntax(path);
  std::unique_ptr<wchar_t[]> buffer(new wchar_t[kFullPathCapacity]());
  const DWORD length = ::GetFullPathNameW(path.c_str(), kFullPathCapacity, buffer.get(), nullptr);
  if (length == 0 || length >= kFullPathCapacity) fail("Migration path invalid");
  std::wstring full(buffer.get(), length);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  if (full.size() <= 3 || ::GetDriveTypeW(full.substr(0, 3).c_str()) != DRIVE_FIXED) {
    fail("Migration target must be a local fixed-drive directory");
  }
  requireValidComponents(full);
  return full;
}

std::wstring newMigrationId() {
  GUID guid{};
  if (FAILED(::CoCreateGuid(&guid))) fail("Migration transaction identity unavailable");
  wchar_t text[40] = {};
  const int written = ::StringFromGUID2(guid, text, 40);
  return migrationIdFromGuidText(std::wstring_view(text, written > 0 ? static_cast<std::size_t>(written - 1) : 0));
}

FileSnapshot takeFileSnapshot(HANDLE handle) {
  FileSnapshot snapshot{};
  if (!::GetFileInformationByHandle(handle, &snapshot)) fail("Migration identity check failed");
  return snapshot;
}

FileIdentity identityOf(const FileSnapshot& snapshot) noexcept {
  return FileIdentity{snapshot.dwVolumeSerialNumber, snapshot.nFileIndexHigh, snapshot.nFileIndexLow};
}

FileIdentity readFileIdentity(HANDLE handle) { return identityOf(takeFileSnapshot(handle)); }

UniqueHandle openMigrationPath(const std::wstring& path, DWORD access, DWORD share) {
  UniqueHandle handle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, kNoFollowFlags, nullptr));
  if (!handle) fail("Migration file is inaccessible or in use");
  return handle;
}

namespace {

UniqueHandle openPinnedDirectory(const std::wstring& path) {
  UniqueHandle handle = openMigrationPath(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!isOrdinaryDirectory(takeFileSnapshot(handle.get()).dwFileAttributes)) {
    fail("Migration rejects linked parent directories");
  }
  return handle;
}

}  // namespace

PinnedChain pinMigrationChain(const std::wstring& path) {
  PinnedChain chain;
  std::wstring accumulated = path.substr(0, 3);
  chain.append(openPinnedDirectory(accumulated));
  std::size_t at = 3;
  while (at < path.size()) {
    std::size_t end = path.find(L'\\', at);
    if (end == std::wstring::npos) end = path.size();
    if (end > at) {
      if (accumulated.back() != L'\\') accumulated += L'\\';
      accumulated.append(path, at, end - at);
      chain.append(openPinnedDirectory(accumulated));
    }
    at = end + 1;
  }
  return chain;
}

std::wstring readJunctionTarget(HANDLE linkHandle) {
  const std::vector<std::uint8_t> data = migrationLinkPlatform().readReparseData(linkHandle);
  if (data.size() < 16) fail("Migration link metadata unavailable");
  return normalizeMigrationPath(parseJunctionSubstituteName(data.data(), data.size()));
}

bool pinnedChainsOverlap(const PinnedChain& first, const PinnedChain& second) {
  const auto holds = [](const PinnedChain& chain, const FileIdentity& identity) {
    for (std::size_t i = 0; i < chain.size(); ++i) {
      if (readFileIdentity(chain.at(i)) == identity) return true;
    }
    return false;
  };
  return holds(second, readFileIdentity(first.last())) || holds(first, readFileIdentity(second.last()));
}

std::vector<std::wstring> listChildNames(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  const std::wstring pattern = directory + L"\\*";
  UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
  if (!find) {
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return names;
    fail("Migration directory cannot be enumerated");
  }
  bool bad = false;
  DWORD lastError = 0;
  for (;;) {
    const std::wstring name(data.cFileName);
    if (name != L"." && name != L"..") {
      if (isAcceptableChildName(name)) {
        names.push_back(name);
      } else {
        bad = true;
      }
    }
    if (!::FindNextFileW(find.get(), &data)) {
      lastError = ::GetLastError();
      break;
    }
  }
  find.reset();
  if (lastError != ERROR_NO_MORE_FILES || bad) fail("Migration directory enumeration failed");
  sortByCodeUnits(names);
  return names;
}

void requireSingleDataStream(const std::wstring& filePath) {
  const StreamListing listing = migrationLinkPlatform().listStreams(filePath);
  if (!listing.enumerated) fail("Migration file streams cannot be verified");
  if (!listing.complete || listing.names.size() != 1 || listing.names.front() != L"::$DATA") {
    fail("Migration rejects alternate file streams");
  }
}

Sha256Digest hashOpenFile(HANDLE handle) {
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN)) fail("Migration read seek failed");
  Sha256Hasher hasher;
  std::vector<std::uint8_t> buffer(kChunkSize);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(handle, buffer.data(), kChunkSize, &read, nullptr)) fail("Migration source read failed");
    if (read == 0) break;
    if (!hasher.update(buffer.data(), read)) fail("Migration hash failed");
  }
  Sha256Digest digest{};
  if (!hasher.finish(digest)) fail("Migration hash failed");
  return digest;
}

void moveByHandle(HANDLE handle, const std::wstring& newPath) {
  const std::size_t pathBytes = newPath.size() * sizeof(wchar_t);
  const std::size_t size = sizeof(FILE_RENAME_INFO) + pathBytes + sizeof(wchar_t);
  std::vector<std::uint8_t> buffer(size, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(pathBytes);
  std::copy(newPath.begin(), newPath.end(), info->FileName);
  if (!::SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(size))) {
    const DWORD code = ::GetLastError();
    throw std::runtime_error("Migration atomic rename failed (" + std::to_string(code) + ")");
  }
}

void walkMigrationTree(const std::wstring& root, const std::wstring& relative, std::vector<MigrationTreeEntry>& entries,
                       int depth) {
  if (depth > kMaxWalkDepth || entries.size() > kMaxWalkEntries) fail("Migration data tree exceeds safety bounds");
  const std::vector<std::wstring> names = listChildNames(joinMigrationPath(root, relative));
  for (const std::wstring& name : names) {
    const std::wstring child = relative.empty() ? name : relative + L'\\' + name;
    const std::wstring full = joinMigrationPath(root, child);
    MigrationTreeEntry entry;
    entry.relativePath = child;
    entry.handle = openMigrationPath(full, GENERIC_READ, FILE_SHARE_READ);
    entry.snapshot = takeFileSnapshot(entry.handle.get());
    const DWORD attributes = entry.snapshot.dwFileAttributes;
    if (hasAnyOf(attributes, kAttributeReparsePoint | kAttributeOffline | kAttributeEncrypted | kAttributeDevice)) {
      fail("Migration rejects nested links or encrypted/offline data");
    }
    entry.isDirectory = hasAnyOf(attributes, kAttributeDirectory);
    if (!entry.isDirectory) {
      if (entry.snapshot.nNumberOfLinks != 1 || ::GetFileType(entry.handle.get()) != FILE_TYPE_DISK) {
        fail("Migration rejects linked or special files");
      }
      requireSingleDataStream(full);
      entry.digest = hashOpenFile(entry.handle.get());
    }
    entries.push_back(std::move(entry));
    if (entries.back().isDirectory) walkMigrationTree(root, child, entries, depth + 1);
  }
}

}  // namespace orvo
