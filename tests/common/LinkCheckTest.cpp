#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "common/LinkCheck.h"
#include "tests/support/TestSupport.h"

using namespace orvo;

namespace {

// A component counts as "no link" only when it is there and carries no
// reparse point, or when the system says it is absent; any other answer (a
// name the system will not look up, say) must stop the caller rather than
// let a link it could not see pass.
struct LinkCheckRow {
  const char* name;
  const wchar_t* path;  // below the test's directory; "<link>" is a directory link to elsewhere
  bool refused;
};

void PrintTo(const LinkCheckRow& row, std::ostream* out) { *out << row.name; }

class CheckNoLinks : public test::TempDirTest, public ::testing::WithParamInterface<LinkCheckRow> {};

TEST_P(CheckNoLinks, RefusesWhatItCannotShowToBeNoLink) {
  const LinkCheckRow row = GetParam();
  const std::wstring elsewhere = temp / L"elsewhere";
  ASSERT_TRUE(::CreateDirectoryW(elsewhere.c_str(), nullptr));
  test::makeDirectoryLink(temp / L"link", elsewhere);
  ASSERT_TRUE(::CreateDirectoryW((temp / L"plain").c_str(), nullptr));
  std::string message;
  try {
    checkNoLinks(temp / row.path);
  } catch (const std::runtime_error& e) {
    message = e.what();
  }
  EXPECT_EQ(message, row.refused ? "Install directory cannot use links" : "");
  test::removeDirectoryLink(temp / L"link");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CheckNoLinks,
    ::testing::Values(LinkCheckRow{"PlainDirectory", L"plain", false},
                      LinkCheckRow{"AbsentUnderAbsent", L"absent\\deeper\\still", false},
                      LinkCheckRow{"BelowALink", L"link\\inner", true},
                      LinkCheckRow{"TheLinkItself", L"link", true},
                      LinkCheckRow{"UnreadableName", L"plain\\bad<name", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
