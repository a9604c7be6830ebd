#pragma once
// The live migration journal on disk: created once, written once, then only
// extended by flushed, self-checking state records, and read back with every
// check of its layout before a run or a recovery relies on it.
//
// Guarantees: the journal handle is exclusive (share 0) while held; a failed
// append leaves the in-memory state as it was; a journal that fails to read is
// left untouched on disk.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "migration/MigrationJournalFormat.h"

namespace orvo {

struct MigrationJournal {
  UniqueHandle handle;
  MigrationJournalHeader header;
  std::vector<std::uint8_t> savedDescriptor;
  std::uint32_t state = 0;

  // Magic and version as written, every other field 0, no descriptor.
  void reset();
};

// CREATE_NEW with GENERIC_READ, GENERIC_WRITE and DELETE, no sharing; throws
// "Migration journal already exists" when the file exists or cannot be made.
UniqueHandle createMigrationJournalFile(const std::wstring& path, SECURITY_ATTRIBUTES* attributes);

// State 1 writes the header and the saved descriptor from offset 0; any other
// state appends one flushed record at the end.
void writeMigrationState(MigrationJournal& journal, std::uint32_t state);

enum class JournalReading {
  Absent,  // no live journal
  Loaded,  // a valid journal is loaded; its handle holds the file exclusively
  // The file ends before its header and saved descriptor do: its first write
  // failed or never reached the disk, so no move was made under it. Its handle
  // holds it exclusively; the header is loaded only when its id was readable.
  CutBeforeFirstState,
};

// `installDirectory` is the open handle of the pinned install directory.
JournalReading readMigrationJournal(MigrationJournal& journal, const std::wstring& journalPath,
                                    HANDLE installDirectory);

// The layout rules plus the system's ACL and descriptor checks.
bool isValidSavedSecurityDescriptor(const std::vector<std::uint8_t>& bytes);

}  // namespace orvo
