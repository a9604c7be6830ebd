// The primitives that stand between the elevated installer and what a user can plant: the link check and the
// private work directory against a directory link, and the tree removal against files it must and must not delete.
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

// In a directory holding "plain", "elsewhere" and "link" (a directory link to "elsewhere"): the operation on a path
// below it and what it must answer. (The tree removal meets a planted link in the attack matrix, where the user
// would.)
TEST(LinkSafety, NothingFollowsALinkOrTakesOverWhatIsAlreadyThere) {
  TempDir temp;
  std::filesystem::create_directories(temp / L"plain"), std::filesystem::create_directories(temp / L"elsewhere");
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
