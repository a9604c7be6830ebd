#include <gtest/gtest.h>

#include "common/PathText.h"

using namespace orvo;

namespace {

enum class Rule { RootPart, Complete, Normal, Parent, Join };
struct PathRow {
  Rule rule;
  const wchar_t* in;
  const wchar_t* expected;  // "yes"/"no" for Complete; the second operand for Join is `arg`
  const wchar_t* arg = L"";
};

std::wstring apply(const PathRow& r) {
  switch (r.rule) {
    case Rule::RootPart: return std::wstring(r.in).substr(0, rootPartLength(r.in));
    case Rule::Complete: return isCompletePath(r.in) ? L"yes" : L"no";
    case Rule::Normal: return normalizeLexically(r.in);
    case Rule::Parent: return std::wstring(parentPathText(r.in));
    case Rule::Join: return joinPath(r.in, r.arg);
  }
  return L"?";
}

// Root parts decide where a parent walk stops and what counts as a complete
// path; normalisation must agree with the standard library's lexically_normal.
const PathRow kRows[] = {
    {Rule::RootPart, L"C:\\x", L"C:\\"},
    {Rule::RootPart, L"c:", L"c:"},
    {Rule::RootPart, L"C:\\\\/x", L"C:\\\\/"},
    {Rule::RootPart, L"\\\\server\\share\\dir", L"\\\\server\\"},
    {Rule::RootPart, L"//server/share", L"//server/"},
    {Rule::RootPart, L"\\\\?\\C:\\x", L"\\\\?\\"},
    {Rule::RootPart, L"\\x", L"\\"},
    {Rule::RootPart, L"\\\\\\x", L"\\\\\\"},
    {Rule::RootPart, L"1:\\x", L""},
    {Rule::Complete, L"C:\\games", L"yes"},
    {Rule::Complete, L"d:/games", L"yes"},
    {Rule::Complete, L"\\\\server\\share\\games", L"yes"},
    {Rule::Complete, L"C:", L"no"},
    {Rule::Complete, L"C:folder", L"no"},
    {Rule::Complete, L"relative\\dir", L"no"},
    {Rule::Complete, L"\\games", L"no"},
    {Rule::Complete, L"", L"no"},
    {Rule::Complete, L"\\\\\\x", L"no"},
    {Rule::Normal, L"C:/Games//orvo/./x/../y", L"C:\\Games\\orvo\\y"},
    {Rule::Normal, L"C:\\x\\..", L"C:\\"},
    {Rule::Normal, L"C:\\.\\", L"C:\\"},
    {Rule::Normal, L"C:\\..\\..\\a", L"C:\\a"},
    {Rule::Normal, L"C:\\a\\", L"C:\\a\\"},
    {Rule::Normal, L"C:\\a\\.", L"C:\\a\\"},
    {Rule::Normal, L"a\\..", L"."},
    {Rule::Normal, L"..\\a\\..\\..", L"..\\.."},
    {Rule::Normal, L"//server/share/./d", L"\\\\server\\share\\d"},
    {Rule::Normal, L"", L""},
    {Rule::Parent, L"C:\\a\\b", L"C:\\a"},
    {Rule::Parent, L"C:\\a\\b\\\\", L"C:\\a"},
    {Rule::Parent, L"C:\\a", L"C:\\"},
    {Rule::Parent, L"C:\\", L"C:\\"},
    {Rule::Parent, L"\\\\server\\share", L"\\\\server\\"},
    {Rule::Parent, L"a", L""},
    {Rule::Join, L"C:\\a", L"C:\\a\\b", L"b"},
    {Rule::Join, L"C:\\a\\", L"C:\\a\\b", L"b"},
    {Rule::Join, L"", L"b", L"b"},
};

TEST(PathText, FollowsTheRulesTable) {
  for (const PathRow& row : kRows) {
    EXPECT_EQ(apply(row), row.expected) << "rule " << static_cast<int>(row.rule) << " on row " << (&row - kRows);
  }
}

}  // namespace
