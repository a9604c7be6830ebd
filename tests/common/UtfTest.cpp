#include <gtest/gtest.h>

#include "common/Utf.h"
#include "tests/support/MessageOf.h"

namespace orvo::test {
namespace {

// Chinese and a supplementary character (a surrogate pair) both ways; a lone surrogate, within the text or at its
// end, written as U+FFFD;
// every malformed sequence refused by the strict decoder and replaced by the lenient one.
TEST(Utf, ConvertsBothWaysAndTreatsMalformedTextByItsRule) {
  const std::wstring wide = {0x5B89, 0x88C5, L' ', L'o', 0xD83C, 0xDFAE};
  EXPECT_EQ(utf8ToWide("安装 o\xF0\x9F\x8E\xAE"), wide);
  EXPECT_EQ(wideToUtf8(wide), "安装 o\xF0\x9F\x8E\xAE");
  EXPECT_EQ(utf8ToWide(""), L"");
  EXPECT_EQ(wideToUtf8(std::wstring{L'a', wchar_t(0xD800), L'b', wchar_t(0xD800)}), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(utf8ToWideLenient("ok\xFF安"), (std::wstring{L'o', L'k', 0xFFFD, 0x5B89}));
  for (const std::string bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xFF", "abc\xE4\xB8"}) {
    EXPECT_EQ(messageOf([&] { utf8ToWide(bad); }), "Invalid UTF8") << "bytes of length " << bad.size();
  }
}

}  // namespace
}  // namespace orvo::test
