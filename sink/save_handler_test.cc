// Dispatch, the settings snapshot, the junk-mail folder search, the summary record and the
// guard of the save handler.
#include <gtest/gtest.h>

#include "logging/control_characters.h"
#include "sink/sink_test_support.h"

namespace corvalith::testing {
namespace {

using SaveHandlerTest = SinkTest;

TEST_F(SaveHandlerTest, OnlyTheFiveWholeFlagValuesAreProcessed) {
  SetSettings(1);
  std::string url = PutMail(kInbox, "M.EML");
  // The commit phase of a delivery, a delivery with one more bit, and neighbours.
  for (int32_t flags :
       {EVT_SYNC_COMMITTED | EVT_IS_DELIVERED, 0x01000009, 0x01000000, 0x01000108, 0}) {
    EXPECT_EQ(Save(url, flags), S_OK) << flags;
  }
  EXPECT_EQ(env_.registry_.open_count(), 0);  // no setting read
  EXPECT_TRUE(LogRecords().empty());
  EXPECT_EQ(Marker(url), 0);
  for (int32_t flags : {0x01000008, 0x01000048}) {
    EXPECT_EQ(Save(PutMail(kInbox, "N" + std::to_string(flags) + ".EML"), flags), S_OK);
    EXPECT_EQ(LogRecords().back().rfind("New Mail", 0), 0u);
  }
  for (int32_t flags : {0x01000041, 0x01000100, 0x01000140}) {
    EXPECT_EQ(Save(url, flags), S_OK);
    EXPECT_EQ(LogRecords().back().rfind("Mail moved by User", 0), 0u);
  }
}

TEST_F(SaveHandlerTest, LevelZeroWritesNothingAtAll) {
  SetSettings(0, 0, 0, "Junk E-mail", 0);
  std::string url = Deliver("M.EML");
  EXPECT_EQ(Marker(url), 1);
  EXPECT_TRUE(LogRecords().empty());
  EXPECT_EQ(filter_->debug_level(), 0);
}

TEST_F(SaveHandlerTest, FirstEventOfTheProcessLoadsSettingsWithLinesAtTheNewLevel) {
  SetSettings(1, 1, 0, "Junk E-mail", 1, 1);
  Deliver("M.EML");
  std::vector<std::string> records = LogRecords();
  ASSERT_GE(records.size(), 5u);
  EXPECT_EQ(records[0], "Loading HideSpam (1) from registry.");  // none for DebugLevel itself
  EXPECT_EQ(records[1], "Loading ProviderMode (NOT SET) from registry.");
  EXPECT_EQ(records[2], "Loading UseJunkMailFolder (Junk E-mail) from registry.");
  EXPECT_EQ(records[3], "Loading UseWhiteList (1) from registry.");
  EXPECT_EQ(records[4], "Loading AutoWhiteList (1) from registry.");
}

// "Nope" names no folder, so no log line reads the tick counter inside the event.
TEST_F(SaveHandlerTest, SummaryIsOneLineWithTheElapsedMilliseconds) {
  SetSettings(1, 0, 0, "Nope", 0);
  Deliver("Warmup.EML");
  env_.clock_.AdvanceOnRead(8);
  Deliver("M.EML");
  EXPECT_EQ(LogRecords().back(), "New Mail parsed as HAM : 8ms");
}

TEST_F(SaveHandlerTest, ElapsedTimeSurvivesTheTickCounterWrap) {
  SetSettings(1, 0, 0, "Nope", 0);
  Deliver("Warmup.EML");
  for (uint32_t start : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
    env_.clock_.SetTicks(start);
    env_.clock_.AdvanceOnRead(2);
    size_t before = LogRecords().size();
    Deliver("M" + std::to_string(start) + ".EML");
    std::vector<std::string> records = LogRecords();
    ASSERT_EQ(records.size(), before + 1) << start;
    EXPECT_EQ(records.back().substr(records.back().rfind(" : ")), " : 2ms") << start;
  }
}

TEST_F(SaveHandlerTest, JunkMailFolderSearchTrimsNamesAndSkipsEmptyOnes) {
  store_.CreateFolder(kRoot + "/Spam");
  SetSettings(1, 0, 0, " Junk Mail ; Spam", 0);
  engine_.verdict = true;
  std::string url = Deliver("M.EML");
  std::vector<std::string> records = LogRecords();
  EXPECT_NE(std::find(records.begin(), records.end(), "Found JunkMail folder '" + kRoot + "/Spam'"),
            records.end());
  EXPECT_TRUE(store_.Exists(kRoot + "/Spam/M.EML"));
  EXPECT_FALSE(store_.Exists(kSpambox));  // a found junk-mail folder spares the spam folder
  EXPECT_EQ(store_.open_calls(kRoot + "/Junk Mail"), 1);
}

TEST_F(SaveHandlerTest, FoundJunkMailFolderLineCannotForgeARecord) {
  store_.CreateFolder(kRoot + "/Spam\r\n2026-01-01 00:00:00 0 forged");
  SetSettings(1, 0, 0, "Spam\r\n2026-01-01 00:00:00 0 forged", 0);
  Deliver("M.EML");
  std::vector<std::string> records = LogRecords();
  EXPECT_NE(
      std::find(records.begin(), records.end(),
                "Found JunkMail folder '" + kRoot + "/Spam\\r\\n2026-01-01 00:00:00 0 forged'"),
      records.end());
  EXPECT_EQ(std::find(records.begin(), records.end(), "forged'"), records.end());
}

TEST_F(SaveHandlerTest, JunkMailFolderOfEmptyNamesOnlyIsNeverFound) {
  SetSettings(1, 0, 0, ";", 0);
  engine_.verdict = true;
  Deliver("Warmup.EML");  // creates the spam folder
  std::string url = Deliver("M.EML");
  EXPECT_TRUE(store_.Exists(kSpambox + "/M.EML"));
  EXPECT_EQ(store_.open_calls(kRoot + "/"), 2 * 3);  // two names per event, plus the re-test
}

TEST_F(SaveHandlerTest, MissingJunkMailSettingTriesTheFolderNamedZero) {
  SetSettings(1);
  env_.registry_.RemoveValue("UseJunkMailFolder");
  Deliver("M.EML");
  EXPECT_GE(store_.open_calls(kRoot + "/0"), 1);
  EXPECT_TRUE(store_.Exists(kSpambox));
}

TEST_F(SaveHandlerTest, NonNumericSettingEndsEveryEventBeforeTheItemIsTouched) {
  SetSettings(1);
  env_.registry_.SetString("HideSpam", "yes");
  std::string url = Deliver("M.EML");
  EXPECT_EQ(Marker(url), 0);
  EXPECT_TRUE(engine_.calls.empty());
  std::vector<std::string> records = LogRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back(), "Err: Corvalith Extension failed: Type mismatch 0xD Source: ");
}

TEST_F(SaveHandlerTest, GuardWritesOneErrorLineNamingTheItemAndReturnsSuccess) {
  SetSettings(1);
  std::string url = PutMail(kInbox, "M.EML");
  FakeEventInfo info(store_.Connect(), url);
  info.fail_connection = true;
  EXPECT_EQ(filter_->OnSyncSave(&info, url, kNewMailFlags), S_OK);
  std::vector<std::string> records = LogRecords();
  EXPECT_EQ(
      records.back(),
      "Err: Corvalith Extension failed: EventConnection unavailable 0x80004005 Source: " + url);
  EXPECT_EQ(Marker(url), 0);
}

TEST_F(SaveHandlerTest, EventInformationFailuresEndTheEventWithAnEmptySource) {
  SetSettings(1);
  std::string url = PutMail(kInbox, "M.EML");
  FakeEventInfo info(store_.Connect(), url);
  info.fail_record = true;
  EXPECT_EQ(filter_->OnSyncSave(&info, url, kNewMailFlags), S_OK);
  EXPECT_EQ(filter_->OnSyncSave(nullptr, url, kNewMailFlags), S_OK);
  std::vector<std::string> records = LogRecords();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2],
            "Err: Corvalith Extension failed: EventRecord unavailable 0x80004005 Source: ");
  EXPECT_EQ(records.back().rfind("Err: Corvalith Extension failed: ", 0), 0u);
  EXPECT_TRUE(engine_.calls.empty());
}

