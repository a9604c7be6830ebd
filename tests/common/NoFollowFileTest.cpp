#include <gtest/gtest.h>

#include <filesystem>


#include "common/NoFollowFile.h"
#include "tests/support/TestSupport.h"

using namespace orvo;

namespace {

class RemoveTreeNoFollow : public test::TempDirTest {};

// The fault this catches: a recursive delete that walks into a directory link
// (as std::filesystem::remove_all does) and deletes the link's target.
TEST_F(RemoveTreeNoFollow, NeverDeletesWhatALinkInsideTheTreePointsTo) {
  const std::wstring victim = (temp / L"victim");
  const std::wstring tree = (temp / L"tree");
  std::filesystem::create_directories(victim + L"\\inner");
  std::filesystem::create_directories(tree + L"\\a\\b");
  test::writeBytes(victim + L"\\inner\\keep.txt", "keep");
  test::writeBytes(tree + L"\\a\\b\\file.txt", "x");
  test::writeBytes(tree + L"\\top.txt", "y");
  test::makeDirectoryLink(tree + L"\\a\\link", victim);

  const bool removed = removeTreeNoFollow(tree);

  EXPECT_TRUE(test::fileExists(victim + L"\\inner\\keep.txt"));
  EXPECT_FALSE(test::fileExists(tree + L"\\top.txt"));
  EXPECT_FALSE(test::directoryExists(tree + L"\\a\\b"));
  if (test::platformHasJunctions()) {
    EXPECT_TRUE(removed);
    EXPECT_FALSE(test::directoryExists(tree));
  } else {
    // The link cannot be removed here without touching its target: it stays,
    // with the directories above it, and the removal reports failure.
    EXPECT_FALSE(removed);
    EXPECT_NE(::GetFileAttributesW((tree + L"\\a\\link").c_str()), INVALID_FILE_ATTRIBUTES);
    test::removeDirectoryLink(tree + L"\\a\\link");
  }
}

TEST_F(RemoveTreeNoFollow, RemovesReadOnlyFilesAndCountsAnAbsentPathAsRemoved) {
  const std::wstring tree = (temp / L"tree");
  std::filesystem::create_directories(tree + L"\\d");
  const std::wstring file = tree + L"\\d\\ro.txt";
  test::writeBytes(file, "z");
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(removeTreeNoFollow(tree));
  EXPECT_FALSE(test::directoryExists(tree));
  EXPECT_TRUE(removeTreeNoFollow(tree));
}

TEST_F(RemoveTreeNoFollow, AFileHeldWithoutDeleteSharingFailsTheRemovalAndStays) {
  const std::wstring tree = (temp / L"tree");
  std::filesystem::create_directories(tree);
  const std::wstring file = tree + L"\\held.txt";
  test::writeBytes(file, "h");
  UniqueHandle held(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  EXPECT_FALSE(removeTreeNoFollow(tree));
  EXPECT_TRUE(test::fileExists(file));
}

}  // namespace
