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

}  // namespace
}  // namespace corvalith
