// Times one real file transaction (prepare, apply, commit) that upgrades an
// install root from a candidate directory, one plain digest pass over the
// candidate files, and the transaction's floor under the same Wine: CNG over
// every byte the transaction must digest (from memory), the two write-through
// copies of every file (staging and backup), the write-through moves into
// place, the 2n+4 write-through journal publications of n files and the
// deletion of the n backups at clean-up. Prints one line per phase.
//
//   txn-bench <root> <candidate>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/NoFollowFile.h"
#include "payload/Sha256.h"
#include "tools/bench/FloorWork.h"
#include "txn/FileTransaction.h"

namespace {

using orvo::bench::Clock;
using orvo::bench::secondsSince;

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

    // The floor: what any transaction with these guarantees must still do.
    const auto files = orvo::bench::filesUnder(base);
    double oneDigestPass = 0;
    std::uint64_t candidateBytes = 0;
    for (const auto& file : files) {
      const auto bytes = orvo::bench::readWhole(file.wstring());
      candidateBytes += bytes.size();
      oneDigestPass += orvo::bench::cngPassSeconds(bytes);
    }
    const double digestFloor =
        candidateBytes == 0 ? 0 : oneDigestPass * static_cast<double>(digestedBytes) / static_cast<double>(candidateBytes);
    const std::filesystem::path scratch = std::filesystem::path(root).parent_path() / L"floor-scratch";
    double copies = 0;
    for (const wchar_t* name : {L"staged", L"backup"}) copies += orvo::bench::writeThroughCopies(base, files, scratch / name);
    std::vector<std::filesystem::path> staged;
    for (const auto& file : files) staged.push_back(scratch / L"staged" / file.lexically_relative(base));
    const double moves = orvo::bench::writeThroughMoves(scratch / L"staged", staged, scratch / L"backup");
    std::vector<std::filesystem::path> relative;
    for (const auto& file : files) relative.push_back(file.lexically_relative(base));
    const int journalCount = 2 * static_cast<int>(files.size()) + 4;
    const double journal =
        orvo::bench::journalWrites(scratch, journalCount, orvo::bench::journalBytes(root.size(), relative, true));
    std::vector<std::filesystem::path> backups;
    for (const auto& file : files) backups.push_back(scratch / L"backup" / file.lexically_relative(base));
    const double cleanup = orvo::bench::deleteFiles(backups);
    orvo::removeTreeNoFollow(scratch.wstring());
    std::printf("floor-digests %.3f\nfloor-copies %.3f\nfloor-moves %.3f\nfloor-journal %.3f %d\nfloor-cleanup %.3f\nfloor %.3f\n",
                digestFloor, copies, moves, journal, journalCount, cleanup, digestFloor + copies + moves + journal + cleanup);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "txn-bench: %s\n", error.what());
    return 1;
  }
}
