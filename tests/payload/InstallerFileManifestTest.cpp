// The manifest text: every rule of the parser and of the path check, with the
// exact message of each, and the all-or-nothing result.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "payload/InstallerFileManifest.h"

using orvo::checkManifestPath;
using orvo::ManifestEntry;
using orvo::parseFileManifest;
using orvo::parseManifestSize;

namespace {

const std::string kDigestA(64, 'a');
const std::string kDigestB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string line(const std::string& digest, const std::string& size, const std::string& path) {
  return digest + "\t" + size + "\t" + path;
}

std::string parseFailure(const std::string& text) {
  try {
    parseFileManifest(text);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "parsed";
}

std::string pathVerdict(const std::wstring& path) {
  try {
    checkManifestPath(path);
  } catch (const std::exception& e) {
    const std::string message = e.what();
    if (message == "Installation manifest path is unsafe") return "unsafe";
    if (message == "Installation manifest must not own personal data or game client files") return "foreign";
    return message;
  }
  return "ok";
}

}  // namespace

TEST(ManifestParsing, ReadsEveryEntryInFileOrderWithItsThreeFields) {
  const std::string text = line(kDigestA, "183581500", "OrvoQ9.exe") + "\r\n" +
                           line(kDigestB, "0", "q9/数据 文件.pak") + "\r\n" +
                           line(kDigestA, "18446744073709551615", "tools/7zip/7z.exe") + "\r\n";
  const std::vector<ManifestEntry> entries = parseFileManifest(text);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].relativePath, L"OrvoQ9.exe");
  EXPECT_EQ(entries[0].size, 183581500u);
  EXPECT_EQ(entries[0].sha256, std::wstring(64, L'a'));
  EXPECT_EQ(entries[1].relativePath, L"q9/数据 文件.pak");
  EXPECT_EQ(entries[1].size, 0u);
  EXPECT_EQ(entries[1].sha256, L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
  EXPECT_EQ(entries[2].size, 18446744073709551615u);
}

TEST(ManifestParsing, ParsesLineFeedOnlyTheSameAsCarriageReturnLineFeed) {
  const std::string crlf = line(kDigestA, "1", "a/b") + "\r\n" + line(kDigestB, "2", "c") + "\r\n";
  const std::string lf = line(kDigestA, "1", "a/b") + "\n" + line(kDigestB, "2", "c") + "\n";
  const auto a = parseFileManifest(crlf);
  const auto b = parseFileManifest(lf);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].relativePath, b[i].relativePath);
    EXPECT_EQ(a[i].sha256, b[i].sha256);
    EXPECT_EQ(a[i].size, b[i].size);
  }
}

TEST(ManifestParsing, AcceptsALastLineWithoutTerminator) {
  const auto entries = parseFileManifest(line(kDigestA, "5", "x.txt") + "\r\n" + line(kDigestB, "6", "y.txt"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].relativePath, L"y.txt");
}

TEST(ManifestParsing, KeepsPathLetterCaseAndDuplicatePathsAsWritten) {
  const auto entries =
      parseFileManifest(line(kDigestA, "1", "Q9/Data.PAK") + "\n" + line(kDigestA, "1", "Q9/Data.PAK"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].relativePath, L"Q9/Data.PAK");
  EXPECT_EQ(entries[1].relativePath, L"Q9/Data.PAK");
}

TEST(ManifestParsing, AcceptsAnUpperCaseDigestForVerificationToRefuse) {
  const auto entries = parseFileManifest(line(std::string(64, 'A'), "1", "a"));
  EXPECT_EQ(entries[0].sha256, std::wstring(64, L'A'));
}

TEST(ManifestCarriageReturns, OneBeforeTheLineFeedIsRemovedAndASecondStaysInThePath) {
  // "a\r" then holds a CR, which the path rules refuse.
  EXPECT_EQ(parseFailure(line(kDigestA, "1", "a") + "\r\r\n"), "Installation manifest path is unsafe");
}

TEST(ManifestCarriageReturns, ALoneCarriageReturnLineFeedIsAnEmptyLine) {
  EXPECT_EQ(parseFailure("\r\n"), "安装清单无效");
}

TEST(ManifestEmptyText, OfAnEmptyResourceIsTheEmptyManifestMessage) { EXPECT_EQ(parseFailure(""), "安装清单为空"); }

TEST(ManifestInvalidLines, AnEmptyLineBetweenEntriesInvalidatesTheWholeList) {
  EXPECT_EQ(parseFailure(line(kDigestA, "1", "a") + "\r\n\r\n" + line(kDigestA, "1", "b") + "\r\n"), "安装清单无效");
  EXPECT_EQ(parseFailure(line(kDigestA, "1", "a") + "\n\n"), "安装清单无效");
}

TEST(ManifestInvalidLines, ALineWithoutTwoTabsIsInvalid) {
  EXPECT_EQ(parseFailure(kDigestA + " 1 a"), "安装清单无效");
  EXPECT_EQ(parseFailure(kDigestA + "\t1 a"), "安装清单无效");
  EXPECT_EQ(parseFailure(kDigestA + "\t"), "安装清单无效");
}

