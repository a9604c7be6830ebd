#include "migration/MigrationLinkPlatform.h"

#include <atomic>

#include "migration/MigrationPathRules.h"
#include "migration/MigrationPaths.h"

namespace orvo {
namespace {

class FileSystemLinkPlatform final : public MigrationLinkPlatform {
 public:
  UniqueHandle openLink(const std::wstring& path, DWORD access, DWORD share) override {
    return openMigrationPath(path, access, share);
  }

  DWORD linkAttributes(HANDLE link) override {
    return takeFileSnapshot(link).dwFileAttributes;
  }

  std::vector<std::uint8_t> readReparseData(HANDLE link) override {
    std::vector<std::uint8_t> buffer(kReparseBufferSize);
    DWORD returned = 0;
    if (!::DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
      return {};
    }
    buffer.resize(returned);
    return buffer;
  }

  void moveLink(HANDLE link, const std::wstring& newPath) override {
    moveByHandle(link, newPath);
  }

  StreamListing listStreams(const std::wstring& path) override {
    StreamListing listing;
    WIN32_FIND_STREAM_DATA data{};
    UniqueFindHandle find(::FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &data, 0));
    if (!find) return listing;
    listing.enumerated = true;
    listing.names.emplace_back(data.cStreamName);
    // One further stream is enough to refuse the file.
    if (::FindNextStreamW(find.get(), &data)) {
      listing.names.emplace_back(data.cStreamName);
    } else {
      listing.complete = ::GetLastError() == ERROR_HANDLE_EOF;
    }
    return listing;
  }
};

FileSystemLinkPlatform fileSystemPlatform;
std::atomic<MigrationLinkPlatform*> bound{nullptr};

}  // namespace

MigrationLinkPlatform& migrationLinkPlatform() {
  MigrationLinkPlatform* platform = bound.load();
  return platform != nullptr ? *platform : fileSystemPlatform;
}

void bindMigrationLinkPlatform(MigrationLinkPlatform* platform) { bound.store(platform); }

}  // namespace orvo