TEST_F(SaveHandlerTest, ShortItemUrlIsASubscriptFailure) {
  SetSettings(1);
  std::string url = "file://./backofficestorage/example.com/MBX";
  store_.PutItem(url, {});
  EXPECT_EQ(Save(url, kNewMailFlags), S_OK);
  EXPECT_EQ(LogRecords().back(),
            "Err: Corvalith Extension failed: Subscript out of range 0x9 Source: " + url);
}

TEST_F(SaveHandlerTest, UnsafeDomainOrUserNeverReachesTheDataDirectory) {
  SetSettings(1);
  filter_->Log("the log exists");
  for (const std::string& root : {std::string("file://./backofficestorage/../MBX/alice"),
                                  std::string("file://./backofficestorage/example.com/MBX/.."),
                                  std::string("file://./backofficestorage//MBX/alice"),
                                  std::string("file://./backofficestorage/dom.test\r\nX: y/MBX/u"),
                                  std::string("file://./backofficestorage/d/MBX/line\nbreak"),
                                  std::string("file://./backofficestorage/d/MBX/esc\x1b[2J"),
                                  std::string("file://./backofficestorage/d\x7f/MBX/u")}) {
    std::string url = root + "/Inbox/M.EML";
    store_.PutItem(url, {{store::kFromProperty, Variant::String("<x@y>")}});
    std::vector<std::string> before = env_.files.Paths();
    EXPECT_EQ(Save(url, kNewMailFlags), S_OK);
    std::vector<std::string> records = LogRecords();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().rfind("Err: Corvalith Extension failed: Unsafe ", 0), 0u) << url;
    EXPECT_FALSE(HasControlCharacter(records.back())) << url;
    std::vector<std::string> after = env_.files.Paths();
    EXPECT_EQ(after, before) << url;  // only the log file, which existed already
  }
  EXPECT_TRUE(engine_.calls.empty());
}

