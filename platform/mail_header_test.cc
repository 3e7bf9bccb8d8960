#include "platform/mail_header.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace corvalith {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields ReadAll(std::string_view header) {
  Fields fields;
  MailHeaderReader reader(header);
  while (std::optional<MailHeaderField> field = reader.Next()) {
    fields.emplace_back(std::string(field->name), field->Unfolded());
  }
  return fields;
}

TEST(MailHeaderTest, FieldsFoldAndUnfoldAsWritten) {
  struct {
    const char* label;
    std::string header;
    Fields fields;
  } cases[] = {
      {"CRLF and LF, folds keep their blanks",
       "Subject: a\r\n\tb\n c\r\nTo:x\n",
       {{"Subject", " a\tb c"}, {"To", "x"}}},
      {"the last line needs no line end", "A: 1\nB: 2", {{"A", " 1"}, {"B", " 2"}}},
      {"a line that is no field takes its continuations along",
       "no colon\n\tlost\n: empty name\n lost too\n\nC:\n",
       {{"C", ""}}},
      {"a CR inside a line stays; the name is kept as written",
       "X-A b :v\rw\r\n",
       {{"X-A b ", "v\rw"}}},
      {"an empty line ends a fold", "D: 1\n\n continuation of nothing\n", {{"D", " 1"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadAll(c.header), c.fields) << c.label;
}

TEST(MailHeaderTest, UnfoldedStopsAtItsBound) {
  MailHeaderReader reader("S: abc\r\n def\r\n");
  std::optional<MailHeaderField> field = reader.Next();
  ASSERT_TRUE(field.has_value());
  EXPECT_EQ(field->Unfolded(6), " abc d");
  EXPECT_EQ(field->Unfolded(0), "");
  EXPECT_FALSE(reader.Next().has_value());
}

}  // namespace
}  // namespace corvalith
