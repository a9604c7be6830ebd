// Times sha256File on one file and prints "<digest> <seconds> <MiB/s>": the
// installer's digest path as it runs, 1 MiB chunks with a progress callback.
// With --cng-only it hashes 256 MiB from memory instead, to tell the cost of
// the CNG primitive from the cost of reading the file.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/Utf.h"
#include "payload/Sha256.h"

namespace {

int hashFromMemory() {
  std::string chunk(1 << 20, '\x5a');
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
  LARGE_INTEGER end{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  orvo::Sha256Hasher hasher;
  for (int i = 0; i < 256; ++i) hasher.update(chunk.data(), chunk.size());
  std::array<std::uint8_t, 32> digest{};
  hasher.finish(digest);
  ::QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("%s %.3f %.1f\n", orvo::wideToUtf8(orvo::digestToHex(digest.data(), digest.size())).c_str(), seconds,
              256.0 / seconds);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"--cng-only") return hashFromMemory();
  if (argc != 2) {
    std::fprintf(stderr, "usage: Sha256Bench FILE\n");
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
