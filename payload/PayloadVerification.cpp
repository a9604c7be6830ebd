#include "payload/PayloadVerification.h"

#include <windows.h>

#include <stdexcept>
#include <system_error>

#include "common/FileSystemErrors.h"
#include "common/LinkCheck.h"
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

// The size of the regular file at `full`, links followed; throws "平台文件缺失："
// when there is none and the "status" error when the system cannot say.
std::uint64_t regularFileSize(const std::wstring& full, const ManifestEntry& entry) {
  // Backup semantics let a directory open too, so that it is recognised rather than misreported.
  UniqueHandle file(::CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    if (meansNotFound(error)) missingFile(entry);
    throwFilesystemError("status", std::error_code(static_cast<int>(error), std::system_category()), full);
  }
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) missingFile(entry);  // a device is not a file
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.get(), &information)) {
    throwFilesystemError("status", std::error_code(static_cast<int>(::GetLastError()), std::system_category()), full);
  }
  if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) missingFile(entry);
  return (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
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
    if (regularFileSize(full, entry) != entry.size) missingFile(entry);
    const std::wstring digest = sha256File(
        full,
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