TEST(ManifestInvalidLines, ADigestFieldThatIsNotSixtyFourUnitsIsInvalid) {
  EXPECT_EQ(parseFailure(line(std::string(63, 'a'), "1", "a")), "安装清单无效");
  EXPECT_EQ(parseFailure(line(std::string(65, 'a'), "1", "a")), "安装清单无效");
  // 64 bytes but fewer UTF-16 units.
  EXPECT_EQ(parseFailure(line(std::string(61, 'a') + "数", "1", "a")), "安装清单无效");
}

TEST(ManifestInvalidLines, AByteOrderMarkBecomesPartOfTheFirstDigest) {
  EXPECT_EQ(parseFailure("\xEF\xBB\xBF" + line(kDigestA, "1", "a") + "\r\n"), "安装清单无效");
}

TEST(ManifestInvalidLines, AThirdTabGoesIntoThePathWhichIsThenUnsafe) {
  EXPECT_EQ(parseFailure(line(kDigestA, "1", "a\tb")), "Installation manifest path is unsafe");
}

TEST(ManifestInvalidLines, MalformedUtf8InThePathOrTheDigestIsInvalidUtf8) {
  EXPECT_EQ(parseFailure(line(kDigestA, "1", "a\xC3")), "Invalid UTF8");
  EXPECT_EQ(parseFailure(line(std::string(63, 'a') + "\xFF", "1", "a")), "Invalid UTF8");
}

TEST(ManifestInvalidLines, StopsAtTheFirstBadLineWhateverFollows) {
  // The path is decoded before the size is read, so the UTF-8 fault is the one reported.
  EXPECT_EQ(parseFailure(line(kDigestA, "x", "\xC3") + "\n" + line(kDigestA, "1", "a")), "Invalid UTF8");
  EXPECT_EQ(parseFailure(line(kDigestA, "1", "good") + "\n" + line(kDigestA, "1", "..") + "\n" + "junk"),
            "Installation manifest path is unsafe");
}

TEST(ManifestSizeField, FollowsTheUnsignedLongLongConversionRules) {
  EXPECT_EQ(parseManifestSize("42"), 42u);
  EXPECT_EQ(parseManifestSize("  42"), 42u);
  EXPECT_EQ(parseManifestSize("+42"), 42u);
  EXPECT_EQ(parseManifestSize("\v\f\r 7"), 7u);
  EXPECT_EQ(parseManifestSize("0042"), 42u);
  // Digits followed by letters: the digits count and the rest is ignored.
  EXPECT_EQ(parseManifestSize("123abc"), 123u);
  EXPECT_EQ(parseManifestSize("12 34"), 12u);
  EXPECT_EQ(parseManifestSize("0x1F"), 0u);  // base 10: the zero counts, "x" ends it
  // A minus sign negates modulo 2^64, as the standard conversion does.
  EXPECT_EQ(parseManifestSize("-1"), 18446744073709551615u);
  EXPECT_EQ(parseManifestSize("18446744073709551615"), 18446744073709551615u);
}

TEST(ManifestSizeField, WithoutADigitIsAnInvalidArgument) {
  for (const std::string field : {"", "abc", " ", "+", "-", "+-1", " x1", "- 1"}) {
    try {
      parseManifestSize(field);
      ADD_FAILURE() << "accepted \"" << field << "\"";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "invalid stoull argument");
    }
  }
  EXPECT_EQ(parseFailure(line(kDigestA, "size", "a")), "invalid stoull argument");
}

TEST(ManifestSizeField, BeyondSixtyFourBitsIsOutOfRange) {
  for (const std::string field : {"18446744073709551616", "99999999999999999999999", "-18446744073709551616"}) {
    try {
      parseManifestSize(field);
      ADD_FAILURE() << "accepted " << field;
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "stoull argument out of range");
    }
  }
  EXPECT_EQ(parseFailure(line(kDigestA, "18446744073709551616", "a")), "stoull argument out of range");
}

TEST(ManifestSizeField, OfDigitsFollowedByLettersParsesAsTheDigits) {
  const auto entries = parseFileManifest(line(kDigestA, "512kb", "a"));
  EXPECT_EQ(entries[0].size, 512u);
}

TEST(ManifestPathSyntax, AcceptsOrdinaryRelativePaths) {
  for (const std::wstring path : {L"OrvoQ9.exe", L"q9/data/level 1.pak", L"assets/Tarn/identity.json",
                                  L"tools/7zip/license.txt", L"a", L"readme/game", L"..a/b..c", L"中文/名字.txt"}) {
    EXPECT_EQ(pathVerdict(path), "ok") << orvo::wideToUtf8(path);
  }
}

TEST(ManifestPathSyntax, RefusesLeadingTrailingAndDoubledSlashes) {
  EXPECT_EQ(pathVerdict(L"/a"), "unsafe");
  EXPECT_EQ(pathVerdict(L"a/"), "unsafe");
  EXPECT_EQ(pathVerdict(L"a//b"), "unsafe");
  EXPECT_EQ(pathVerdict(L"/"), "unsafe");
}

