#include "store/mailbox_url.h"

#include <gtest/gtest.h>

#include <utility>

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

// Mail servers match addresses without regard to case, in every script a local part may be
// written in; a name that is not UTF-8 matches nothing but itself.
TEST(MailboxUrlTest, NamesDifferingOnlyInCaseFoldAlike) {
  const std::pair<const char*, const char*> alike[] = {
      {"Alice", "aLICE"},
      {"EXAMPLE.COM", "example.com"},
      {"\xC3\x89lodie", "\xC3\xA9LODIE"},                        // Élodie, éLODIE
      {"\xCE\xA3\xCE\x9F\xCE\xA3", "\xCF\x83\xCE\xBF\xCF\x82"},  // ΣΟΣ, σος (final sigma)
      {"\xD0\x96\xD0\xB5\xD0\xBD\xD1\x8F", "\xD0\xB6\xD0\x95\xD0\x9D\xD0\xAF"},  // Женя
      {"gro\xC3\x9F", "GROSS"},                                                  // groß
      {"\xE2\x84\xAA", "k"},                                                     // the Kelvin sign
  };
  for (const auto& [a, b] : alike) {
    ASSERT_TRUE(CaseFoldedName(a).has_value()) << a;
    EXPECT_EQ(CaseFoldedName(a), CaseFoldedName(b)) << a << " / " << b;
  }
  EXPECT_NE(CaseFoldedName("alice"), CaseFoldedName("alicia"));
  EXPECT_NE(CaseFoldedName("\xC3\xA9lodie"), CaseFoldedName("elodie")) << "accents count";
  EXPECT_EQ(CaseFoldedName(""), "");
  EXPECT_EQ(CaseFoldedName("al\xFFice"), std::nullopt);
  EXPECT_EQ(CaseFoldedName("\xC3"), std::nullopt) << "a truncated sequence";
  EXPECT_EQ(CaseFoldedName(std::string("al\0ice", 6)), std::nullopt);
}

}  // namespace
}  // namespace corvalith::store
