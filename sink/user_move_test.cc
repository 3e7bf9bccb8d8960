// User-move learning through OnSyncSave: every cell of the decision table and the automatic
// whitelisting.
#include <gtest/gtest.h>

#include "sink/sink_test_support.h"

namespace corvalith::testing {
namespace {

class UserMoveTest : public SinkTest {
 protected:
  UserMoveTest() {
    AddKnownUser();
    store_.CreateFolder(kSpambox);
    store_.CreateFolder(kInbox + "/Sub");
  }
  std::string MailWithMarker(const std::string& folder, int marker,
                             const std::string& from = "Bob <bob@friend.net>") {
    std::map<std::string, Variant> extra;
    if (marker != 0) extra[store::kMailMarkerProperty] = Variant::Int32(marker);
    return PutMail(folder, "M" + std::to_string(next_++) + ".EML", from, extra);
  }
  int next_ = 0;
};

TEST_F(UserMoveTest, DecisionTable) {
  SetSettings(1, 0, 0, "Junk E-mail", 1, 0);
  const std::string junk = kRoot + "/Junk E-mail";
  struct Case {
    std::string from_folder;
    std::string to_folder;
    int marker_before;
    const char* suffix;
    int marker_after;
    const char* relearn;  // "", "spam" or "ham"
  } cases[] = {
      {kInbox, kDeletedItems, 1, " to Deleted Items - leave untouched", 1, ""},
      {kSpambox, kDeletedItems, 2, " to Deleted Items - leave untouched", 2, ""},
      {kInbox, kDeletedItems, 0, " to Deleted Items - leave untouched", 0, ""},
      {kInbox, kSpambox, 1, " was swapped to SPAM", 2, "spam"},
      {kInbox, kSpambox, 2, " already parsed as SPAM", 2, ""},
      {kInbox, kSpambox, 0, " has no MM - leave", 0, ""},
      {kInbox, junk, 1, " was swapped to SPAM", 2, "spam"},
      {kSpambox, junk, 2, " already parsed as SPAM", 2, ""},
      {kSpambox, kInbox, 2, " was swapped to HAM (FP?)", 1, "ham"},
      {kInbox, kInbox + "/Sub", 1, " already parsed as HAM", 1, ""},
      {kInbox, kInbox + "/Sub", 0, " has no MM - leave", 0, ""},
      {kInbox, kInbox + "/Sub", 7, " has no MM - leave", 7, ""},
  };
  for (const Case& c : cases) {
    std::string url = MailWithMarker(c.from_folder, c.marker_before);
    size_t calls = engine_.calls.size();
    std::string moved = MoveByUser(url, c.to_folder);
    SCOPED_TRACE(c.to_folder + " " + std::to_string(c.marker_before));
    EXPECT_EQ(Summary(), std::string("Mail moved by User") + c.suffix);
    EXPECT_EQ(Marker(moved), c.marker_after);
    if (std::string(c.relearn).empty()) {
      EXPECT_EQ(engine_.calls.size(), calls);
    } else {
      ASSERT_EQ(engine_.calls.size(), calls + 1);
      EXPECT_EQ(engine_.calls.back().op, "Relearn");
      EXPECT_EQ(engine_.calls.back().spam, std::string(c.relearn) == "spam");
      EXPECT_EQ(engine_.calls.back().key, kUserData);
    }
    EXPECT_TRUE(store_.Exists(moved));  // the mail itself is never moved here
  }
}

TEST_F(UserMoveTest, JunkMailFolderNotFoundCountsAsAnOrdinaryFolder) {
  SetSettings(1, 0, 0, "Junk", 1, 0);
  store_.CreateFolder(kRoot + "/Other");
  std::string moved = MoveByUser(MailWithMarker(kInbox, 1), kRoot + "/Other");
  EXPECT_EQ(Summary(), "Mail moved by User already parsed as HAM");
}

TEST_F(UserMoveTest, FolderUrlsCompareWithoutRegardToCase) {
  SetSettings(1, 0, 0, "Nope", 1, 0);
  store_.CreateFolder(kRoot + "/SPAMBOX");
  // A store that reports folder URLs in another case still names the same folder.
  store_.PutItem(kRoot,
                 {{store::kDeletedItemsProperty, Variant::String(kRoot + "/DELETED items")}});
  MoveByUser(MailWithMarker(kInbox, 1), kRoot + "/SPAMBOX");
  EXPECT_EQ(Summary(), "Mail moved by User was swapped to SPAM");
  MoveByUser(MailWithMarker(kInbox, 1), kDeletedItems);
  EXPECT_EQ(Summary(), "Mail moved by User to Deleted Items - leave untouched");
}

TEST_F(UserMoveTest, LocalisedFolderNamesCompareWithUnicodeCaseFolding) {
  SetSettings(1, 0, 0, "Nope", 1, 0);
  const std::string deleted_items = kRoot + "/\u00e9l\u00e9ments supprim\u00e9s";
  store_.CreateFolder(deleted_items);
  store_.PutItem(kRoot, {{store::kDeletedItemsProperty,
                          Variant::String(kRoot + "/\u00c9l\u00e9ments supprim\u00e9s")}});
  MoveByUser(MailWithMarker(kInbox, 2), deleted_items);
  EXPECT_EQ(Summary(), "Mail moved by User to Deleted Items - leave untouched");
}

TEST_F(UserMoveTest, RescuedSenderIsWhiteListedOnceWithItsLine) {
  SetSettings(2, 0, 0, "Nope", 1, 1);
  std::string moved = MoveByUser(MailWithMarker(kSpambox, 2), kInbox);
  EXPECT_EQ(env_.files.Contents(kUserData + ".wlt"), "bob@friend.net\r\n");
  std::vector<std::string> records = LogRecords();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2], "Sender Address bob@friend.net added to WhiteList.");
  EXPECT_EQ(records.back().rfind("Mail moved by User was swapped to HAM (FP?) : ", 0), 0u);
  // The missing list was reported by the lookup before the list was created.
  EXPECT_EQ(records[records.size() - 3].rfind("Err: InWhiteList() failed: ", 0), 0u);

