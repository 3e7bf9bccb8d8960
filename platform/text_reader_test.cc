#include "platform/text_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvalith {
namespace {

TEST(TextReaderTest, LineEnds) {
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb\nc", {"a", "b", "c"}},
      {"\n", {""}},
      {"a\r\n\r\n", {"a", ""}},
      {"\n\nb", {"", "", "b"}},
      {"a\rb\n", {"a\rb"}},  // a bare CR ends no line
      {"a\r", {"a\r"}},
      {"x\r\r\n", {"x\r"}},
  };
  for (const Case& c : cases) {
    TextReader reader(c.content);
    std::vector<std::string> lines;
    while (std::optional<std::string> line = reader.ReadLine()) lines.push_back(*line);
    EXPECT_EQ(lines, c.lines) << c.content;
    EXPECT_EQ(reader.ReadLine(), std::nullopt) << "the end stays the end";
  }
}

}  // namespace
}  // namespace corvalith
