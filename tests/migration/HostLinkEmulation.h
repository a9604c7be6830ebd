#pragma once
// Where the platform has no junctions and no stream listing (Wine), a host
// symbolic link stands in for the ".platform" junction (makeDirectoryLink).
// This binding of the migration's link seam makes the stand-in behave as a
// junction would, and stands in for nothing else:
// - opening the link: the host follows the link to its target on every open,
//   so the handle denotes the target directory; it is taken without DELETE
//   and shares everything, since a junction's own handle would never lock the
//   user's data directory against the run's opens of it;
// - its attributes and reparse data: read by its current name; the target is
//   the one the host resolves now, written as a mount-point buffer, so a link
//   retargeted meanwhile is seen;
// - its move: by name on the host (a rename of the handle would move the
//   target directory instead);
// - streams: the host keeps none beyond a file's data, so a file lists its
//   one unnamed stream.
// Header-only: the crash runner binds it in its own process too.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/PathText.h"
#include "common/Utf.h"
#include "migration/MigrationLinkPlatform.h"
#include "migration/MigrationPathRules.h"
#include "migration/MigrationPaths.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {

class HostLinkEmulation final : public MigrationLinkPlatform {
 public:
  UniqueHandle openLink(const std::wstring& path, DWORD access, DWORD share) override {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      UniqueHandle handle = openMigrationPath(path, access, share);
      forget(handle.get());
      return handle;
    }
    UniqueHandle handle(::CreateFileW(path.c_str(), access & ~static_cast<DWORD>(DELETE),
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) throw std::runtime_error("Migration file is inaccessible or in use");
    std::lock_guard<std::mutex> lock(mutex_);
    links_[handle.get()] = path;
    return handle;
  }

  DWORD linkAttributes(HANDLE link) override {
    const std::wstring name = linkName(link);
    if (name.empty()) return takeFileSnapshot(link).dwFileAttributes;
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) throw std::runtime_error("Migration identity check failed");
    return attributes;
  }

  std::vector<std::uint8_t> readReparseData(HANDLE link) override {
    const std::wstring name = linkName(link);
    if (name.empty()) return {};
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return {};
    UniqueHandle target(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!target) return {};
    std::vector<wchar_t> text(32768);
    const DWORD length = ::GetFinalPathNameByHandleW(target.get(), text.data(), static_cast<DWORD>(text.size()),
                                                     VOLUME_NAME_DOS);
    if (length == 0 || length >= text.size()) return {};
    std::wstring resolved(text.data(), length);
    if (resolved.rfind(L"\\\\?\\", 0) == 0) resolved.erase(0, 4);
    return mountPointBuffer(L"\\??\\" + resolved);
  }

  void moveLink(HANDLE link, const std::wstring& newPath) override {
    const std::wstring name = linkName(link);
    if (name.empty()) {
      moveByHandle(link, newPath);
      return;
    }
    if (::GetFileAttributesW(newPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
      throw std::runtime_error("Migration atomic rename failed (" + std::to_string(ERROR_ALREADY_EXISTS) + ")");
    }
    const std::wstring arguments = L"-n -T \"" + utf8ToWide(test::unixPathOf(name)) + L"\" \"" +
                                   utf8ToWide(test::unixPathOf(newPath)) + L"\"";
    // Wine never signals a Unix program's handle: wait for the names instead.
    ChildProcess::start(L"Z:\\bin\\mv", arguments).detach();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (::GetFileAttributesW(newPath.c_str()) != INVALID_FILE_ATTRIBUTES &&
          ::GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::lock_guard<std::mutex> lock(mutex_);
        links_[link] = newPath;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("Migration atomic rename failed (" + std::to_string(ERROR_TIMEOUT) + ")");
  }

  StreamListing listStreams(const std::wstring& path) override {
    StreamListing listing;
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return listing;
    listing.enumerated = true;
    listing.complete = true;
    listing.names.push_back(L"::$DATA");
    return listing;
  }

  // The reparse buffer a junction to `substituteName` ("\??\C:\...") carries.
  static std::vector<std::uint8_t> mountPointBuffer(const std::wstring& substituteName) {
    const std::size_t nameBytes = substituteName.size() * 2;
    std::vector<std::uint8_t> buffer(16 + nameBytes + 4, 0);
    auto put16 = [&](std::size_t at, std::size_t value) {
      buffer[at] = static_cast<std::uint8_t>(value & 0xFF);
      buffer[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    };
    const std::uint32_t tag = kMountPointReparseTag;
    for (int i = 0; i < 4; ++i) buffer[i] = static_cast<std::uint8_t>((tag >> (8 * i)) & 0xFF);
    put16(4, buffer.size() - 8);
    put16(8, 0);
    put16(10, nameBytes);
    put16(12, nameBytes + 2);
    put16(14, 0);
    for (std::size_t i = 0; i < substituteName.size(); ++i) put16(16 + 2 * i, substituteName[i]);
    return buffer;
  }

 private:
  std::wstring linkName(HANDLE link) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = links_.find(link);
    return found == links_.end() ? std::wstring() : found->second;
  }

  void forget(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    links_.erase(handle);
  }

  std::mutex mutex_;
  std::map<HANDLE, std::wstring> links_;
};

// Binds the emulation for the life of the scope where the platform cannot
// make and read junctions or list streams; elsewhere leaves the real calls.
class HostLinksWhereNeeded {
 public:
  HostLinksWhereNeeded() {
    if (!platformHasJunctions() || !platformHasFileStreams()) {
      bindMigrationLinkPlatform(&emulation_);
      bound_ = true;
    }
  }
  ~HostLinksWhereNeeded() {
    if (bound_) bindMigrationLinkPlatform(nullptr);
  }
  HostLinksWhereNeeded(const HostLinksWhereNeeded&) = delete;
  HostLinksWhereNeeded& operator=(const HostLinksWhereNeeded&) = delete;
  bool emulated() const { return bound_; }

 private:
  HostLinkEmulation emulation_;
  bool bound_ = false;
};

}  // namespace orvo::test
