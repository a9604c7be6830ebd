// Test program: runs the legacy data migration of an install directory and ends the process abruptly at a switch
// point, as a crash or power loss would, so that the next run's recovery meets what is left.
//   MigrationCrashRunner <install directory> <MigrationSwitchPoint as a number>
// with the host-link stand-in for junctions. Exit codes: 77 ended at the point, 0 finished without reaching it, 3
// the run failed (its message on stderr).
#include <cstdio>

#include "migration/LegacyDataMigration.h"
#include "migration/MigrationSwitchSeam.h"
#include "tests/migration/HostLinkEmulation.h"

int wmain(int argc, wchar_t** argv) {
  static const auto stopAt = static_cast<orvo::MigrationSwitchPoint>(argc > 2 ? std::stoi(argv[2]) : -1);
  orvo::test::HostLinks hostLinks;
  // No unwinding, no destructors: the process ends as it stands.
  orvo::bindMigrationSwitchObserver([](auto point) { if (point == stopAt) ::TerminateProcess(::GetCurrentProcess(), 77); });
  orvo::UniqueHandle token;
  try {
    if (argc < 3 || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, token.put())) return 2;
    orvo::LegacyDataMigration(argv[1], token.get()).runMigration();
    return 0;
  } catch (const std::exception& e) {
    return std::fprintf(stderr, "%s\n", e.what()), 3;
  }
}
