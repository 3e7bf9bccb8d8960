#include "platform/unicode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

namespace corvalith {
namespace {

// UTF-16LE bytes of the given code units.
std::string Units(std::initializer_list<uint16_t> units) {
  std::string bytes;
  for (uint16_t unit : units) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

TEST(Utf16Test, ConvertsBothWaysIncludingSurrogatePairs) {
  struct Case {
    const char* what;
    std::string utf16;
    std::string utf8;
  } cases[] = {
      {"empty", "", ""},
      {"ascii and line end", Units({'A', '=', '\r', '\n'}), "A=\r\n"},
      {"byte-order mark", Units({0xFEFF, 'R'}), "\xEF\xBB\xBFR"},
      {"two and three bytes", Units({0xFC, 0x20AC}), "\xC3\xBC\xE2\x82\xAC"},
      {"pair", Units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},
      {"last code point", Units({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},
      {"zero unit", Units({0, 'x'}), std::string("\0x", 2)},
  };
  for (const Case& c : cases) {
    std::string utf8;
    EXPECT_TRUE(Utf16LeToUtf8(c.utf16, &utf8)) << c.what;
    EXPECT_EQ(utf8, c.utf8) << c.what;
    EXPECT_EQ(Utf8ToUtf16Le(c.utf8), c.utf16) << c.what;
    EXPECT_TRUE(IsValidUtf8(c.utf8)) << c.what;
  }
}

TEST(Utf16Test, UnpairedSurrogatesAndOddBytesAreRejectedAfterTheGoodText) {
  struct Case {
    const char* what;
    std::string utf16;
  } cases[] = {
      {"high at the end", Units({'a', 0xD83D})},
      {"high before a letter", Units({'a', 0xD83D, 'b'})},
      {"two highs", Units({'a', 0xD83D, 0xD83D, 0xDE00})},
      {"low alone", Units({'a', 0xDE00, 'b'})},
      {"odd byte", Units({'a'}) + "b"},
  };
  for (const Case& c : cases) {
    std::string utf8 = "kept";
    EXPECT_FALSE(Utf16LeToUtf8(c.utf16, &utf8)) << c.what;
    EXPECT_EQ(utf8, "kepta") << c.what;
  }
}

TEST(Utf16Test, InvalidUtf8BecomesReplacementCharacters) {
  for (std::string bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\x80"}) {
    EXPECT_FALSE(IsValidUtf8("a" + bad)) << bad;
    std::string utf16 = Utf8ToUtf16Le("a" + bad);
    ASSERT_GE(utf16.size(), 4u);
    EXPECT_EQ(utf16.substr(0, 4), Units({'a', 0xFFFD})) << bad;
  }
}

}  // namespace
}  // namespace corvalith
