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

// Bytes of the transaction journal for these relative paths under a root of
// rootChars characters, with an original record per file when the files
// replace existing ones: every journal write rewrites all of it.
inline std::size_t journalBytes(std::size_t rootChars, const std::vector<std::filesystem::path>& relativePaths,
                                bool originalsExist) {
  constexpr std::size_t kString = 8, kNumber = 8, kDigest = kString + 64 * 2;
  std::size_t bytes = (kString + 15 * 2) + (kString + rootChars * 2) + 3 * kNumber;
  for (const auto& path : relativePaths) {
    bytes += kString + path.wstring().size() * 2 + kNumber + kDigest + 2 * kNumber + (originalsExist ? kDigest : kString);
  }
  return bytes;
}

// Seconds of `count` journal publications of `bytes` bytes in `directory`, each
// as the transaction makes it: a write-through "journal.tmp" written in one
// piece and flushed, then moved over "journal.bin" with write-through.
inline double journalWrites(const std::filesystem::path& directory, int count, std::size_t bytes) {
  const std::vector<std::uint8_t> buffer(bytes, 0x5a);
  const std::wstring temporary = (directory / L"journal.tmp").wstring();
  const std::wstring published = (directory / L"journal.bin").wstring();
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    {
      UniqueHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH,
                                      nullptr));
      DWORD written = 0;
      if (!file || !::WriteFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr) ||
          written != buffer.size() || !::FlushFileBuffers(file.get())) {
        throw std::runtime_error("journal write failed");
      }
    }
    if (!::MoveFileExW(temporary.c_str(), published.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      throw std::runtime_error("journal publication failed");
    }
  }
  const double seconds = secondsSince(start);
  ::DeleteFileW(published.c_str());
  return seconds;
}

// Moves every file of `files` (below `from`) to the same place below `to` with
// write-through, replacing what stands there, as apply puts staged files in
// place. Seconds for the moves alone.
inline double writeThroughMoves(const std::filesystem::path& from, const std::vector<std::filesystem::path>& files,
                                const std::filesystem::path& to) {
  for (const auto& file : files) std::filesystem::create_directories((to / file.lexically_relative(from)).parent_path());
  const auto start = Clock::now();
  for (const auto& file : files) {
    const std::wstring target = (to / file.lexically_relative(from)).wstring();
    if (!::MoveFileExW(file.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      throw std::runtime_error("MoveFileExW failed");
    }
  }
  return secondsSince(start);
}

// Seconds to delete every file of `files` one by one, as clean-up deletes the
// backups and the installer its work directory.
inline double deleteFiles(const std::vector<std::filesystem::path>& files) {
  const auto start = Clock::now();
  for (const auto& file : files) {
    if (!::DeleteFileW(file.c_str())) throw std::runtime_error("DeleteFileW failed");
  }
  return secondsSince(start);
}

}  // namespace orvo::bench
