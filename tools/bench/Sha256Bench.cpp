// Times sha256File on one file and prints "<digest> <seconds> <MiB/s>": the
// installer's digest path as it runs, 1 MiB chunks with a progress callback.
// With --cng-only it hashes the same file's bytes from memory instead (read
// before the clock starts), in the same 1 MiB pieces: the CNG primitive alone
// on the same bytes. With --cng-hot it hashes the file's first 1 MiB over and
// over, as many times as the file has MiB: the primitive on bytes that stay in
// the processor's cache, which no file digest can reach.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/Utf.h"
#include "payload/Sha256.h"
#include "tools/bench/FloorWork.h"

namespace {

int hashFromMemory(const std::wstring& path) {
  const auto bytes = orvo::bench::readWhole(path);
  const double seconds = orvo::bench::cngPassSeconds(bytes);
  std::printf("- %.3f %.1f\n", seconds, static_cast<double>(bytes.size()) / 1048576.0 / seconds);
  return 0;
}

int hashCacheResident(const std::wstring& path) {
  auto bytes = orvo::bench::readWhole(path);
  const std::size_t passes = bytes.size() >> 20;
  bytes.resize(std::size_t{1} << 20);
  const auto start = orvo::bench::Clock::now();
  orvo::Sha256Hasher hasher;
  for (std::size_t i = 0; i < passes; ++i) hasher.update(bytes.data(), bytes.size());
  std::array<std::uint8_t, 32> digest{};
  hasher.finish(digest);
  const double seconds = orvo::bench::secondsSince(start);
  std::printf("- %.3f %.1f\n", seconds, static_cast<double>(passes) / seconds);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--cng-only") return hashFromMemory(argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"--cng-hot") return hashCacheResident(argv[2]);
  if (argc != 2) {
    std::fprintf(stderr, "usage: Sha256Bench [--cng-only | --cng-hot] FILE\n");
    return 2;
  }
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
  LARGE_INTEGER end{};
  std::uint64_t bytes = 0;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  std::wstring digest;
  try {
    digest = orvo::sha256File(argv[1], [&](std::uint64_t n) { bytes = n; });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  ::QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("%s %.3f %.1f\n", orvo::wideToUtf8(digest).c_str(), seconds,
              static_cast<double>(bytes) / 1048576.0 / seconds);
  return 0;
}