TEST(ManifestPathSyntax, RefusesDotAndDotDotComponents) {
  EXPECT_EQ(pathVerdict(L"."), "unsafe");
  EXPECT_EQ(pathVerdict(L"a/./b"), "unsafe");
  EXPECT_EQ(pathVerdict(L"../a"), "unsafe");
  EXPECT_EQ(pathVerdict(L"a/../../b"), "unsafe");
}

TEST(ManifestPathSyntax, RefusesComponentsEndingInADotOrASpace) {
  EXPECT_EQ(pathVerdict(L"a./b"), "unsafe");
  EXPECT_EQ(pathVerdict(L"a/b "), "unsafe");
  EXPECT_EQ(pathVerdict(L"a /b"), "unsafe");
}

TEST(ManifestPathSyntax, RefusesDrivesSharesAndWindowsSeparators) {
  EXPECT_EQ(pathVerdict(L"C:/a"), "unsafe");
  EXPECT_EQ(pathVerdict(L"c:a"), "unsafe");
  EXPECT_EQ(pathVerdict(L"a\\b"), "unsafe");
  EXPECT_EQ(pathVerdict(L"\\\\server\\share\\a"), "unsafe");
  EXPECT_EQ(pathVerdict(L"a:stream"), "unsafe");
}

TEST(ManifestPathSyntax, RefusesWildcardsQuotesPipesAndControlCharacters) {
  for (const std::wstring& path :
       std::vector<std::wstring>{L"a*b", L"a?b", L"a\"b", L"a<b", L"a>b", L"a|b", L"a\rb", L"a\nb", L"a\tb",
                                 std::wstring(L"a\x01"
                                              L"b"),
                                 std::wstring(L"a\x1f"), std::wstring(1, L'\0')}) {
    EXPECT_EQ(pathVerdict(path), "unsafe");
  }
}

TEST(ManifestPathSyntax, RefusesTheEmptyPathAndPathsLongerThan1024Units) {
  EXPECT_EQ(pathVerdict(L""), "unsafe");
  EXPECT_EQ(pathVerdict(std::wstring(1024, L'a')), "ok");
  EXPECT_EQ(pathVerdict(std::wstring(1025, L'a')), "unsafe");
}

TEST(ManifestPathSyntax, ChecksSyntaxOfEveryComponentBeforeOwnership) {
  // An owned name early in the path does not hide a syntax fault later on.
  EXPECT_EQ(pathVerdict(L".platform/x/../y"), "unsafe");
}

TEST(ManifestPathOwnership, RefusesGameClientFilesAndDirectoriesInAnyLetterCase) {
  EXPECT_EQ(pathVerdict(L"Game/dnf.exe"), "foreign");
  EXPECT_EQ(pathVerdict(L"client/readme.txt"), "foreign");
  EXPECT_EQ(pathVerdict(L"a/GAMES/b"), "foreign");
  EXPECT_EQ(pathVerdict(L"Clients/x"), "foreign");
  EXPECT_EQ(pathVerdict(L"DNF/x"), "foreign");
  EXPECT_EQ(pathVerdict(L"游戏/x"), "foreign");
  EXPECT_EQ(pathVerdict(L"客户端/x"), "foreign");
  EXPECT_EQ(pathVerdict(L"游戏客户端/x"), "foreign");
  EXPECT_EQ(pathVerdict(L"orvo客户端/x"), "foreign");
  for (const std::wstring file : {L"Script.PVF", L"dnf.exe", L"DNFChina.exe", L"dfo.exe", L"ARAD.EXE"}) {
    EXPECT_EQ(pathVerdict(L"bin/" + file), "foreign");
  }
}

TEST(ManifestPathOwnership, AcceptsClientNamesWhereTheyAreNotClientDirectoriesOrFiles) {
  EXPECT_EQ(pathVerdict(L"readme/game"), "ok");     // game is the file, not a directory
  EXPECT_EQ(pathVerdict(L"客户端"), "ok");          // a file named so
  EXPECT_EQ(pathVerdict(L"dnf.exe/readme"), "ok");  // a directory named like the client file
  EXPECT_EQ(pathVerdict(L"gamer/x"), "ok");
  EXPECT_EQ(pathVerdict(L"a/dnf.exe.txt"), "ok");
}

TEST(ManifestPathOwnership, RefusesThePersonalDataDirectoryAndItsPreservedCopies) {
  EXPECT_EQ(pathVerdict(L".Platform/x"), "foreign");
  EXPECT_EQ(pathVerdict(L".platform"), "foreign");
  EXPECT_EQ(pathVerdict(L"a/b.个人媒体保留"), "foreign");
  EXPECT_EQ(pathVerdict(L"x.个人媒体保留/y"), "foreign");
  EXPECT_EQ(pathVerdict(L"platform/x"), "ok");
}

TEST(ManifestPathOwnership, IsReportedThroughTheParserWithItsMessage) {
  EXPECT_EQ(parseFailure(line(kDigestA, "1", "Game/dnf.exe")),
            "Installation manifest must not own personal data or game client files");
  // The path is checked before the digest length.
  EXPECT_EQ(parseFailure(line("short", "1", "a//b")), "Installation manifest path is unsafe");
}
