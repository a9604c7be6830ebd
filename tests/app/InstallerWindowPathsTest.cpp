// The directory box's text rules and the folder picker's paths.
#include "app/InstallerWindowPaths.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace orvo {
namespace {

TEST(PathBoxText, TrailingWhiteSpaceAndLeadingBlanksAreRemoved) {
  EXPECT_EQ(trimPathText(L" \t D:\\Games\\orvo game \t\r\n\v\f"), L"D:\\Games\\orvo game");
}

TEST(PathBoxText, OnlySpacesAndTabsAreRemovedAtTheStart) {
  EXPECT_EQ(trimPathText(L"\nD:\\Games"), L"\nD:\\Games");
  EXPECT_EQ(trimPathText(L"\rD:\\Games "), L"\rD:\\Games");
}

TEST(PathBoxText, InnerSpacesStay) {
  EXPECT_EQ(trimPathText(L"C:\\Program Files\\orvo game"), L"C:\\Program Files\\orvo game");
}

TEST(PathBoxText, BlanksOnlyBecomeEmpty) {
  EXPECT_EQ(trimPathText(L" \t \r\n"), L"");
  EXPECT_EQ(trimPathText(L""), L"");
}

TEST(PickedFolder, APlainFolderGetsTheProductFolder) {
  EXPECT_EQ(withProductFolder(L"D:\\Games"), L"D:\\Games\\orvo game");
}

TEST(PickedFolder, TheProductFolderItselfIsKeptInAnyLetterCase) {
  EXPECT_EQ(withProductFolder(L"D:\\Games\\ORVO GAME"), L"D:\\Games\\ORVO GAME");
  EXPECT_EQ(withProductFolder(L"D:/Games/Orvo Game"), L"D:/Games/Orvo Game");
}

TEST(PickedFolder, ADriveRootGetsTheProductFolderWithoutASecondSeparator) {
  EXPECT_EQ(withProductFolder(L"E:\\"), L"E:\\orvo game");
}

TEST(PickedFolder, ANameThatOnlyStartsLikeTheProductIsNotIt) {
  EXPECT_EQ(withProductFolder(L"D:\\orvo games"), L"D:\\orvo games\\orvo game");
  EXPECT_EQ(withProductFolder(L"D:\\my orvo game"), L"D:\\my orvo game\\orvo game");
}

class BrowseStart : public test::TempDirTest {};

TEST_F(BrowseStart, AnExistingFolderIsItsOwnStart) { EXPECT_EQ(browseStartFolder(temp.path()), temp.path()); }

TEST_F(BrowseStart, AMissingFolderStartsAtItsNearestExistingAncestor) {
  ::CreateDirectoryW((temp / L"Games").c_str(), nullptr);
  EXPECT_EQ(browseStartFolder(temp / L"Games\\orvo game\\deeper"), temp / L"Games");
}

TEST_F(BrowseStart, NothingExistingMeansNoStartFolder) {
  EXPECT_EQ(browseStartFolder(L""), L"");
  EXPECT_EQ(browseStartFolder(L"Q:\\no such drive\\orvo game"), L"");
}

}  // namespace
}  // namespace orvo
