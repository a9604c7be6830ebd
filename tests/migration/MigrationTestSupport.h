#pragma once
// Shared pieces of the migration tests: a desktop token made from the test's
// own process token, identities of real directories, hand-built journal bytes
// and DACL-only descriptors.
#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "migration/FileIdentity.h"
#include "tests/support/MessageOf.h"

namespace orvo::test {

// A primary token duplicated from the current process token, as the pipeline
// hands the desktop user's token to the migration.
UniqueHandle makeDesktopToken();

// The identity of the object at `path`, opened without following links.
FileIdentity identityOfPath(const std::wstring& path);

// A self-relative security descriptor converted from SDDL text.
std::vector<std::uint8_t> descriptorFromSddl(const std::wstring& sddl);

// The DACL of the object at `path` as SDDL text.
std::wstring daclSddlOf(const std::wstring& path);

// Little-endian byte helpers for hand-written journals.
void appendU32(std::string& bytes, std::uint32_t value);
void appendAscii(std::string& bytes, const char* text);
std::string stateRecordBytes(std::uint32_t state);

struct CraftedJournal {
  std::wstring migrationId = L"0123456789abcdef0123456789abcdef";
  std::uint32_t headerState = 1;
  FileIdentity installDirectory;
  FileIdentity legacyLink;
  FileIdentity privateCopy;
  std::vector<std::uint8_t> descriptor;
  std::vector<std::uint32_t> records;
};

// The bytes of a journal, written field by field as the format lays them out.
std::string craftJournalBytes(const CraftedJournal& journal);

// A DACL's SDDL text split into its flags ("P", "AI"...) and its entries, so
// that tests compare what matters whatever inheritance flags the system adds.
struct DaclText {
  bool isProtected = false;
  std::wstring entries;
  friend bool operator==(const DaclText&, const DaclText&) = default;
};
DaclText splitDacl(const std::wstring& sddl);
DaclText daclOf(const std::wstring& path);

// True when a DACL set on a directory reads back as set (probed once in a
// scratch directory); Wine keeps a DACL made from the mode bits instead.
bool platformStoresFileDacls();

// The SID string of the token's user.
std::wstring sidOfToken(HANDLE token);

// Names directly inside a directory, sorted.
std::vector<std::wstring> namesIn(const std::wstring& directory);

// Points the directory link made by makeDirectoryLink at another target, as
// someone else could while the migration holds the link open.
void retargetDirectoryLink(const std::wstring& link, const std::wstring& target);

// True when a directory held open without delete sharing cannot be opened for
// deletion (probed once in a scratch directory); Wine does not enforce it.
bool platformEnforcesDirectoryDeleteSharing();

}  // namespace orvo::test
