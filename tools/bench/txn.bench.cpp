// Times one real file transaction (prepare, apply, commit) that upgrades an
// install root from a candidate directory, and one plain digest pass over the
// candidate files, under the same Wine. Prints one line per phase.
//
//   txn-bench <root> <candidate>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/Sha256.h"
#include "txn/FileTransaction.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: txn-bench <root> <candidate>\n");
    return 2;
  }
  const std::wstring root = argv[1];
  const std::wstring candidate = argv[2];
  try {
    // The manifest as the installer would have it, built outside the timed run.
    auto start = Clock::now();
    std::vector<orvo::TransactionEntry> entries;
    const std::filesystem::path base(candidate);
    for (const auto& item : std::filesystem::directory_iterator(base)) {
      entries.push_back({item.path().filename().wstring(), item.file_size(), orvo::sha256File(item.path().wstring())});
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.relativePath < b.relativePath; });
    std::printf("digest-once %.3f\n", secondsSince(start));

    std::uint64_t digestedBytes = 0;
    int digests = 0;
    const orvo::DigestFile digest = [&](const std::wstring& path) {
      ++digests;
      digestedBytes += std::filesystem::file_size(std::filesystem::path(path));
      return orvo::sha256File(path);
    };
    orvo::FileTransaction transaction(root, entries, digest);
    start = Clock::now();
    transaction.prepare(candidate);
    const double prepare = secondsSince(start);
    start = Clock::now();
    transaction.apply();
    const double apply = secondsSince(start);
    start = Clock::now();
    transaction.commit();
    const double commit = secondsSince(start);
    std::printf("prepare %.3f\napply %.3f\ncommit %.3f\ntransaction %.3f\n", prepare, apply, commit,
                prepare + apply + commit);
    std::printf("digests %d\ndigested-bytes %llu\n", digests, static_cast<unsigned long long>(digestedBytes));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "txn-bench: %s\n", error.what());
    return 1;
  }
}