  MoveByUser(MailWithMarker(kSpambox, 2), kInbox);
  EXPECT_EQ(env_.files.Contents(kUserData + ".wlt"), "bob@friend.net\r\n");
  EXPECT_NE(LogRecords()[LogRecords().size() - 2],
            "Sender Address bob@friend.net added to WhiteList.");
}

// A rescued sender goes on the list as one address: whatever a spammer writes into the From
// header, no entry "@domain", which would trust every later mail from there, comes of it.
TEST_F(UserMoveTest, RescuedMailNeverWhiteListsAWholeDomain) {
  SetSettings(1, 0, 0, "Nope", 1, 1);
  env_.files.WriteFile(kUserData + ".wlt", "");
  const char* froms[] = {
      "\"Your bank\" <@gmail.com>",
      "\"Your bank\" < @gmail.com>",  // the list's reader drops the blank
      "\"<@gmail.com>\" <bank@gmail.com>",  // the first "<" lies in the display name
      "\"Your bank\" <@gmail.com:bank@gmail.com>",
      "\"Your bank\" <@bank@gmail.com>",
      "\"Your bank\" <\"\" @gmail.com>",
  };
  for (const char* from : froms) {
    std::string moved = MoveByUser(MailWithMarker(kSpambox, 2, from), kInbox);
    EXPECT_EQ(Summary(), "Mail moved by User was swapped to HAM (FP?)") << from;
    std::vector<std::string> records = LogRecords();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[records.size() - 2],
              "Err: AddToWhiteList() failed: Not a full sender address 0x5 Source: " + moved)
        << from;
  }
  EXPECT_EQ(env_.files.Contents(kUserData + ".wlt"), "");
  Deliver("Next.EML", "Bank <bank@gmail.com>");
  EXPECT_EQ(Summary().find("(WL)"), std::string::npos) << Summary();
}

TEST_F(UserMoveTest, AutoWhiteListNeedsTheBitwiseAndOfBothSettings) {
  SetSettings(1, 0, 0, "Nope", 1, 2);
  MoveByUser(MailWithMarker(kSpambox, 2), kInbox);
  EXPECT_EQ(Summary(), "Mail moved by User was swapped to HAM (FP?)");
  EXPECT_FALSE(env_.files.Contents(kUserData + ".wlt").has_value());
}

TEST_F(UserMoveTest, FailingRelearnKeepsTheMarker) {
  SetSettings(1, 0, 0, "Nope", 1, 1);
  engine_.fail_with = E_FAIL;
  std::string moved = MoveByUser(MailWithMarker(kInbox, 1), kSpambox);
  EXPECT_EQ(Marker(moved), 1);
  EXPECT_EQ(LogRecords().back(),
            "Err: Corvalith Extension failed: engine broke 0x80004005 Source: " + moved);
}

TEST_F(UserMoveTest, ProviderModeMoveOfAnAnnouncedUserKeepsTheAnnouncement) {
  SetSettings(1, 0, 1, "Nope", 1, 1);
  env_.files.DeleteFile(kUserData);
  env_.files.WriteFile(kUserData + ".create", "");
  MoveByUser(MailWithMarker(kInbox, 0), kInbox + "/Sub");
  EXPECT_EQ(Summary(), "Mail moved by User has no MM - leave");
  EXPECT_TRUE(env_.files.Contents(kUserData + ".create").has_value());
  std::string url = Deliver("New.EML");
  EXPECT_EQ(Marker(url), 1);  // admitted on its first mail
  EXPECT_FALSE(env_.files.Contents(kUserData + ".create").has_value());
}

}  // namespace
}  // namespace corvalith::testing
