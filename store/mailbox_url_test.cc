#include "store/mailbox_url.h"

#include <gtest/gtest.h>

namespace corvalith::store {
namespace {

TEST(MailboxUrlTest, RootAndParts) {
  EXPECT_EQ(MailboxRootUrl("D", "U"), "file://./backofficestorage/D/MBX/U");
  struct Case {
    const char* url;
    std::optional<MailboxUrl> parts;
  };
  const Case cases[] = {
      {"file://./backofficestorage/D/MBX/U", MailboxUrl{"D", "U", {}}},
      {"file://./backofficestorage/D/MBX/U/Inbox/M.EML", MailboxUrl{"D", "U", {"Inbox", "M.EML"}}},
      {"file://./backofficestorage/D/MBX/U/", MailboxUrl{"D", "U", {""}}},
      {"file://./backofficestorage/D/MBX/U//x", MailboxUrl{"D", "U", {"", "x"}}},
      {"file://./backofficestorage/D/mbx/U", std::nullopt},  // the level is exact
      {"file://./backofficestorage//MBX/U", std::nullopt},
      {"file://./backofficestorage/D/MBX/", std::nullopt},
      {"file://./backofficestorage/D/MBX", std::nullopt},
      {"file://./BackOfficeStorage/D/MBX/U", std::nullopt},
      {"http://example.com/D/MBX/U", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<MailboxUrl> parts = ParseMailboxUrl(c.url);
    ASSERT_EQ(parts.has_value(), c.parts.has_value()) << c.url;
    if (!parts) continue;
    EXPECT_EQ(parts->domain, c.parts->domain) << c.url;
    EXPECT_EQ(parts->user, c.parts->user) << c.url;
    EXPECT_EQ(parts->below, c.parts->below) << c.url;
    EXPECT_EQ(IsMailboxRoot(c.url), c.parts->below.empty()) << c.url;
  }
}

}  // namespace
}  // namespace corvalith::store
