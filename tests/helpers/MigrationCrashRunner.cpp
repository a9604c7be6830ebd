// Test program: runs the legacy data migration of an install directory and
// ends the process abruptly at a named point, as a crash or power loss would,
// so that the next run's recovery can be tested against what is left.
//   MigrationCrashRunner <install directory> <point> [--host-links]
// <point> is JournalCreated, LinkParkedOnDisk, LinkParkedRecorded,
// CopyPlacedOnDisk or CopyPlacedRecorded; --host-links binds the host-link
// stand-in for junctions where the platform has none.
// Exit codes: 77 ended at the point, 0 the run finished without reaching it,
// 2 bad arguments, 3 the run failed (its message on stderr).
#include <windows.h>

#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include "common/UniqueHandle.h"
#include "migration/LegacyDataMigration.h"
#include "tests/migration/HostLinkEmulation.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::map<std::wstring, orvo::MigrationSwitchPoint> points{
      {L"JournalCreated", orvo::MigrationSwitchPoint::JournalCreated},
      {L"LinkParkedOnDisk", orvo::MigrationSwitchPoint::LinkParkedOnDisk},
      {L"LinkParkedRecorded", orvo::MigrationSwitchPoint::LinkParkedRecorded},
      {L"CopyPlacedOnDisk", orvo::MigrationSwitchPoint::CopyPlacedOnDisk},
      {L"CopyPlacedRecorded", orvo::MigrationSwitchPoint::CopyPlacedRecorded}};
  const auto point = points.find(argv[2]);
  if (point == points.end()) return 2;
  const orvo::MigrationSwitchPoint stopAt = point->second;
  std::unique_ptr<orvo::test::HostLinkEmulation> hostLinks;
  if (argc == 4) {
    if (std::wstring(argv[3]) != L"--host-links") return 2;
    hostLinks = std::make_unique<orvo::test::HostLinkEmulation>();
    orvo::bindMigrationLinkPlatform(hostLinks.get());
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
