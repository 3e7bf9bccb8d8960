#include "config/constructor_string.h"

#include <gtest/gtest.h>

#include "platform/failure.h"

namespace corvalith {
namespace {

TEST(ConstructStringTest, FirstElementTrimmedOfBlanksWithSeparatorAppended) {
  struct Case {
    const char* construct_string;
    const char* data_directory;
  } cases[] = {
      {"/srv/data ;x", "/srv/data/"},  // blank removed, second element ignored
      {"/srv/data/", "/srv/data/"},    // already ends in the separator
      {";/srv/data", "/"},             // empty first element
      {"   ", "/"},                    // blanks only
      {"D:\\Data\\", "D:\\Data\\/"},   // only "/" counts as the separator
      {"\t/srv", "\t/srv/"},           // a tab is not a blank
      {"rel", "rel/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DataDirectoryFromConstructString(c.construct_string), c.data_directory)
        << c.construct_string;
  }
}

TEST(ConstructStringTest, EmptyStringHasNoFirstElement) {
  try {
    DataDirectoryFromConstructString("");
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kErrSubscriptOutOfRange);
  }
}

}  // namespace
}  // namespace corvalith
