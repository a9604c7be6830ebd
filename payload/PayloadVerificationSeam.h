#pragma once
// Test seam of the payload verification: verifyPayloadFiles with the manifest
// as a parameter instead of resource 105, and its progress arithmetic.
#include <cstdint>
#include <string>
#include <vector>

#include "common/Progress.h"
#include "payload/ManifestEntry.h"

namespace orvo {

// verifyPayloadFiles(root, ...) is verifyManifestFiles(loadEmbeddedFileManifest(), root, ...).
std::vector<ManifestEntry> verifyManifestFiles(std::vector<ManifestEntry> manifest, const std::wstring& root,
                                               const ProgressReport& report, const CancelCheck& checkCancelled);

// The install bar's value for `verified` of `total` manifest bytes:
// 90 + verified × 4 / total, exact and without overflow for any 64-bit values.
int verificationBarPercent(std::uint64_t verified, std::uint64_t total) noexcept;

}  // namespace orvo
