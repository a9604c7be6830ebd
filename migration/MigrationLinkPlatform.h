#pragma once
// The platform operations of the migration that concern the legacy link
// itself: opening the link (never its target), its attributes, reading its
// reparse data, moving it, and listing a file's data streams. The product
// binds them to the file system's own calls. They form a seam because a test
// platform without junctions or streams can stand in for exactly these and
// nothing else, so that every check, copy, journal write and move around
// them still runs for real there.
//
// Guarantees of every binding: failures throw std::runtime_error with the
// migration's fixed messages, as the real calls' callers expect.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace orvo {

// A file's data streams as an enumeration found them.
struct StreamListing {
  bool enumerated = false;  // false: the enumeration could not even begin
  bool complete = false;    // the enumeration ran to its regular end
  std::vector<std::wstring> names;
};

class MigrationLinkPlatform {
 public:
  virtual ~MigrationLinkPlatform() = default;

  // Opens the object at `path` itself, a link included, never following it;
  // throws "Migration file is inaccessible or in use".
  virtual UniqueHandle openLink(const std::wstring& path, DWORD access, DWORD share) = 0;
  // The attributes of the object held by `link` (opened by openLink); throws
  // "Migration identity check failed".
  virtual DWORD linkAttributes(HANDLE link) = 0;
  // The reparse buffer of the link held by `link`: the returned bytes, or
  // empty when the object has none that can be read.
  virtual std::vector<std::uint8_t> readReparseData(HANDLE link) = 0;
  // Moves the link held by `link` (opened by openLink, with DELETE) to
  // `newPath`, never replacing anything; throws "Migration atomic rename
  // failed (<code>)".
  virtual void moveLink(HANDLE link, const std::wstring& newPath) = 0;
  // The data streams of the file at `path`.
  virtual StreamListing listStreams(const std::wstring& path) = 0;
};

// The binding in force: the file system's own calls unless a test bound
// another.
MigrationLinkPlatform& migrationLinkPlatform();

// Test seam: binds `platform` for the whole process; nullptr binds the file
// system's own calls again.
void bindMigrationLinkPlatform(MigrationLinkPlatform* platform);

}  // namespace orvo
