#include <gtest/gtest.h>

#include <stdexcept>

#include "common/Utf.h"
#include "tests/support/MessageOf.h"

using orvo::utf8ToWide;
using orvo::utf8ToWideLenient;
using orvo::wideToUtf8;

namespace {

std::string invalidUtf8Message(const std::string& bytes) {
  return orvo::test::messageOf([&] { utf8ToWide(bytes); });
}

}  // namespace

TEST(Utf, ConvertsChineseAndSupplementaryCharactersBothWays) {
  const std::string utf8 = "安装 orvo game \xF0\x9F\x8E\xAE";
  const std::wstring wide = utf8ToWide(utf8);
  ASSERT_EQ(wide.size(), 15u);
  EXPECT_EQ(wide[0], static_cast<wchar_t>(0x5B89));
  EXPECT_EQ(static_cast<unsigned>(wide[13]), 0xD83Cu);
  EXPECT_EQ(static_cast<unsigned>(wide[14]), 0xDFAEu);
  EXPECT_EQ(wideToUtf8(wide), utf8);
  EXPECT_EQ(utf8ToWide(""), L"");
}

TEST(Utf, RefusesEveryMalformedSequenceWithInvalidUtf8) {
  for (const std::string bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80",
                                "\xFF", "abc\xE4\xB8"}) {
    EXPECT_EQ(invalidUtf8Message(bad), "Invalid UTF8") << "bytes of length " << bad.size();
  }
}

TEST(Utf, WritesReplacementForUnpairedSurrogates) {
  std::wstring text = L"a";
  text.push_back(static_cast<wchar_t>(0xD800));
  text.push_back(L'b');
  EXPECT_EQ(wideToUtf8(text), "a\xEF\xBF\xBD" "b");
}

TEST(Utf, LenientDecodingKeepsValidTextAroundBadBytes) {
  const std::wstring text = utf8ToWideLenient("ok\xFF安");
  ASSERT_EQ(text.size(), 4u);
  EXPECT_EQ(text.substr(0, 2), L"ok");
  EXPECT_EQ(static_cast<unsigned>(text[2]), 0xFFFDu);
  EXPECT_EQ(text[3], static_cast<wchar_t>(0x5B89));
}
