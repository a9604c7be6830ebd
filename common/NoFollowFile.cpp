#include "common/NoFollowFile.h"

#include <vector>

namespace orvo {
namespace {

constexpr DWORD kNoFollowFlags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

bool attributesOf(HANDLE handle, DWORD& attributes) noexcept {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
    attributes = tag.FileAttributes;
    return true;
  }
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) return false;
  attributes = basic.FileAttributes;
  return true;
}

std::wstring childPath(const std::wstring& directory, const wchar_t* name) {
  std::wstring path = directory;
  if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
  path += name;
  return path;
}

bool isDotName(const wchar_t* name) noexcept {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool removeEntry(const std::wstring& path, bool listedAsLink);

// Deletes everything below the directory at `path`, which the caller holds open.
bool removeChildren(const std::wstring& path) {
  WIN32_FIND_DATAW data{};
  const std::wstring pattern = childPath(path, L"*");
  UniqueFindHandle find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  // The listing is taken in full before anything is removed, so deletions
  // never race the enumeration's own position.
  std::vector<std::pair<std::wstring, bool>> entries;
  for (;;) {
    if (!isDotName(data.cFileName)) {
      entries.emplace_back(data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
    }
    if (!::FindNextFileW(find.get(), &data)) {
      if (::GetLastError() != ERROR_NO_MORE_FILES) return false;
      break;
    }
  }
  find.reset();
  bool all = true;
  for (const auto& [name, listedAsLink] : entries) {
    if (!removeEntry(childPath(path, name.c_str()), listedAsLink)) all = false;
  }
  return all;
}

bool sameObject(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& expected) noexcept {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileInformationByHandle(handle, &info) && info.dwVolumeSerialNumber == expected.dwVolumeSerialNumber &&
         info.nFileIndexHigh == expected.nFileIndexHigh && info.nFileIndexLow == expected.nFileIndexLow;
}

UniqueHandle openForDelete(const std::wstring& path, DWORD& error) {
  // No delete sharing: while this handle is open the entry cannot be renamed,
  // replaced by a link, or removed by anyone else.
  return openNoFollow(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, 0, &error);
}

// An ordinary directory: held open while its contents go, then deleted
// through a handle that must still name the same directory. The handle that
// is held has no DELETE access, because the listing opens the directory too
// and some platforms refuse that beside a handle with DELETE access.
bool removeDirectory(const std::wstring& path, const BY_HANDLE_FILE_INFORMATION& identity) {
  {
    UniqueHandle held = openNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!held || nodeKindOf(held.get()) != NodeKind::Directory || !sameObject(held.get(), identity)) return false;
    if (!removeChildren(path)) return false;
  }
  DWORD error = 0;
  UniqueHandle handle = openForDelete(path, error);
  if (!handle || nodeKindOf(handle.get()) != NodeKind::Directory || !sameObject(handle.get(), identity)) return false;
  return deleteByHandle(handle.get());
}

// Removes one entry met in a listing. `listedAsLink` is what the listing said;
// the handle must say the same before anything is deleted through it.
bool removeEntry(const std::wstring& path, bool listedAsLink) {
  DWORD error = 0;
  UniqueHandle handle = openForDelete(path, error);
  if (!handle) return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  const NodeKind kind = nodeKindOf(handle.get());
  if (listedAsLink || kind == NodeKind::Link) {
    // Only a handle that shows the reparse point holds the link itself; a
    // platform that opened the target instead would delete the target.
    if (!listedAsLink || kind != NodeKind::Link) return false;
    return deleteByHandle(handle.get());
  }
  if (kind == NodeKind::RegularFile) return deleteByHandle(handle.get());
  if (kind != NodeKind::Directory) return false;
  BY_HANDLE_FILE_INFORMATION identity{};
  if (!::GetFileInformationByHandle(handle.get(), &identity)) return false;
  handle.reset();
  return removeDirectory(path, identity);
}

}  // namespace

UniqueHandle openNoFollow(const std::wstring& path, DWORD access, DWORD share, DWORD extraFlags, DWORD* error) {
  UniqueHandle handle(
      ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, kNoFollowFlags | extraFlags, nullptr));
  if (!handle && error) *error = ::GetLastError();
  return handle;
}

NodeKind nodeKindOf(HANDLE handle) noexcept {
  DWORD attributes = 0;
  if (!attributesOf(handle, attributes)) return NodeKind::Other;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return NodeKind::Link;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return NodeKind::Directory;
  return ::GetFileType(handle) == FILE_TYPE_DISK ? NodeKind::RegularFile : NodeKind::Other;
}

bool fileSizeOf(HANDLE handle, std::uint64_t& size) noexcept {
  LARGE_INTEGER value{};
  if (!::GetFileSizeEx(handle, &value) || value.QuadPart < 0) return false;
  size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

bool deleteByHandle(HANDLE handle) noexcept {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition))) return true;
  if (::GetLastError() != ERROR_ACCESS_DENIED) return false;
  DWORD attributes = 0;
  if (!attributesOf(handle, attributes) || !(attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) basic.FileAttributes &= ~FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic))) return false;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool removeTreeNoFollow(const std::wstring& path) noexcept {
  try {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = ::GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return removeEntry(path, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
  } catch (...) {
    // Only allocation can throw here; a tree that could not be walked is not removed.
    return false;
  }
}

}  // namespace orvo
