#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/MessageOf.h"
#include "txn/TransactionPathRules.h"

using namespace orvo;

namespace {

std::string relativeMessage(std::wstring_view text) {
  return test::messageOf([&] { normalizeRelativePath(text); });
}
std::string rootMessage(std::wstring_view text) {
  return test::messageOf([&] { normalizeInstallRoot(text); });
}

}  // namespace

TEST(RelativePathRules, AcceptsTwoHundredFortyUnitsAndRefusesOneMore) {
  EXPECT_EQ(normalizeRelativePath(std::wstring(240, L'a')), std::wstring(240, L'a'));
  EXPECT_EQ(relativeMessage(std::wstring(241, L'a')), "Unsafe transaction relative path");
  EXPECT_EQ(relativeMessage(L""), "Unsafe transaction relative path");
}

TEST(RelativePathRules, RefusesRootedFormsAndForbiddenCharactersBeforeComponents) {
  for (const wchar_t* text : {L"/a", L"\\a", L"\\\\server\\share", L"a:b", L"a*", L"a?", L"a\"b", L"a<b", L"a>b",
                              L"a|b", L"a\rb", L"a\nb", L"a\tb", L"C:\\x"}) {
    EXPECT_EQ(relativeMessage(text), "Unsafe transaction relative path") << std::wstring(text).size();
  }
}

TEST(RelativePathRules, RefusesEmptyDotAndTrailingDotOrSpaceComponents) {
  for (const wchar_t* text : {L"a//b", L"a/b/", L"./a", L"a/../b", L"dir./f", L"dir /f", L"a\\.", L"..", L"x."}) {
    EXPECT_EQ(relativeMessage(text), "Unsafe transaction path component") << text;
  }
}

TEST(RelativePathRules, RefusesControlCharactersInsideAComponent) {
  EXPECT_EQ(relativeMessage(std::wstring(L"a\x01" L"b")), "Unsafe transaction path character");
  EXPECT_EQ(relativeMessage(std::wstring(L"a\x1f")), "Unsafe transaction path character");
}

TEST(RelativePathRules, RefusesDeviceNamesWithOrWithoutExtension) {
  for (const wchar_t* text : {L"CON.txt", L"com0", L"Lpt9.log", L"Aux.dat", L"NUL", L"com1.txt", L"LPT0", L"prn",
                              L"dir/con", L"dir/Com5.tar.gz/x"}) {
    EXPECT_EQ(relativeMessage(text), "Reserved transaction path") << text;
  }
}

TEST(RelativePathRules, AcceptsNamesThatOnlyResembleDevices) {
  for (const wchar_t* text : {L"console", L"com10", L"lpt", L"com", L"auxiliary", L"com1x", L"comx", L"nul1"}) {
    EXPECT_EQ(normalizeRelativePath(text), text);
  }
}

TEST(RelativePathRules, JoinsComponentsWithBackslashAndKeepsLetterCase) {
  EXPECT_EQ(normalizeRelativePath(L"a/b"), L"a\\b");
  EXPECT_EQ(normalizeRelativePath(L"Bin/Plugins\\X.dll"), L"Bin\\Plugins\\X.dll");
}

TEST(InstallRootRules, DriveRootsInAnyDisguiseAreNoInstallTarget) {
  EXPECT_EQ(rootMessage(L"C:\\.\\"), "Drive root is not an install target");
  EXPECT_EQ(rootMessage(L"C:\\x\\.."), "Drive root is not an install target");
  EXPECT_EQ(rootMessage(L"C:\\x\\..\\\\"), "Drive root is not an install target");
}

TEST(InstallRootRules, ChecksTheRelativePartBeforeTheRootCharacters) {
  EXPECT_EQ(rootMessage(L"D:\\a:b"), "Unsafe transaction relative path");
  EXPECT_EQ(rootMessage(L"D:\\a*b"), "Unsafe transaction relative path");
  EXPECT_EQ(rootMessage(L"D:\\Games\\CON"), "Reserved transaction path");
  EXPECT_EQ(rootMessage(L"D:\\Games \\x"), "Unsafe transaction path component");
  EXPECT_EQ(rootMessage(L"D:\\" + std::wstring(241, L'a')), "Unsafe transaction relative path");
}

TEST(InstallRootRules, RefusesShareAndDevicePaths) {
  EXPECT_EQ(rootMessage(L"\\\\server\\share\\dir"), "Unsafe transaction root");
  EXPECT_EQ(rootMessage(L"//server/share/dir"), "Unsafe transaction root");
}

TEST(InstallRootRules, HoldsTheRootInNormalFormWithoutTrailingSeparators) {
  EXPECT_EQ(normalizeInstallRoot(L"D:\\Games\\"), L"D:\\Games");
  EXPECT_EQ(normalizeInstallRoot(L"D:/Games//Platform/./x/.."), L"D:\\Games\\Platform");
  EXPECT_EQ(normalizeInstallRoot(L"d:\\Mixed\\Case"), L"d:\\Mixed\\Case");
}

TEST(TransactionNames, AreaIsNamedAfterTwentyFourDigestDigits) {
  const std::wstring digest = L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  EXPECT_EQ(areaNameFromDigest(digest), L".orvo-file-txn-0123456789abcdef01234567");
  EXPECT_EQ(indexedAreaFileName(L"new-", 0), L"new-0");
  EXPECT_EQ(indexedAreaFileName(L"restore-", 17), L"restore-17");
}

TEST(TransactionNames, DigestTextIsSixtyFourHexDigitsOfEitherCase) {
  EXPECT_TRUE(isSha256Text(std::wstring(64, L'A')));
  EXPECT_TRUE(isSha256Text(std::wstring(64, L'f')));
  EXPECT_FALSE(isSha256Text(std::wstring(63, L'a')));
  EXPECT_FALSE(isSha256Text(std::wstring(65, L'a')));
  EXPECT_FALSE(isSha256Text(std::wstring(63, L'a') + L"g"));
}
