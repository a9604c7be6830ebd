#include <gtest/gtest.h>

#include "common/PathText.h"

using namespace orvo;

TEST(PathText, FindsRootNamesOfDrivesSharesAndDevices) {
  EXPECT_EQ(rootNameLength(L"C:\\x"), 2u);
  EXPECT_EQ(rootNameLength(L"c:"), 2u);
  EXPECT_EQ(rootNameLength(L"\\\\server\\share\\dir"), 8u);
  EXPECT_EQ(rootNameLength(L"//server/share"), 8u);
  EXPECT_EQ(rootNameLength(L"\\\\?\\C:\\x"), 3u);
  EXPECT_EQ(rootNameLength(L"\\x"), 0u);
  EXPECT_EQ(rootNameLength(L"\\\\\\x"), 0u);
  EXPECT_EQ(rootNameLength(L"1:\\x"), 0u);
  EXPECT_EQ(rootPartLength(L"C:\\\\/x"), 5u);
  EXPECT_EQ(rootPart(L"\\\\server\\share"), L"\\\\server\\");
}

TEST(PathText, CompletePathsNeedASeparatorAfterTheDrive) {
  EXPECT_TRUE(isCompletePath(L"C:\\games"));
  EXPECT_TRUE(isCompletePath(L"d:/games"));
  EXPECT_TRUE(isCompletePath(L"\\\\server\\share\\games"));
  EXPECT_FALSE(isCompletePath(L"C:"));
  EXPECT_FALSE(isCompletePath(L"C:folder"));
  EXPECT_FALSE(isCompletePath(L"relative\\dir"));
  EXPECT_FALSE(isCompletePath(L"\\games"));
  EXPECT_FALSE(isCompletePath(L""));
}

TEST(PathText, NormalisesLikeTheStandardLexicallyNormal) {
  EXPECT_EQ(normalizeLexically(L"C:/Games//orvo/./x/../y"), L"C:\\Games\\orvo\\y");
  EXPECT_EQ(normalizeLexically(L"C:\\x\\.."), L"C:\\");
  EXPECT_EQ(normalizeLexically(L"C:\\.\\"), L"C:\\");
  EXPECT_EQ(normalizeLexically(L"C:\\..\\..\\a"), L"C:\\a");
  EXPECT_EQ(normalizeLexically(L"C:\\a\\"), L"C:\\a\\");
  EXPECT_EQ(normalizeLexically(L"C:\\a\\."), L"C:\\a\\");
  EXPECT_EQ(normalizeLexically(L"a\\.."), L".");
  EXPECT_EQ(normalizeLexically(L"..\\a\\..\\.."), L"..\\..");
  EXPECT_EQ(normalizeLexically(L"//server/share/./d"), L"\\\\server\\share\\d");
  EXPECT_EQ(normalizeLexically(L""), L"");
}

TEST(PathText, ParentNeverCutsIntoTheRootPart) {
  EXPECT_EQ(parentPathText(L"C:\\a\\b"), L"C:\\a");
  EXPECT_EQ(parentPathText(L"C:\\a\\b\\\\"), L"C:\\a");
  EXPECT_EQ(parentPathText(L"C:\\a"), L"C:\\");
  EXPECT_EQ(parentPathText(L"C:\\"), L"C:\\");
  EXPECT_EQ(parentPathText(L"\\\\server\\share"), L"\\\\server\\");
  EXPECT_EQ(parentPathText(L"a"), L"");
}

TEST(PathText, JoinsWithExactlyOneSeparator) {
  EXPECT_EQ(joinPath(L"C:\\a", L"b"), L"C:\\a\\b");
  EXPECT_EQ(joinPath(L"C:\\a\\", L"b"), L"C:\\a\\b");
  EXPECT_EQ(joinPath(L"", L"b"), L"b");
}
