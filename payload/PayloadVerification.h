#pragma once
// Verification of an extracted payload against the installer file manifest that
// the installer carries (raw-data resource 105): every listed file must be
// there, reached without links, a regular file of the listed size and digest.
//
// Guarantees: entries are checked in manifest order and the first failure
// throws, naming the entry's path; the size is compared before the file is
// read; nothing on disk changes; progress stays within 90..94 and never goes
// back. Files that the manifest does not list are ignored.
#include <string>
#include <vector>

#include "common/Progress.h"
#include "payload/ManifestEntry.h"

namespace orvo {

constexpr int kFileManifestResource = 105;

// parseFileManifest of resource 105; throws "Embedded resource missing" without it.
std::vector<ManifestEntry> loadEmbeddedFileManifest();

// Verifies `root` against the embedded manifest and returns that manifest. Messages:
// "Install directory cannot use links", "平台文件缺失：" + path (absent, not a
// regular file, other size), "平台文件校验失败：" + path (other digest), the
// file-system errors "status" and "file_size", and those of sha256File. Each
// file is opened once without following links and its size and digest are
// read through that handle.
std::vector<ManifestEntry> verifyPayloadFiles(const std::wstring& root, const ProgressReport& report,
                                              const CancelCheck& checkCancelled);

}  // namespace orvo
