#pragma once
// The pieces of work an install cannot avoid, each done alone with the bare
// platform calls, so the benches can set the installer's time beside the sum
// of what it must do. Shared by floor-bench (the whole install) and txn-bench
// (the file transaction).
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "payload/Sha256.h"

namespace orvo::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0.0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

// The whole file in memory, read outside any timed span.
inline std::vector<std::uint8_t> readWhole(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.get(), &size)) throw std::runtime_error("cannot open " + std::to_string(::GetLastError()));
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 24));
    if (!::ReadFile(file.get(), bytes.data() + done, want, &got, nullptr) || got == 0) throw std::runtime_error("read");
    done += got;
  }
  return bytes;
}

// Seconds of one CNG SHA-256 pass over bytes already in memory, fed in 1 MiB
// pieces as a file digest feeds them: the most any file digest can reach.
inline double cngPassSeconds(const std::vector<std::uint8_t>& bytes) {
  const auto start = Clock::now();
  Sha256Hasher hasher;
  constexpr std::size_t kPiece = 1u << 20;
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    if (!hasher.update(bytes.data() + at, std::min(kPiece, bytes.size() - at))) throw std::runtime_error("SHA256 failed");
  }
  std::array<std::uint8_t, 32> digest{};
  if (!hasher.finish(digest)) throw std::runtime_error("SHA256 failed");
  return secondsSince(start);
}

// Every regular file under a directory, as full paths.
inline std::vector<std::filesystem::path> filesUnder(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::recursive_directory_iterator(directory)) {
    if (item.is_regular_file()) files.push_back(item.path());
  }
  return files;
}

// Copies every file of `files` (below `from`) to the same place below `to`,
// each copy then flushed through a write-through handle, as the transaction
// stages and backs up. Seconds for the copies alone (directories are made first).
inline double writeThroughCopies(const std::filesystem::path& from, const std::vector<std::filesystem::path>& files,
                                 const std::filesystem::path& to) {
  for (const auto& file : files) std::filesystem::create_directories((to / file.lexically_relative(from)).parent_path());
  const auto start = Clock::now();
  for (const auto& file : files) {
    const std::wstring target = (to / file.lexically_relative(from)).wstring();
    if (!::CopyFileW(file.c_str(), target.c_str(), TRUE)) throw std::runtime_error("CopyFileW failed");
    UniqueHandle copy(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!copy || !::FlushFileBuffers(copy.get())) throw std::runtime_error("flush failed");
  }
  return secondsSince(start);
}

}  // namespace orvo::bench
