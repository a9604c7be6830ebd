// Path rules, run names and the junction buffer parser of the migration.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "migration/MigrationPaths.h"
#include "migration/MigrationPathRules.h"
#include "tests/migration/MigrationTestSupport.h"

namespace orvo {
namespace {

using test::messageOf;

TEST(MigrationPathRules, RefusesADriveRootAsTarget) {
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"C:\\"); }), "Migration target must be a local fixed-drive directory");
}

TEST(MigrationPathRules, ReturnsAPathWithoutItsTrailingBackslash) {
  EXPECT_EQ(normalizeMigrationPath(L"C:\\Data\\"), L"C:\\Data");
  EXPECT_EQ(normalizeMigrationPath(L"C:\\Data\\\\"), L"C:\\Data");
}

TEST(MigrationPathRules, ResolvesDotElementsThroughTheFullPath) {
  EXPECT_EQ(normalizeMigrationPath(L"C:\\Games\\x\\..\\Platform"), L"C:\\Games\\Platform");
}

TEST(MigrationPathRules, RefusesForwardSlashesUncAndRelativePaths) {
  const char* expected = "Migration requires a local absolute path";
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"C:/Data"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"C:\\Data/x"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"\\\\server\\share\\Data"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"\\\\?\\C:\\Data"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"Data\\x"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"C:Data"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"C:\\Data:stream"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"1:\\Data"); }), expected);
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L""); }), expected);
}

