#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvalith {
namespace {

TEST(SplitTextTest, KeepsEmptyPiecesAndAnEmptyTextHasNone) {
  EXPECT_EQ(SplitText("", ';'), std::vector<std::string>{});
  EXPECT_EQ(SplitText(";a;;b;", ';'), (std::vector<std::string>{"", "a", "", "b", ""}));
  EXPECT_EQ(SplitText("a", ';'), std::vector<std::string>{"a"});
}

// Each trim takes exactly its own set off the ends, never anything inside, and never a byte
// of a UTF-8 sequence (U+00A0 is C2 A0; a Latin-1 no-break space is A0 alone).
TEST(TrimTest, EachTrimTakesOnlyItsOwnCharactersOffTheEnds) {
  struct Case {
    std::string_view text, spaces, blanks, whitespace;
  } cases[] = {
      {"", "", "", ""},
      {"   ", "", "", ""},
      {" \t a b \t ", "\t a b \t", "a b", "a b"},
      {"\r\n x\t\r\n", "\r\n x\t\r\n", "\r\n x\t\r\n", "x"},
      {"\xC2\xA0x\xA0", "\xC2\xA0x\xA0", "\xC2\xA0x\xA0", "\xC2\xA0x\xA0"},
      {"\vx\f", "\vx\f", "\vx\f", "\vx\f"},
      {"x", "x", "x", "x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimSpaces(c.text), c.spaces) << c.text;
    EXPECT_EQ(TrimBlanks(c.text), c.blanks) << c.text;
    EXPECT_EQ(TrimWhitespace(c.text), c.whitespace) << c.text;
  }
  EXPECT_EQ(TrimAny("--x-y--", "-"), "x-y");
  EXPECT_EQ(TrimAny("x", ""), "x");
}

// Every byte: only 'A' to 'Z' change, by exactly the distance to 'a'; neither the neighbours
// of the letters ('@', '[', '`', '{') nor any byte of 0x80 and up (Latin-1 'Ä' is C4, 'ä' E4).
TEST(CaseTest, OnlyTheAsciiCapitalsFold) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
  const std::string lower = LowerCase(all);
  for (int byte = 0; byte < 256; ++byte) {
    const char expected =
        byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 32) : static_cast<char>(byte);
    EXPECT_EQ(lower[static_cast<size_t>(byte)], expected) << byte;
    EXPECT_EQ(AsciiLower(static_cast<char>(byte)), expected) << byte;
  }
}

TEST(CaseTest, ComparisonsIgnoreAsciiCaseOnly) {
  EXPECT_TRUE(EqualsIgnoringCase("", ""));
  EXPECT_TRUE(EqualsIgnoringCase("Message-ID", "message-id"));
  EXPECT_FALSE(EqualsIgnoringCase("abc", "abcd"));
  EXPECT_FALSE(EqualsIgnoringCase("@[", "`{"));  // one bit apart, as letters of two cases are
  EXPECT_FALSE(EqualsIgnoringCase("\xC4", "\xE4"));
  EXPECT_TRUE(EqualsIgnoringCase("\xC3\x84x", "\xC3\x84X"));

  EXPECT_TRUE(StartsWithIgnoringCase("HTTP://x", "http://"));
  EXPECT_TRUE(StartsWithIgnoringCase("x", ""));
  EXPECT_TRUE(StartsWithIgnoringCase("", ""));
  EXPECT_FALSE(StartsWithIgnoringCase("htt", "http"));  // the prefix longer than the text
  EXPECT_FALSE(StartsWithIgnoringCase("\xC4x", "\xE4x"));
}

TEST(CaseTest, FindLooksFromItsStartWithoutRegardToCase) {
  EXPECT_EQ(FindIgnoringCase("see WWW.example and www.other", "www."), 4u);
  EXPECT_EQ(FindIgnoringCase("see WWW.example and www.other", "www.", 5), 20u);
  EXPECT_EQ(FindIgnoringCase("aaAb", "aab"), 1u);  // a partial match before the match
  EXPECT_EQ(FindIgnoringCase("<BODY>", "<body"), 0u);
  EXPECT_EQ(FindIgnoringCase("xy", "xyz"), std::string_view::npos);  // needle longer than text
  EXPECT_EQ(FindIgnoringCase("", "a"), std::string_view::npos);
  EXPECT_EQ(FindIgnoringCase("abc", "c", 3), std::string_view::npos);
  EXPECT_EQ(FindIgnoringCase("abc", "c", 99), std::string_view::npos);
  EXPECT_EQ(FindIgnoringCase("abc", "", 3), 3u);
  EXPECT_EQ(FindIgnoringCase("abc", "", 4), std::string_view::npos);
  const std::string latin1_a_umlaut = "\xE4", latin1_capital_a_umlaut = "\xC4";
  EXPECT_EQ(FindIgnoringCase(latin1_capital_a_umlaut + "BC", latin1_a_umlaut + "bc"),
            std::string_view::npos);
  EXPECT_EQ(FindIgnoringCase("x" + latin1_a_umlaut + "BC", latin1_a_umlaut + "bc"), 1u);
}

}  // namespace
}  // namespace corvalith
