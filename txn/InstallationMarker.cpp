#include "txn/InstallationMarker.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "common/FileSystemErrors.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "txn/MarkerGrammar.h"
#include "txn/TransactionPathRules.h"

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// Attributes, or nothing when absent (errors 2 and 3).
std::optional<DWORD> markerAttributes(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  if (isAbsentError(::GetLastError())) return std::nullopt;
  fail("Cannot inspect installation marker; existing file retained");
}

// True for an existing non-directory file; refuses links on the path.
bool probeMarker(const std::wstring& path) {
  std::wstring current = path;
  while (!current.empty()) {
    const auto attributes = markerAttributes(current);
    if (attributes && (*attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      fail("Installation marker cannot use links; existing file retained");
    }
    const std::wstring parent(parentPathText(current));
    if (parent == current) break;
    current = parent;
  }
  const auto attributes = markerAttributes(path);
  if (!attributes) return false;
  if (*attributes & FILE_ATTRIBUTE_DIRECTORY) fail("Installation marker is a directory; existing path retained");
  return true;
}

// The bytes of an existing marker that passed validation.
std::string readMarker(const std::wstring& path) {
  if (!probeMarker(path)) fail("Installation marker is missing or too large; existing file retained");
  std::error_code sizeError;
  const auto size = std::filesystem::file_size(std::filesystem::path(path), sizeError);
  if (sizeError) fail("Cannot read installation marker; existing file retained");
  if (size > MaxMarkerBytes) fail("Installation marker is missing or too large; existing file retained");

  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) fail("Cannot read installation marker; existing file retained");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) fail("Cannot read installation marker; existing file retained");
  validateMarker(bytes);
  return bytes;
}

}  // namespace

MarkerSnapshot prepareMarker(const std::wstring& candidateDirectory, const std::wstring& installRoot,
                             std::vector<TransactionEntry>& entries,
                             const std::function<std::wstring(const std::wstring&)>& digestFile) {
  const std::wstring installed = joinPath(installRoot, MarkerFileName);
  const std::wstring candidate = joinPath(candidateDirectory, MarkerFileName);

  MarkerSnapshot snapshot;
  snapshot.existed = probeMarker(installed);
  const std::string content = snapshot.existed ? readMarker(installed) : std::string(DefaultMarkerContent);
  // A payload that carries an invalid or foreign marker is refused.
  if (probeMarker(candidate)) readMarker(candidate);

  {
    UniqueHandle file(::CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH,
                                    nullptr));
    if (!file) fail("Cannot prepare installation marker");
    DWORD written = 0;
    if (!::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size() || !::FlushFileBuffers(file.get())) {
      fail("Cannot flush installation marker");
    }
  }

  const std::wstring lowerName = lowercaseText(MarkerFileName);
  std::erase_if(entries, [&](const TransactionEntry& entry) { return lowercaseText(entry.relativePath) == lowerName; });
  entries.push_back(TransactionEntry{MarkerFileName, content.size(), digestFile(candidate)});

  if (snapshot.existed) snapshot.content = content;
  return snapshot;
}

void verifyMarkerUnchanged(const std::wstring& installRoot, const MarkerSnapshot& snapshot) {
  const std::wstring installed = joinPath(installRoot, MarkerFileName);
  const bool exists = probeMarker(installed);
  if (exists != snapshot.existed || (exists && readMarker(installed) != snapshot.content)) {
    fail("Installation marker changed during preparation; existing file retained");
  }
}

}  // namespace orvo
