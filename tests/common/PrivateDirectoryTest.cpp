#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "common/PrivateDirectory.h"
#include "tests/support/TestSupport.h"

using namespace orvo;

namespace {

// The work directory is made fresh: one that is already there (made first by
// the user, with the user's rights on it, or a link the user planted) is
// never taken over.
enum class Before { Nothing, Directory, Link };

class CreatePrivateDirectory : public test::TempDirTest, public ::testing::WithParamInterface<Before> {};

TEST_P(CreatePrivateDirectory, MakesOnlyANewDirectory) {
  const std::wstring path = temp / L"orvo-install-x";
  const std::wstring elsewhere = temp / L"elsewhere";
  ASSERT_TRUE(::CreateDirectoryW(elsewhere.c_str(), nullptr));
  if (GetParam() == Before::Directory) {
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
  }
  if (GetParam() == Before::Link) test::makeDirectoryLink(path, elsewhere);
  std::string message;
  try {
    createPrivateDirectory(path);
  } catch (const std::runtime_error& e) {
    message = e.what();
  }
  if (GetParam() == Before::Nothing) {
    EXPECT_EQ(message, "");
    EXPECT_TRUE(test::directoryExists(path));
  } else {
    EXPECT_EQ(message.rfind("create_directories: ", 0), 0u) << message;
  }
  if (GetParam() == Before::Link) test::removeDirectoryLink(path);
}

INSTANTIATE_TEST_SUITE_P(Rows, CreatePrivateDirectory,
                         ::testing::Values(Before::Nothing, Before::Directory, Before::Link),
                         [](const auto& info) {
                           return std::string(info.param == Before::Nothing     ? "Nothing"
                                              : info.param == Before::Directory ? "Directory"
                                                                                : "Link");
                         });

}  // namespace
