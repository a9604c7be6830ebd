#pragma once
// The lexical rules of migration paths and the byte-level reading of a
// junction's reparse buffer, free of Windows headers so that they behave the
// same natively (for fuzzing) and for Windows. Texts are UTF-16 code units held
// in wchar_t whatever its width.
//
// Guarantees: every refusal throws std::runtime_error with the message the
// migration's callers rely on; nothing here touches the file system.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// Attribute bits the migration distinguishes.
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeDevice = 0x40;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;
inline constexpr std::uint32_t kAttributeOffline = 0x1000;
inline constexpr std::uint32_t kAttributeEncrypted = 0x4000;
// Directory, device, reparse point, offline, encrypted.
inline constexpr std::uint32_t kOrdinaryDirectoryMask = 0x5450;

// A directory with none of device, reparse point, offline, encrypted.
constexpr bool isOrdinaryDirectory(std::uint32_t attributes) noexcept {
  return (attributes & kOrdinaryDirectoryMask) == kAttributeDirectory;
}

// The names a migration run creates beside ".platform".
inline constexpr std::wstring_view kLegacyDataName = L".platform";
inline constexpr std::wstring_view kLiveJournalName = L".platform-migration-journal.bin";
inline constexpr std::wstring_view kPrivateCopyPrefix = L".platform.migration-copy-";
inline constexpr std::wstring_view kParkedLinkPrefix = L".platform.migration-original-";
inline constexpr std::wstring_view kPreservedCopyPrefix = L".platform.migration-preserved-";
inline constexpr std::wstring_view kArchivedJournalPrefix = L".platform.migration-journal-";
inline constexpr std::wstring_view kArchivedJournalSuffix = L".bin";

inline constexpr std::size_t kMigrationIdLength = 32;

// The paths of one run, each a direct child of the install directory.
struct MigrationNames {
  std::wstring privateCopy;
  std::wstring parkedLink;
  std::wstring preservedCopy;
  std::wstring archivedJournal;
};

// `installDirectory` is a normalised migration path (no trailing backslash).
MigrationNames deriveMigrationNames(std::wstring_view installDirectory, std::wstring_view migrationId);

// Exactly 32 characters, each '0'-'9' or 'a'-'f'.
bool isValidMigrationId(std::wstring_view id) noexcept;

// The hexadecimal digits of a GUID's registry text, lower-cased, in order;
// throws "Migration transaction identity invalid" unless there are exactly 32.
std::wstring migrationIdFromGuidText(std::wstring_view guidText);

// First rule of a migration path: drive letter, ':', '\', no '/' anywhere and
// no ':' after the drive. Throws "Migration requires a local absolute path".
void requireLocalAbsoluteSyntax(std::wstring_view path);

// Every element of a full path is non-empty, not "." or "..", and does not end
// with '.' or ' '. Throws "Migration path component invalid".
void requireValidComponents(std::wstring_view fullPath);

// True when `a` is `b` or lies inside it, compared case-insensitively.
bool isSameOrInside(std::wstring_view a, std::wstring_view b);

// A child name a listing may collect: non-empty, not ending with '.' or ' ',
// without ':'. ("." and ".." are skipped by the lister before this.)
bool isAcceptableChildName(std::wstring_view name) noexcept;

// Ordinal order of UTF-16 code units, shorter first on a common prefix.
void sortByCodeUnits(std::vector<std::wstring>& names);

// The size of the buffer FSCTL_GET_REPARSE_POINT is asked to fill.
inline constexpr std::size_t kReparseBufferSize = 16384;
inline constexpr std::uint32_t kMountPointReparseTag = 0xA0000003u;

// Reads the substitute name of a mount-point reparse buffer of `size` returned
// bytes and returns it without its "\??\" prefix (not yet normalised). Throws
// "Migration link metadata unavailable" below 16 bytes, "Migration accepts only
// a direct mount-point junction" for another tag or inconsistent lengths, and
// "Migration junction target invalid" for a bad substitute name.
std::wstring parseJunctionSubstituteName(const std::uint8_t* buffer, std::size_t size);

}  // namespace orvo
