#include "store/item_url.h"

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
  EXPECT_EQ(MailboxRootUrl("D", "U"), "file://./backofficestorage/D/MBX/U");
  EXPECT_EQ(SpamFolderUrl("D", "U"), "file://./backofficestorage/D/MBX/U/Spambox");
  EXPECT_EQ(JunkMailFolderUrl("D", "U", "Junk"), "file://./backofficestorage/D/MBX/U/Junk");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", "M.EML", -42), "F/M-42.eml");
  EXPECT_EQ(ClashFreeMoveDestinationUrl("F", ".EML", 7), "F/7.eml");
  EXPECT_THROW(ClashFreeMoveDestinationUrl("F", "EML", 7), Failure);
  EXPECT_EQ(ManualItemUrl("F"), "F/Corvalith_Manual.eml");
}

}  // namespace
}  // namespace corvalith
