// Test program: runs the legacy data migration of an install directory and
// ends the process abruptly at a named switch point, as a crash or power loss
// would, so that the next run's recovery can be tested against what is left.
//   MigrationCrashRunner <install directory> <LinkParkedOnDisk|LinkParkedRecorded|CopyPlacedOnDisk|CopyPlacedRecorded>
// Exit codes: 77 ended at the point, 0 the run finished without reaching it,
// 2 bad arguments, 3 the run failed (its message on stderr).
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>

#include "common/UniqueHandle.h"
#include "migration/LegacyDataMigration.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring point = argv[2];
  orvo::MigrationSwitchPoint stopAt;
  if (point == L"LinkParkedOnDisk") {
    stopAt = orvo::MigrationSwitchPoint::LinkParkedOnDisk;
  } else if (point == L"LinkParkedRecorded") {
    stopAt = orvo::MigrationSwitchPoint::LinkParkedRecorded;
  } else if (point == L"CopyPlacedOnDisk") {
    stopAt = orvo::MigrationSwitchPoint::CopyPlacedOnDisk;
  } else if (point == L"CopyPlacedRecorded") {
    stopAt = orvo::MigrationSwitchPoint::CopyPlacedRecorded;
  } else {
    return 2;
  }
  try {
    orvo::UniqueHandle process;
    orvo::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()) ||
        !::DuplicateTokenEx(process.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                            token.put())) {
      return 3;
    }
    orvo::LegacyDataMigration migration(argv[1], token.get());
    migration.setSwitchObserver([stopAt](orvo::MigrationSwitchPoint reached) {
      // No unwinding, no destructors: the process ends as it stands.
      if (reached == stopAt) ::TerminateProcess(::GetCurrentProcess(), 77);
    });
    migration.runMigration();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
}
