#include "logging/control_characters.h"

#include <gtest/gtest.h>

#include <string>

namespace corvalith {
namespace {

// Bytes of UTF-8 sequences (0x80 and up) are negative as char and must not count.
TEST(ControlCharactersTest, BelowBlankAndDelOnly) {
  for (int byte = 0; byte < 256; ++byte) {
    bool control = byte < 0x20 || byte == 0x7F;
    EXPECT_EQ(IsControlCharacter(static_cast<char>(byte)), control) << byte;
  }
  EXPECT_FALSE(HasControlCharacter("Grüße <a b@x.org>"));
  EXPECT_TRUE(HasControlCharacter(std::string("a\0b", 3)));
  EXPECT_TRUE(HasControlCharacter("a@b\r\n@c"));
}

TEST(ControlCharactersTest, EscapesAreReadableAndKeepOnlyTheRecordsLineEnds) {
  struct Case {
    std::string text;
    const char* escaped;
    const char* escaped_but_crlf;
  } cases[] = {
      {"plain Grüße", "plain Grüße", "plain Grüße"},
      {"a\r\nb", "a\\r\\nb", "a\r\nb"},
      {"a\rb\nc", "a\\rb\\nc", "a\\rb\\nc"},  // bare CR and LF are no line ends
      {"a\n\r\nb\r\r\n", "a\\n\\r\\nb\\r\\r\\n", "a\\n\r\nb\\r\r\n"},
      {"\t", "\\t", "\\t"},
      {"\x1B[2J", "\\x1B[2J", "\\x1B[2J"},
      {std::string("\0\x1F\x7F", 3), "\\x00\\x1F\\x7F", "\\x00\\x1F\\x7F"},
      {"back\\slash", "back\\slash", "back\\slash"},  // the escape is for reading only
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeControlCharacters(c.text), c.escaped) << c.escaped;
    EXPECT_EQ(EscapeControlCharactersButCrLf(c.text), c.escaped_but_crlf) << c.escaped;
  }
}

}  // namespace
}  // namespace corvalith
