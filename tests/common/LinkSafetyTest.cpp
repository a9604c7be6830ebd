// The primitives that stand between the elevated installer and what a user can plant: the link check, the
// private work directory and the tree removal, each against a directory link, and the removal against a file it
// may not delete.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/LinkCheck.h"
#include "common/NoFollowFile.h"
#include "common/PrivateDirectory.h"
#include "common/Utf.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {
namespace {

const std::string Ok = "no exception", Links = "Install directory cannot use links";

// In a directory holding "plain", "elsewhere" (with a file the user keeps) and "link" (a directory link to
// "elsewhere"): the operation on a path below it and what it must answer.
TEST(LinkSafety, NothingFollowsALinkOrTakesOverWhatIsAlreadyThere) {
  TempDir temp;
  const std::wstring kept = temp / L"elsewhere\\inner\\keep.txt";
  std::filesystem::create_directories(temp / L"plain"), std::filesystem::create_directories(temp / L"elsewhere\\inner");
  writeBytes(kept, "the user's");
  makeDirectoryLink(temp / L"link", temp / L"elsewhere");
  const auto linkCheck = [](const std::wstring& p) { return messageOf([&] { checkNoLinks(p); }); };
  // The prefix of the refusal: the file-system error for the path, whatever the system's wording.
  const auto privateDirectory = [](const std::wstring& p) { return messageOf([&] { createPrivateDirectory(p); }).substr(0, 20); };
  const struct { std::function<std::string(const std::wstring&)> operation; const wchar_t* path; std::string answer; } rows[] = {
      {linkCheck, L"plain", Ok}, {linkCheck, L"absent\\deeper\\still", Ok}, {linkCheck, L"link\\inner", Links},
      {linkCheck, L"link", Links},
      // A name the system will not look up might be a link this caller cannot see.
      {linkCheck, L"plain\\bad<name", Links},
      {privateDirectory, L"work", Ok}, {privateDirectory, L"plain", "create_directories: "},
      {privateDirectory, L"link", "create_directories: "}};
  for (const auto& row : rows) EXPECT_EQ(row.operation(temp / row.path), row.answer) << wideToUtf8(row.path);
  EXPECT_TRUE(directoryExists(temp / L"work"));

  // A tree with the link inside it: everything of the tree's own goes, never what the link points to.
  std::filesystem::create_directories(temp / L"tree\\a\\b");
  writeBytes(temp / L"tree\\a\\b\\file.txt", "x"), writeBytes(temp / L"tree\\top.txt", "y");
  removeDirectoryLink(temp / L"link"), makeDirectoryLink(temp / L"tree\\a\\link", temp / L"elsewhere");
  const bool removed = removeTreeNoFollow(temp / L"tree");
  EXPECT_TRUE(fileExists(kept) && !fileExists(temp / L"tree\\top.txt") && !directoryExists(temp / L"tree\\a\\b"));
  // The host's link cannot be removed without touching its target: it stays with the directories above it, and
  // the removal says so.
  EXPECT_TRUE(!removed && ::GetFileAttributesW((temp / L"tree\\a\\link").c_str()) != INVALID_FILE_ATTRIBUTES);
  removeDirectoryLink(temp / L"tree\\a\\link");

  // A read-only file goes; one held without delete sharing stays and fails the removal; an absent tree is removed.
  writeBytes(temp / L"plain\\ro.txt", "z"), writeBytes(temp / L"plain\\held.txt", "h");
  ::SetFileAttributesW((temp / L"plain\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  UniqueHandle held(::CreateFileW((temp / L"plain\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(removeTreeNoFollow(temp / L"plain"));
  EXPECT_TRUE(fileExists(temp / L"plain\\held.txt") && !fileExists(temp / L"plain\\ro.txt"));
  held.reset();
  EXPECT_TRUE(removeTreeNoFollow(temp / L"plain") && !directoryExists(temp / L"plain") && removeTreeNoFollow(temp / L"plain"));
}

}  // namespace
}  // namespace orvo::test
