#pragma once
// "platform-installation.json": the file that says an install directory
// belongs to this product. It is never edited in place: its content is decided
// before the transaction (the existing marker, kept byte for byte after a
// strict check, or the default), written into the candidate directory and
// listed last in the manifest, so the transaction installs it after every
// other file and its rollback restores it first.
//
// Guarantees: every failure throws its message and changes nothing under the
// install root; a marker that is not exactly ours is left untouched.
#include <functional>
#include <string>
#include <vector>

#include "txn/TransactionEntry.h"

namespace orvo {

inline constexpr wchar_t MarkerFileName[] = L"platform-installation.json";

struct MarkerSnapshot {
  bool existed = false;
  std::string content;  // empty when no marker existed
};

// Writes the candidate marker and lists it last in `entries`.
MarkerSnapshot prepareMarker(const std::wstring& candidateDirectory, const std::wstring& installRoot,
                             std::vector<TransactionEntry>& entries,
                             const std::function<std::wstring(const std::wstring&)>& digestFile);

// Throws when the installed marker appeared, vanished or changed since `snapshot`.
void verifyMarkerUnchanged(const std::wstring& installRoot, const MarkerSnapshot& snapshot);

}  // namespace orvo
