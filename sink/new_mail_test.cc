// New-mail classification through OnSyncSave.
#include <gtest/gtest.h>

#include "sink/sink_test_support.h"

namespace corvalith::testing {
namespace {

class NewMailTest : public SinkTest {
 protected:
  std::optional<Variant> Hidden(const std::string& url) {
    return store_.Property(url, store::kHiddenProperty);
  }
  const std::map<std::string, Variant> kInternal = {
      {store::kAddressTypeProperty, Variant::String("EX")},
      {store::kHeaderBlockProperty, Variant::Null()}};
};

TEST_F(NewMailTest, InternalSenderIsForcedToHamAndLearned) {
  SetSettings(1, 0, 0, "Nope");
  std::string url = Deliver("M.EML", "Carol <carol@example.com>", kInternal);
  EXPECT_EQ(Marker(url), 1);
  ASSERT_EQ(engine_.calls.size(), 1u);
  EXPECT_EQ(engine_.calls[0], (ScriptedEngine::Call{"Learn", kUserData, "", "plain body", false}));
  EXPECT_EQ(Summary(), "New Mail (Create User/Domain) (EA) forced to HAM");
}

TEST_F(NewMailTest, OnlyUpperCaseEXWithoutTransportHeaderIsInternal) {
  SetSettings(1, 0, 0, "Nope", 0);
  Deliver("Warmup.EML");
  Deliver("A.EML", "<c@example.com>", {{store::kAddressTypeProperty, Variant::String("EX")}});
  EXPECT_EQ(engine_.calls.back().op, "Classify");
  Deliver("B.EML", "<c@example.com>",
          {{store::kAddressTypeProperty, Variant::String("ex")},
           {store::kHeaderBlockProperty, Variant::Null()}});
  EXPECT_EQ(engine_.calls.back().op, "Classify");
}

TEST_F(NewMailTest, WhiteListSuffixes) {
  AddKnownUser();
  env_.files.WriteFile("/data/example.com/global.wlt", "@partner.org\r\n");
  env_.files.WriteFile("/data/example.com/alice.dat.wlt", "bob@friend.net\r\n@partner.org\r\n");
  SetSettings(1, 0, 0, "Nope");
  struct Case {
    const char* from;
    const char* summary;
    const char* op;
  } cases[] = {
      {"Pat <pat@partner.org>", "New Mail (GWL) forced to HAM", "Learn"},
      {"Bob <bob@friend.net>", "New Mail (WL) forced to HAM", "Learn"},
      {"Eve <eve@elsewhere.net>", "New Mail parsed as HAM", "Classify"},
      {"", "New Mail parsed as HAM", "Classify"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string url = Deliver("M" + std::to_string(n++) + ".EML", c.from);
    EXPECT_EQ(Summary(), c.summary) << c.from;
    EXPECT_EQ(engine_.calls.back().op, c.op) << c.from;
    EXPECT_EQ(Marker(url), 1);
  }
}

TEST_F(NewMailTest, WhiteListsOffOpensNoListAndReadsNoSender) {
  SetSettings(1, 0, 0, "Nope", 0);
  std::string url = Deliver("M.EML");
  EXPECT_EQ(env_.files.calls("/data/example.com/global.wlt"), 0);
  EXPECT_EQ(env_.files.calls(kUserData + ".wlt"), 0);
  EXPECT_EQ(LogRecords().back().find("Err:"), std::string::npos);
}

TEST_F(NewMailTest, MissingListsLogOneLineEachAndTheMailIsClassified) {
  SetSettings(1, 0, 0, "Nope");
  std::string url = Deliver("M.EML");
  std::vector<std::string> records = LogRecords();
  int missing = 0;
  for (const std::string& r : records) missing += r.rfind("Err: InWhiteList() failed: ", 0) == 0;
  EXPECT_EQ(missing, 2);
  EXPECT_EQ(engine_.calls.back().op, "Classify");
}

TEST_F(NewMailTest, SpamIsMarkedHiddenAndMovedIntoTheExistingSpamFolder) {
  SetSettings(1, 1, 0, "Nope", 0);
  store_.CreateFolder(kSpambox);
  engine_.verdict = true;
  std::string url = Deliver("M.EML");
  std::string moved = kSpambox + "/M.EML";
  EXPECT_FALSE(store_.Exists(url));
  EXPECT_EQ(Marker(moved), 2);
  EXPECT_EQ(Hidden(moved), Variant::Bool(true));
  EXPECT_EQ(Summary(), "New Mail (Create User/Domain) recognized as SPAM");
}

TEST_F(NewMailTest, SpamInTheEventThatCreatesTheSpamFolderStaysVisibleWhereItIs) {
  SetSettings(1, 1, 0, "Nope", 0);
  engine_.verdict = true;
  std::string url = Deliver("M.EML");
  EXPECT_TRUE(store_.Exists(kSpambox));
  EXPECT_TRUE(store_.Exists(url));
  EXPECT_EQ(Marker(url), 2);
  EXPECT_FALSE(Hidden(url).has_value());
}

TEST_F(NewMailTest, SpamGoesIntoAFoundJunkMailFolderAndIsHiddenThereToo) {
  SetSettings(1, 1, 0, "Junk E-mail", 0);
  engine_.verdict = true;
  Deliver("M.EML");
  std::string moved = kRoot + "/Junk E-mail/M.EML";
  EXPECT_EQ(Marker(moved), 2);
  EXPECT_EQ(Hidden(moved), Variant::Bool(true));
  EXPECT_FALSE(store_.Exists(kSpambox));
}

TEST_F(NewMailTest, HamStillCreatesTheSpamFolder) {
  SetSettings(1, 0, 0, "Nope", 0);
  std::string url = Deliver("M.EML");
  EXPECT_TRUE(store_.Exists(kSpambox));
  EXPECT_EQ(Marker(url), 1);
  EXPECT_EQ(Summary(), "New Mail (Create User/Domain) parsed as HAM");
}

TEST_F(NewMailTest, JunkMailFolderLostAtTheReTestHandsOverToTheSpamFolder) {
  SetSettings(1, 0, 0, "Junk E-mail", 0);
  store_.CreateFolder(kSpambox);
  engine_.verdict = true;
  // The search opens the folder once; the re-test is refused, as if it had just been deleted.
  store_.RefuseOpen(kRoot + "/Junk E-mail", 1);
  Deliver("M.EML");
  std::vector<std::string> records = LogRecords();
  EXPECT_NE(std::find(records.begin(), records.end(),
                      "The use of Junk Mail folder is enabled but the folder does not exists! "
                      "Try to create the Spambox..."),
            records.end());
  EXPECT_TRUE(store_.Exists(kSpambox + "/M.EML"));
}

TEST_F(NewMailTest, FailingHiddenFlagWriteEndsTheEventBeforeTheMove) {
  SetSettings(1, 1, 0, "Nope", 0);
  store_.CreateFolder(kSpambox);
  engine_.verdict = true;
  std::string url = PutMail(kInbox, "M.EML");
  // The marker's own update goes through; the second update (the hidden flag) is refused.
  store_.RefuseUpdate(url, 1);
  Save(url, kNewMailFlags);
  EXPECT_TRUE(store_.Exists(url));
  EXPECT_EQ(Marker(url), 2);
  EXPECT_EQ(LogRecords().back().rfind("Err: Corvalith Extension failed: ", 0), 0u);
}

TEST_F(NewMailTest, NewUserGetsTheManualUntilTheEngineKnowsThem) {
  SetSettings(1, 0, 0, "Nope", 0);
  engine_.fail_with = E_FAIL;  // the first mail's engine call creates no data file
  Deliver("A.EML");
  Deliver("B.EML");
  Deliver("C.EML");
  EXPECT_EQ(store_.Content(kInbox + "/Corvalith_Manual.eml"),
            "Subject: Manual\r\n\r\nRead me.\r\n");
  int manual_lines = 0;
  for (const std::string& r : LogRecords()) {
    manual_lines += r == "dat file does not exist, create the manual for the user.";
  }
  EXPECT_EQ(manual_lines, 2);  // A and B: B's engine call created the data file
}

TEST_F(NewMailTest, ProviderModeAdmission) {
  SetSettings(1, 0, 1, "Nope", 0);
  std::string refused = Deliver("A.EML");
  EXPECT_TRUE(env_.files.IsDirectory("/data/example.com"));
  EXPECT_EQ(Marker(refused), 0);
  EXPECT_TRUE(engine_.calls.empty());
  EXPECT_FALSE(store_.Exists(kInbox + "/Corvalith_Manual.eml"));
  size_t records = LogRecords().size();

  env_.files.WriteFile(kUserData + ".create", "");
  std::string admitted = Deliver("B.EML");
  std::vector<std::string> after = LogRecords();
  ASSERT_GT(after.size(), records + 2);
  EXPECT_EQ(after[records], "New user found, initialize database " + kUserData);
  EXPECT_EQ(after[records + 1], "dat file does not exist, create the manual for the user.");
  EXPECT_FALSE(env_.files.Contents(kUserData + ".create").has_value());
  EXPECT_TRUE(store_.Exists(kInbox + "/Corvalith_Manual.eml"));
  EXPECT_EQ(Marker(admitted), 1);
}

TEST_F(NewMailTest, AnnouncementOutlivesAFirstMailWhoseEngineCallFails) {
  SetSettings(1, 0, 1, "Nope", 0);
  env_.files.WriteFile(kUserData + ".create", "");
  engine_.fail_with = E_FAIL;  // no data file from this call
  std::string failed = Deliver("A.EML");
  EXPECT_EQ(Marker(failed), 0);
  EXPECT_TRUE(env_.files.Contents(kUserData + ".create").has_value());

  std::string admitted = Deliver("B.EML");
  EXPECT_EQ(Marker(admitted), 1);
  EXPECT_TRUE(env_.files.Contents(kUserData).has_value());
  EXPECT_FALSE(env_.files.Contents(kUserData + ".create").has_value());
}

}  // namespace
}  // namespace corvalith::testing
