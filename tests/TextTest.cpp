#include <gtest/gtest.h>

#include "fs/Text.h"

namespace calendario {
namespace {

TEST(Text, Utf8DecodesAndEncodesBackUnchanged) {
  const std::string valid = "A\xc3\xb1o \xe2\x82\xac \xf0\x9f\x98\x80";  // "Año € 😀"
  const std::u16string decoded = Utf8ToUtf16(valid);
  EXPECT_EQ(decoded, u"A\u00f1o \u20ac \U0001F600");
  EXPECT_EQ(Utf16ToUtf8(decoded), valid);
}

TEST(Text, BytesThatAreNotUtf8SurviveTheRoundTrip) {
  // Stray continuation, overlong form, encoded surrogate, truncated sequence, 0xFF.
  for (const std::string bytes :
       {"\x80", "a\xc0\xafz", "\xed\xa0\x80", "ok\xe2\x82", "\xff\xfe", "\xf5\x80\x80\x80"}) {
    SCOPED_TRACE(bytes);
    const std::u16string text = Utf8ToUtf16(bytes);
    for (char16_t c : text) EXPECT_TRUE(c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF));
    EXPECT_EQ(Utf16ToUtf8(text), bytes);
  }
}

TEST(Text, Windows1252IsOneBytePerCharacter) {
  EXPECT_EQ(Utf16ToWindows1252(u"Ya exist\u00eda la carpeta "),
            "Ya exist\xed"
            "a la carpeta ");
  EXPECT_EQ(Utf16ToWindows1252(u"\u20ac\u0152\u2122\u00ff"), "\x80\x8c\x99\xff");
  // Outside the code page, as Windows converts: its best fit where it has one, otherwise '?',
  // and a '?' for each unit of a surrogate pair.
  EXPECT_EQ(Utf16ToWindows1252(u"\u3042|\U0001F600|\u0100\u0142\u015d\u2212"), "?|??|Als-");
  // A byte that came in undecodable stands for no character: '?', as for a lone surrogate.
  EXPECT_EQ(Utf16ToWindows1252(Utf8ToUtf16("\xe9t\x81")), "?t?");
}

TEST(Text, Utf32ReplacesWhatIsNotAScalarValue) {
  EXPECT_EQ(Utf32ToUtf16(U"a\U0001F600"), u"a\U0001F600");
  EXPECT_EQ(Utf32ToUtf16(std::u32string{0xD800, 0x110000}), u"\uFFFD\uFFFD");
}

}  // namespace
}  // namespace calendario
