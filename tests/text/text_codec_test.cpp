// Windows-1252 texts travel as UTF-8 and back unchanged; malformed UTF-8 and
// characters the code page lacks are refused; UTF-16 converts to both.
#include <gtest/gtest.h>

#include "text_codec.h"

using namespace lumatrice;

TEST(TextCodec, Windows1252TextsTravelAsUtf8) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += char(b);
  std::string back, error;
  ASSERT_TRUE(Utf8ToCp1252(Cp1252ToUtf8(all), back, error)) << error;
  EXPECT_EQ(back, all);
  struct Case {
    const char* utf8;
    const char* cp1252;  // null: refused
  };
  const Case cases[] = {
      {"caf\xc3\xa9", "caf\xe9"},
      {"\xe2\x82\xac" "5", "\x80" "5"},
      {"\xe2\x80\x9cq\xe2\x80\x9d", "\x93q\x94"},
      {"\xc2\x81", "\x81"},  // an undefined byte's C1 control
      {"\xe6\x97\xa5", nullptr},
      {"\xf0\x9f\x98\x80", nullptr},
      {"\xc3", nullptr},
      {"\xff", nullptr},
      {"\xc0\xaf", nullptr},          // overlong '/'
      {"\xe0\x80\xaf", nullptr},      // overlong '/'
      {"\xc0\x80", nullptr},          // overlong NUL
      {"\xed\xa0\x80", nullptr},      // a surrogate
      {"\xf4\x90\x80\x80", nullptr},  // past U+10FFFF
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(Utf8ToCp1252(c.utf8, out, error), c.cp1252 != nullptr) << c.utf8;
    if (c.cp1252) {
      EXPECT_EQ(out, c.cp1252);
    }
  }
  EXPECT_EQ(Utf8ToCp1252Lossy("\xe6\x97\xa5/\xf0\x9f\x98\x80"), "?/?");
}

TEST(TextCodec, CodePageTable) {
  const std::pair<unsigned char, char32_t> cases[] = {
      {0x41, 0x41},     {0x80, 0x20AC}, {0x81, 0},      {0x8D, 0},      {0x8F, 0},
      {0x90, 0},        {0x9D, 0},      {0x8A, 0x0160}, {0x9F, 0x0178}, {0xA0, 0xA0},
      {0xFF, 0xFF},
  };
  for (const auto& [byte, c] : cases) {
    EXPECT_EQ(Cp1252ToCodePoint(byte), c) << int(byte);
    if (c) {
      EXPECT_EQ(CodePointToCp1252(c), byte) << int(byte);
    }
  }
  EXPECT_EQ(CodePointToCp1252(0x80), -1);  // the C1 control whose byte means U+20AC
  EXPECT_EQ(CodePointToCp1252(0x9D), 0x9D);
}

TEST(TextCodec, Utf16Conversions) {
  struct Case {
    std::u16string text;
    std::string utf8, ansi;
  };
  const std::vector<Case> cases = {
      {u"Time & Date", "Time & Date", "Time & Date"},
      {u"caf\u00e9", "caf\xc3\xa9", "caf\xe9"},
      {u"\u20ac1", "\xe2\x82\xac" "1", "\x80" "1"},
      {u"\u4e2d", "\xe4\xb8\xad", "?"},
      {u"\U0001F600", "\xf0\x9f\x98\x80", "?"},
      {std::u16string(1, char16_t(0xD800)), "\xef\xbf\xbd", "?"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.text), c.utf8) << c.utf8;
    EXPECT_EQ(Utf16ToCp1252(c.text), c.ansi) << c.utf8;
  }
}
