#include <gtest/gtest.h>

#include "common/PathText.h"
#include "common/Utf.h"

namespace orvo {
namespace {

enum class Rule { RootPart, Complete, Normal, Parent, Join };

std::wstring apply(Rule rule, const std::wstring& in) {
  switch (rule) {
    case Rule::RootPart: return in.substr(0, rootPartLength(in));
    case Rule::Complete: return isCompletePath(in) ? L"yes" : L"no";
    case Rule::Normal: return normalizeLexically(in);
    case Rule::Parent: return std::wstring(parentPathText(in));
    case Rule::Join: return joinPath(in, L"b");
  }
  return L"?";
}

// Root parts decide where a parent walk stops and what counts as a complete path; normalisation must agree with
// the standard library's lexically_normal. A rule, then each input with what it gives.
const std::vector<std::pair<Rule, std::vector<std::pair<std::wstring, std::wstring>>>> kRows = {
    {Rule::RootPart, {{L"C:\\x", L"C:\\"}, {L"c:", L"c:"}, {L"C:\\\\/x", L"C:\\\\/"}, {L"\\\\server\\share\\dir", L"\\\\server\\"},
                      {L"//server/share", L"//server/"}, {L"\\\\?\\C:\\x", L"\\\\?\\"}, {L"\\x", L"\\"},
                      {L"\\\\\\x", L"\\\\\\"}, {L"1:\\x", L""}}},
    {Rule::Complete, {{L"C:\\games", L"yes"}, {L"d:/games", L"yes"}, {L"\\\\server\\share\\games", L"yes"}, {L"C:", L"no"},
                      {L"C:folder", L"no"}, {L"relative\\dir", L"no"}, {L"\\games", L"no"}, {L"", L"no"}, {L"\\\\\\x", L"no"}}},
    {Rule::Normal, {{L"C:/Games//orvo/./x/../y", L"C:\\Games\\orvo\\y"}, {L"C:\\x\\..", L"C:\\"}, {L"C:\\.\\", L"C:\\"},
                    {L"C:\\..\\..\\a", L"C:\\a"}, {L"C:\\a\\", L"C:\\a\\"}, {L"C:\\a\\.", L"C:\\a\\"}, {L"a\\..", L"."},
                    {L"..\\a\\..\\..", L"..\\.."}, {L"//server/share/./d", L"\\\\server\\share\\d"}, {L"", L""}}},
    {Rule::Parent, {{L"C:\\a\\b", L"C:\\a"}, {L"C:\\a\\b\\\\", L"C:\\a"}, {L"C:\\a", L"C:\\"}, {L"C:\\", L"C:\\"},
                    {L"\\\\server\\share", L"\\\\server\\"}, {L"a", L""}}},
    {Rule::Join, {{L"C:\\a", L"C:\\a\\b"}, {L"C:\\a\\", L"C:\\a\\b"}, {L"", L"b"}}},
};

TEST(PathText, FollowsTheRulesTable) {
  for (const auto& [rule, cases] : kRows)
    for (const auto& [in, expected] : cases) EXPECT_EQ(apply(rule, in), expected) << int(rule) << " " << wideToUtf8(in);
}

}  // namespace
}  // namespace orvo
