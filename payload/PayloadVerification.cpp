#include "payload/PayloadVerification.h"
#include "payload/PayloadVerificationSeam.h"

#include <windows.h>

#include <stdexcept>
#include <system_error>

#include "common/FileSystemErrors.h"
#include "common/LinkCheck.h"
#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/EmbeddedResource.h"
#include "payload/InstallerFileManifest.h"
#include "payload/Sha256.h"

namespace orvo {
namespace {

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) noexcept {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

[[noreturn]] void missingFile(const ManifestEntry& entry) {
  throw std::runtime_error("平台文件缺失：" + wideToUtf8(entry.relativePath));
}

// The errors by which the system says that a name leads nowhere.
bool meansNotFound(DWORD error) noexcept {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
         error == ERROR_INVALID_NAME;
}

// The file at `full`, opened once without following links and held without
// write or delete sharing, so that its size and digest are read from the same
// object. Throws "平台文件缺失：" when there is no regular file, "Install
// directory cannot use links" for a link that appeared after the path check,
// and the "status" error when the system cannot say.
UniqueHandle openVerifiedFile(const std::wstring& full, const ManifestEntry& entry) {
  DWORD error = 0;
  UniqueHandle file = openNoFollow(full, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN, &error);
  if (!file) {
    if (meansNotFound(error)) missingFile(entry);
    throwFilesystemError("status", std::error_code(static_cast<int>(error), std::system_category()), full);
  }
  switch (nodeKindOf(file.get())) {
    case NodeKind::RegularFile:
      return file;
    case NodeKind::Link:
      throw std::runtime_error("Install directory cannot use links");
    default:
      missingFile(entry);  // a directory or a device is not a file
  }
}

}  // namespace

int verificationBarPercent(std::uint64_t verified, std::uint64_t total) noexcept {
  if (total == 0 || verified >= total) return 94;
  // floor(4 × verified / total) without forming 4 × verified: count the quarters
  // k for which verified >= ceil(k × total / 4).
  const std::uint64_t quarter = total / 4;
  const std::uint64_t remainder = total % 4;
  int quarters = 0;
  for (std::uint64_t k = 1; k <= 3; ++k) {
    if (verified >= k * quarter + (k * remainder + 3) / 4) quarters = static_cast<int>(k);
  }
  return 90 + quarters;
}

std::vector<ManifestEntry> loadEmbeddedFileManifest() {
  const std::vector<unsigned char> bytes = readEmbeddedResource(kFileManifestResource);
  return parseFileManifest(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<ManifestEntry> verifyPayloadFiles(const std::wstring& root, const ProgressReport& report,
                                              const CancelCheck& checkCancelled) {
  return verifyManifestFiles(loadEmbeddedFileManifest(), root, report, checkCancelled);
}

std::vector<ManifestEntry> verifyManifestFiles(std::vector<ManifestEntry> manifest, const std::wstring& root,
                                               const ProgressReport& report, const CancelCheck& checkCancelled) {
  std::uint64_t total = 0;
  for (const auto& entry : manifest) total = saturatingAdd(total, entry.size);
  std::uint64_t done = 0;
  for (const auto& entry : manifest) {
    const std::wstring full = joinPath(root, entry.relativePath);
    checkNoLinks(full);
    const UniqueHandle file = openVerifiedFile(full, entry);
    std::uint64_t size = 0;
    if (!fileSizeOf(file.get(), size)) {
      throwFilesystemError("file_size", std::error_code(static_cast<int>(::GetLastError()), std::system_category()),
                           full);
    }
    if (size != entry.size) missingFile(entry);
    const std::wstring digest = sha256OfHandle(
        file.get(),
        [&](std::uint64_t hashed) {
          if (report)
            report(verificationBarPercent(saturatingAdd(done, hashed), total), L"正在校验安装文件", entry.relativePath);
        },
        checkCancelled);
    if (digest != entry.sha256) throw std::runtime_error("平台文件校验失败：" + wideToUtf8(entry.relativePath));
    done = saturatingAdd(done, entry.size);
  }
  return manifest;
}

}  // namespace orvo