TEST_F(SaveHandlerTest, EngineFailureEndsTheEventAndKeepsThePreviousMarker) {
  SetSettings(1);
  engine_.fail_with = E_FAIL;
  std::string url = Deliver("M.EML");
  EXPECT_EQ(Marker(url), 0);
  EXPECT_EQ(LogRecords().back(),
            "Err: Corvalith Extension failed: engine broke 0x80004005 Source: " + url);
  EXPECT_EQ(engine_.references(), 0);  // released when the call returned
}

TEST_F(SaveHandlerTest, EngineThatCannotBeCreatedEndsTheEvent) {
  SetSettings(1);
  fail_engine_creation_ = true;
  std::string url = Deliver("M.EML");
  EXPECT_EQ(LogRecords().back(),
            "Err: Corvalith Extension failed: engine not installed 0x80040154 Source: " + url);
}

TEST_F(SaveHandlerTest, MissingDataDirectoryEndsTheEventAtItsFirstLine) {
  SetSettings(1);
  ConstructionObject construction("/missing");
  filter_->Construct(&construction);
  std::string url = Deliver("M.EML");
  EXPECT_TRUE(engine_.calls.empty());
  EXPECT_EQ(Marker(url), 0);
  EXPECT_FALSE(env_.files.IsDirectory("/missing"));
}

}  // namespace
}  // namespace corvalith::testing
