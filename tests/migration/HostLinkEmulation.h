#pragma once
// Where the platform has no junctions (Wine), a host symbolic link made by makeDirectoryLink stands in for the
// ".platform" junction, and this binding of the migration's link seam makes it behave as one. The host follows the
// link on every open, so its handle denotes the user's directory: a link is known by its name, whose attributes and
// target are read afresh (a retargeted link is seen), and it moves by name with the host's mv (a rename through the
// handle would move the user's directory). The host keeps no stream beyond a file's data: a file lists `streams`.
#include <map>
#include <stdexcept>

#include "common/Utf.h"
#include "migration/MigrationLinkPlatform.h"
#include "migration/MigrationPaths.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {

// A directory link, as the host's links show: a reparse point.
inline bool isLink(const std::wstring& p) { const DWORD a = ::GetFileAttributesW(p.c_str()); return a != ~0u && (a & 0x400); }

class HostLinkEmulation final : public MigrationLinkPlatform {
 public:
  UniqueHandle openLink(const std::wstring& path, DWORD access, DWORD share) override {
    // A junction's own handle would never lock the user's directory against the run's opens of it.
    const bool link = isLink(path);
    UniqueHandle handle = openMigrationPath(path, link ? access & ~DWORD{DELETE} : access, link ? 7 : share);
    if (link) links_[handle.get()] = path; else links_.erase(handle.get());
    return handle;
  }
  DWORD linkAttributes(HANDLE link) override {
    if (!links_.count(link)) return takeFileSnapshot(link).dwFileAttributes;
    const DWORD attributes = ::GetFileAttributesW(links_[link].c_str());
    return attributes != ~0u ? attributes : throw std::runtime_error("Migration identity check failed");
  }
  std::vector<std::uint8_t> readReparseData(HANDLE link) override {
    if (!links_.count(link) || !isLink(links_[link])) return {};
    UniqueHandle target(::CreateFileW(links_[link].c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t path[MAX_PATH];  // "\\?\C:\..."
    const DWORD size = target ? ::GetFinalPathNameByHandleW(target.get(), path, MAX_PATH, VOLUME_NAME_DOS) : 0;
    if (size < 4 || size >= MAX_PATH) return {};
    return mountPointBuffer(L"\\??\\" + std::wstring(path + 4, size - 4));
  }
  void moveLink(HANDLE link, const std::wstring& newPath) override {
    if (!links_.count(link)) return moveByHandle(link, newPath);
    const std::wstring from = links_[link], to = newPath;
    if (::GetFileAttributesW(to.c_str()) != ~0u) throw std::runtime_error("Migration atomic rename failed (183)");
    ChildProcess::start(L"Z:\\bin\\mv", L"-n -T \"" + utf8ToWide(unixPathOf(from) + "\" \"" + unixPathOf(to)) + L"\"").detach();
    // Wine never signals a Unix program's handle: wait for the names instead.
    for (int i = 0; i < 1000 && ::GetFileAttributesW(from.c_str()) != ~0u; ++i) ::Sleep(20);
    if (!isLink(links_[link] = to)) throw std::runtime_error("Migration atomic rename failed (1460)");
  }
  StreamListing listStreams(const std::wstring& path) override {
    return ::GetFileAttributesW(path.c_str()) == ~0u ? StreamListing{} : streams;
  }

  // A mount-point reparse buffer to `name` ("\??\C:\..."): tag, data length, reserved, the substitute name's offset
  // and length, the empty print name's, then the name and both terminators.
  static std::vector<std::uint8_t> mountPointBuffer(const std::wstring& name) {
    std::vector<std::uint8_t> b;
    const auto put = [&](std::size_t value, int size) { while (size-- > 0) b.push_back(std::uint8_t(value)), value >>= 8; };
    put(kMountPointReparseTag, 4);
    const std::size_t n = name.size() * 2;
    for (std::size_t value : std::initializer_list<std::size_t>{12 + n, 0, 0, n, n + 2, 0}) put(value, 2);
    for (wchar_t c : name) put(c, 2);
    return put(0, 4), b;
  }

  StreamListing streams{true, true, {L"::$DATA"}};

 private:
  std::map<HANDLE, std::wstring> links_;
};

// Binds the emulation for the life of the scope.
struct HostLinks {
  HostLinks() { bindMigrationLinkPlatform(&emulation); }
  ~HostLinks() { bindMigrationLinkPlatform(nullptr); }
  HostLinkEmulation emulation;
};

}  // namespace orvo::test