TEST(MigrationPathRules, RefusesADriveLetterThatIsNotAFixedDrive) {
  // Q: is not mapped in the test prefix.
  EXPECT_EQ(::GetDriveTypeW(L"Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  EXPECT_EQ(messageOf([] { normalizeMigrationPath(L"Q:\\Data"); }), "Migration target must be a local fixed-drive directory");
}

TEST(MigrationPathRules, RefusesEmptyDotAndTrailingDotOrSpaceElements) {
  const char* expected = "Migration path component invalid";
  EXPECT_EQ(messageOf([] { requireValidComponents(L"C:\\a\\\\b"); }), expected);
  EXPECT_EQ(messageOf([] { requireValidComponents(L"C:\\a\\.\\b"); }), expected);
  EXPECT_EQ(messageOf([] { requireValidComponents(L"C:\\a\\..\\b"); }), expected);
  EXPECT_EQ(messageOf([] { requireValidComponents(L"C:\\a.\\b"); }), expected);
  EXPECT_EQ(messageOf([] { requireValidComponents(L"C:\\a\\b "); }), expected);
  EXPECT_NO_THROW(requireValidComponents(L"C:\\a.b\\ c\\d"));
}

TEST(MigrationPathRules, TellsInsideFromSiblingsWithACommonPrefix) {
  EXPECT_TRUE(isSameOrInside(L"C:\\Games\\Platform", L"c:\\games"));
  EXPECT_TRUE(isSameOrInside(L"C:\\GAMES", L"c:\\games"));
  EXPECT_FALSE(isSameOrInside(L"C:\\Games2", L"C:\\Games"));
  EXPECT_FALSE(isSameOrInside(L"C:\\Games", L"C:\\Games\\Platform"));
  EXPECT_FALSE(isSameOrInside(L"D:\\Games", L"C:\\Games"));
}

TEST(MigrationPathRules, DerivesTheNamesOfOneRunBesideTheLegacyLink) {
  const MigrationNames names = deriveMigrationNames(L"C:\\Games\\Orvo", L"00112233445566778899aabbccddeeff");
  EXPECT_EQ(names.privateCopy, L"C:\\Games\\Orvo\\.platform.migration-copy-00112233445566778899aabbccddeeff");
  EXPECT_EQ(names.parkedLink, L"C:\\Games\\Orvo\\.platform.migration-original-00112233445566778899aabbccddeeff");
  EXPECT_EQ(names.preservedCopy, L"C:\\Games\\Orvo\\.platform.migration-preserved-00112233445566778899aabbccddeeff");
  EXPECT_EQ(names.archivedJournal,
            L"C:\\Games\\Orvo\\.platform.migration-journal-00112233445566778899aabbccddeeff.bin");
  EXPECT_EQ(std::wstring(kLiveJournalName), L".platform-migration-journal.bin");
}

TEST(MigrationPathRules, KeepsOnlyTheLowerCasedHexDigitsOfAGuid) {
  EXPECT_EQ(migrationIdFromGuidText(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}"), L"6b29fc40ca471067b31d00dd010662da");
  EXPECT_EQ(messageOf([] { migrationIdFromGuidText(L"{6B29FC40-CA47}"); }), "Migration transaction identity invalid");
}

TEST(MigrationPathRules, GivesEveryRunAFreshValidIdentity) {
  const std::wstring first = newMigrationId();
  const std::wstring second = newMigrationId();
  EXPECT_TRUE(isValidMigrationId(first));
  EXPECT_TRUE(isValidMigrationId(second));
  EXPECT_NE(first, second);
  EXPECT_NE(deriveMigrationNames(L"C:\\x", first).privateCopy, deriveMigrationNames(L"C:\\x", second).privateCopy);
}

TEST(MigrationPathRules, AcceptsOnlyLowerCaseHexIdentitiesOfThirtyTwoDigits) {
  EXPECT_TRUE(isValidMigrationId(L"0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(isValidMigrationId(L"0123456789Abcdef0123456789abcdef"));
  EXPECT_FALSE(isValidMigrationId(L"0123456789abcdef0123456789abcde"));
  EXPECT_FALSE(isValidMigrationId(L"0123456789abcdef0123456789abcdeg"));
}

TEST(MigrationPathRules, RefusesChildNamesEndingWithDotOrSpaceOrHoldingAColon) {
  EXPECT_TRUE(isAcceptableChildName(L"save.dat"));
  EXPECT_TRUE(isAcceptableChildName(L".hidden"));
  EXPECT_FALSE(isAcceptableChildName(L""));
  EXPECT_FALSE(isAcceptableChildName(L"name."));
  EXPECT_FALSE(isAcceptableChildName(L"name "));
  EXPECT_FALSE(isAcceptableChildName(L"file:stream"));
}

TEST(MigrationPathRules, SortsNamesByUtf16CodeUnits) {
  std::vector<std::wstring> names{L"b", L"aa", L"B", L"a", std::wstring(1, static_cast<wchar_t>(0xE000)),
                                  std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}, L"_"};
  sortByCodeUnits(names);
  const std::vector<std::wstring> expected{L"B", L"_", L"a", L"aa", L"b",
                                           std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)},
                                           std::wstring(1, static_cast<wchar_t>(0xE000))};
  EXPECT_EQ(names, expected);
}

// A reparse buffer as FSCTL_GET_REPARSE_POINT returns it: tag, data length,
// reserved, substitute offset/length, print offset/length, then the names.
std::vector<std::uint8_t> reparseBuffer(std::uint32_t tag, const std::wstring& substitute,
                                        const std::wstring& print = L"C:\\Data") {
  std::vector<std::uint8_t> b;
  auto u16 = [&](std::size_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  const std::size_t subBytes = substitute.size() * 2;
  const std::size_t printBytes = print.size() * 2;
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(tag >> (8 * i)));
  u16(8 + subBytes + 2 + printBytes + 2);
  u16(0);
  u16(0);
  u16(subBytes);
  u16(subBytes + 2);
  u16(printBytes);
  for (wchar_t c : substitute) u16(static_cast<std::uint16_t>(c));
  u16(0);
  for (wchar_t c : print) u16(static_cast<std::uint16_t>(c));
  u16(0);
  return b;
}

std::string parseMessage(const std::vector<std::uint8_t>& b) {
  return messageOf([&] { parseJunctionSubstituteName(b.data(), b.size()); });
}

TEST(JunctionBufferParser, ReadsTheTargetOfAMountPointWithoutItsNtPrefix) {
  const auto b = reparseBuffer(0xA0000003, L"\\??\\C:\\Data");
  EXPECT_EQ(parseJunctionSubstituteName(b.data(), b.size()), L"C:\\Data");
  EXPECT_EQ(normalizeMigrationPath(parseJunctionSubstituteName(b.data(), b.size())), L"C:\\Data");
}

TEST(JunctionBufferParser, RefusesASymbolicLinkTag) {
  EXPECT_EQ(parseMessage(reparseBuffer(0xA000000C, L"\\??\\C:\\Data")),
            "Migration accepts only a direct mount-point junction");
}

TEST(JunctionBufferParser, RefusesOddOffsetsAndLengths) {
  auto b = reparseBuffer(0xA0000003, L"\\??\\C:\\Data");
  b[8] = 1;
  EXPECT_EQ(parseMessage(b), "Migration accepts only a direct mount-point junction");
  b = reparseBuffer(0xA0000003, L"\\??\\C:\\Data");
  b[10] = static_cast<std::uint8_t>(b[10] + 1);
  EXPECT_EQ(parseMessage(b), "Migration accepts only a direct mount-point junction");
}

TEST(JunctionBufferParser, RefusesNamesAndDataLengthsPastTheReturnedBytes) {
  auto b = reparseBuffer(0xA0000003, L"\\??\\C:\\Data");
  b[8] = static_cast<std::uint8_t>(b.size());  // substitute name starts inside, runs past the end
  EXPECT_EQ(parseMessage(b), "Migration accepts only a direct mount-point junction");
  b = reparseBuffer(0xA0000003, L"\\??\\C:\\Data");
  b[4] = static_cast<std::uint8_t>(b.size() - 7);  // data length + 8 exceeds the size by one
  b[5] = static_cast<std::uint8_t>((b.size() - 7) >> 8);
  EXPECT_EQ(parseMessage(b), "Migration accepts only a direct mount-point junction");
  b = reparseBuffer(0xA0000003, L"\\??\\C:\\Data");
  b[4] = static_cast<std::uint8_t>(b.size() - 8);  // exactly fitting passes
  b[5] = static_cast<std::uint8_t>((b.size() - 8) >> 8);
  EXPECT_EQ(parseMessage(b), "no exception");
}

TEST(JunctionBufferParser, RefusesATargetWithoutTheNtPrefix) {
  EXPECT_EQ(parseMessage(reparseBuffer(0xA0000003, L"C:\\Data")), "Migration junction target invalid");
  EXPECT_EQ(parseMessage(reparseBuffer(0xA0000003, L"\\??")), "Migration junction target invalid");
  EXPECT_EQ(parseMessage(reparseBuffer(0xA0000003, L"")), "Migration junction target invalid");
}

TEST(JunctionBufferParser, RefusesATargetWithAnEmbeddedNul) {
  EXPECT_EQ(parseMessage(reparseBuffer(0xA0000003, std::wstring(L"\\??\\C:\\Da\0ta", 12))),
            "Migration junction target invalid");
}

TEST(JunctionBufferParser, LeavesAVolumeGuidTargetToThePathRules) {
  const auto b = reparseBuffer(0xA0000003, L"\\??\\Volume{6b29fc40-ca47-1067-b31d-00dd010662da}\\Data");
  const std::wstring target = parseJunctionSubstituteName(b.data(), b.size());
  EXPECT_EQ(messageOf([&] { normalizeMigrationPath(target); }), "Migration requires a local absolute path");
  const auto unc = reparseBuffer(0xA0000003, L"\\??\\UNC\\server\\share");
  const std::wstring uncTarget = parseJunctionSubstituteName(unc.data(), unc.size());
  EXPECT_EQ(messageOf([&] { normalizeMigrationPath(uncTarget); }), "Migration requires a local absolute path");
}

TEST(JunctionBufferParser, CallsABufferShorterThanItsHeaderUnavailable) {
  const auto b = reparseBuffer(0xA0000003, L"\\??\\C:\\Data");
  EXPECT_EQ(messageOf([&] { parseJunctionSubstituteName(b.data(), 15); }), "Migration link metadata unavailable");
}

}  // namespace
}  // namespace orvo
