// Runs a real file transaction in its own process and, when asked, kills that
// process without any clean-up at the k-th event the transaction reports, the
// way a power cut or a forced end would stop an installer.
//
//   TxnCrashRunner forward  <root> <candidate> <k> <result-file>
//       prepare, apply and commit; dies at the k-th event (k = 0: never)
//   TxnCrashRunner rollback <root> <candidate> <k> <result-file>
//       prepare and apply, then rollback; dies at the k-th rollback event
//   TxnCrashRunner recover  <root> <candidate> <result-file>
//       the recovery sequence of an installer run
//
// The result file receives "ok <events>" or "error <message>" (UTF-8).
#include <windows.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>

#include "payload/Sha256.h"
#include "tests/helpers/TxnManifest.h"
#include "txn/FileTransaction.h"

namespace {

// Exit code of a process that ended at its chosen event.
constexpr UINT CrashedAtEvent = 77;

void writeResult(const std::wstring& path, const std::string& text) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out << text;
}

std::wstring digest(const std::wstring& path) { return orvo::sha256File(path); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) return 2;
  const std::wstring mode = argv[1];
  const std::wstring root = argv[2];
  const std::wstring candidate = argv[3];
  const bool recovering = mode == L"recover";
  const std::uint64_t crashAt = recovering ? 0 : std::stoull(argv[4]);
  const std::wstring resultFile = recovering ? argv[4] : (argc > 5 ? argv[5] : L"");
  if (resultFile.empty()) return 2;

  std::uint64_t events = 0;
  bool counting = mode == L"forward";
  auto onEvent = [&](const char*, std::uint64_t) {
    if (!counting) return;
    ++events;
    if (events == crashAt) ::TerminateProcess(::GetCurrentProcess(), CrashedAtEvent);
  };
  try {
    orvo::FileTransaction transaction(root, orvo::test::candidateManifest(candidate), digest, {}, onEvent);
    if (recovering) {
      transaction.recover();
    } else {
      transaction.prepare(candidate);
      transaction.apply();
      if (mode == L"forward") {
        transaction.commit();
      } else {
        counting = true;
        transaction.rollback();
      }
    }
    writeResult(resultFile, "ok " + std::to_string(events));
    return 0;
  } catch (const std::exception& error) {
    writeResult(resultFile, std::string("error ") + error.what());
    return 1;
  }
}
