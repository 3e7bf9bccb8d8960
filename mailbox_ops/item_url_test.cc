#include "mailbox_ops/item_url.h"

#include <gtest/gtest.h>

#include "platform/failure.h"

namespace corvalith {
namespace {

TEST(SplitItemUrlTest, PartsByPosition) {
  struct Case {
    const char* url;
    const char* domain;
    const char* user;
    const char* item;
  } cases[] = {
      {"file://./backofficestorage/D/MBX/U/Inbox/M.EML", "D", "U", "M.EML"},
      {"file://./backofficestorage/D/MBX/U/Inbox/Sub/M.EML", "D", "U", "M.EML"},
      {"file://./backofficestorage/D/MBX/U/Inbox/", "D", "U", ""},
      {"file://./backofficestorage/D/MBX/U", "D", "U", "U"},
      {"file://./backofficestorage/Ex%20D/XXX/uSer/In box/%41.eml", "Ex%20D", "uSer", "%41.eml"},
  };
  for (const Case& c : cases) {
    std::string domain, user, item;
    SplitItemUrl(c.url, &domain, &user, &item);
    EXPECT_EQ(domain, c.domain) << c.url;
    EXPECT_EQ(user, c.user) << c.url;
    EXPECT_EQ(item, c.item) << c.url;
  }
}

TEST(SplitItemUrlTest, ShortUrlsFailWithSubscriptOutOfRange) {
  for (const char* url : {"", "file://./backofficestorage", "file://./backofficestorage/D",
                          "file://./backofficestorage/D/MBX"}) {
    std::string domain = "before", user = "before", item = "before";
    try {
      SplitItemUrl(url, &domain, &user, &item);
      ADD_FAILURE() << url;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), kErrSubscriptOutOfRange) << url;
    }
    EXPECT_EQ(user, "before") << url;
  }
  std::string domain, user, item;
  EXPECT_THROW(SplitItemUrl("file://./backofficestorage/D/MBX", &domain, &user, &item), Failure);
  EXPECT_EQ(domain, "D");  // written before piece 6 was found missing
}

TEST(MailboxUrlTest, Forms) {
  EXPECT_EQ(SpamFolderUrl("D", "U"), "file://./backofficestorage/D/MBX/U/Spambox");
  EXPECT_EQ(JunkMailFolderUrl("D", "U", "Junk"), "file://./backofficestorage/D/MBX/U/Junk");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "M.EML", -42), "F/M-42.eml");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", ".EML", 7), "F/7.eml");
  EXPECT_THROW(ClashFreeMoveDestinationUrl("F", "EML", 7), Failure);
  EXPECT_EQ(ManualItemUrl("F"), "F/Corvalith_Manual.eml");
}

TEST(MailboxUrlTest, ClashFreeNameCutsWholeCharacters) {
  // "Grüße" less four characters is "G", whatever the bytes of the four.
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "Gr\u00fc\u00dfe", 5), "F/G5.eml");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "x\u20ac\u20ac\u20ac\u20ac", 5), "F/x5.eml");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "\U0001F600.eml", 5), "F/\U0001F6005.eml");
  // Four characters in eight bytes: all four go, not half of them.
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "\u00e4\u00f6\u00fc\u00df", 5), "F/5.eml");
  EXPECT_THROW(ClashFreeMoveDestinationUrl("F", "\u20ac\u20ac\u20ac", 5), Failure);
  // A byte of no whole sequence counts as a character of its own, and nothing before the
  // cut changes.
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "ab\x80\x80\x80\x80\x80", 5),
            "F/ab\x80"
            "5.eml");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "a\xe2\x82.eml", 5),
            "F/a\xe2\x82"
            "5.eml");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "a\xff\xfeXY", 5), "F/a5.eml");
}

TEST(SameFolderUrlTest, UnicodeCaseFolding) {
  EXPECT_TRUE(SameFolderUrl("file://./backofficestorage/D/MBX/U/Spambox",
                            "FILE://./BACKOFFICESTORAGE/d/mbx/u/SPAMBOX"));
  EXPECT_TRUE(
      SameFolderUrl("U/\u00c9l\u00e9ments supprim\u00e9s", "U/\u00e9l\u00e9ments SUPPRIM\u00c9S"));
  EXPECT_TRUE(SameFolderUrl(
      "U/\u041d\u0435\u0436\u0435\u043b\u0430\u0442\u0435\u043b\u044c\u043d\u0430\u044f",
      "U/\u041d\u0415\u0416\u0415\u041b\u0410\u0422\u0415\u041b\u042c\u041d\u0410\u042f"));
  EXPECT_FALSE(SameFolderUrl("U/Spambox", "U/Spambox2"));
  EXPECT_FALSE(SameFolderUrl("U/\u00e9", "U/e"));
  EXPECT_TRUE(SameFolderUrl("", ""));
  // Invalid UTF-8 and embedded NULs: no crash, ASCII case only, never a false match.
  EXPECT_TRUE(SameFolderUrl("U/Spam\xff", "u/SPAM\xff"));
  EXPECT_FALSE(SameFolderUrl("U/Spam\xff", "U/Spam\xfe"));
  EXPECT_FALSE(SameFolderUrl("U/\xc3", "U/\xc3\x89"));
  EXPECT_TRUE(SameFolderUrl(std::string("U/a\0b", 5), std::string("U/A\0B", 5)));
  EXPECT_FALSE(SameFolderUrl(std::string("U/a\0b", 5), "U/a"));
}

}  // namespace
}  // namespace corvalith
