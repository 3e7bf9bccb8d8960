// Real mail through the persistent store and the real classifier: the filter catches spam,
// learns from a user's correction, whitelists the rescued sender and trusts it from then on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "classifier/classifier_engine_object.h"
#include "platform/testing/temp_directory.h"
#include "sink/sink_test_support.h"
#include "store/message_import.h"
#include "store/sqlite/sqlite_store.h"

namespace corvalith::testing {
namespace {

std::string Message(const std::string& from, const std::string& subject, const std::string& body) {
  return "Received: from mx.example.net by store.example.com\r\n"
         "From: " +
         from + "\r\nTo: alice@example.com\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body +
         "\r\n";
}

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() {
    RegisterClassifierEngine(env_.classes);
    std::filesystem::create_directory(dir_.path() + "/data");
    std::filesystem::copy_file(std::string(CORVALITH_SOURCE_DIR) + "/provisioning/cvusrmnl.sys",
                               dir_.path() + "/data/cvusrmnl.sys");
    env_.registry_.SetDword("DebugLevel", 1);
    env_.registry_.SetString("UseJunkMailFolder", "Junk E-mail");
    env_.registry_.SetDword("UseWhiteList", 1);
    env_.registry_.SetDword("AutoWhiteList", 1);
    store_ = std::make_unique<store::SqliteStore>(dir_.path() + "/store.db", env_.files);
    store::CreateMailbox(*store_->Connect(), "example.com", "alice");
    filter_ = ExchangeFilter::Create(env_);
    ConstructionObject construction(dir_.path() + "/data");
    filter_->Construct(&construction);
  }
  ~EndToEndTest() override {
    filter_->Release();
    store_.reset();
  }

  // Delivers as the store does: the item exists, the handler runs, the save goes on.
  std::string Deliver(const std::string& raw) {
    std::string url = inbox_ + "/M" + std::to_string(++count_) + ".EML";
    auto connection = store_->Connect();
    store::ImportMessage(*connection, url, raw, store::Origin::kExternal);
    FakeEventInfo info(std::move(connection), url);
    EXPECT_EQ(filter_->OnSyncSave(&info, url, kNewMailFlags), S_OK);
    return info.EventRecord().Source();
  }
  std::string Move(const std::string& url, const std::string& folder) {
    auto connection = store_->Connect();
    auto record = connection->OpenRecord(url, store::adModeReadWrite, store::adFailIfNotExists,
                                         store::adOpenRecordUnspecified, "", "");
    std::string moved = record->MoveRecord(url, folder + url.substr(url.rfind('/')), "", "",
                                           store::adMoveUnspecified, false);
    record.reset();
    FakeEventInfo info(std::move(connection), moved);
    EXPECT_EQ(filter_->OnSyncSave(&info, moved, kUserMoveFlags), S_OK);
    return moved;
  }
  int32_t Marker(const std::string& url) {
    std::optional<Variant> v = store_->Property(url, store::kMailMarkerProperty);
    return v ? v->ToInt32() : 0;
  }
  std::string LastLogLine() {
    std::string log = env_.files.ReadFile(dir_.path() + "/data/Corvalith.log", 1 << 20);
    log.resize(log.size() - 2);
    return log.substr(log.rfind("\r\n") + 2);
  }

  TempDirectory dir_{"corvalith-e2e"};
  DiskEnvironment env_;
  std::unique_ptr<store::SqliteStore> store_;
  ExchangeFilter* filter_ = nullptr;
  const std::string root_ = "file://./backofficestorage/example.com/MBX/alice";
  const std::string inbox_ = root_ + "/Inbox";
  const std::string junk_ = root_ + "/Junk E-mail";
  int count_ = 0;
};

TEST_F(EndToEndTest, SpamIsCaughtACorrectionWhiteListsTheSenderWhoIsTrustedFromThenOn) {
  const char* spam_words[] = {"viagra cheap pills online pharmacy discount",
                              "win money casino bonus free spins jackpot",
                              "cheap replica watches rolex discount offer",
                              "lose weight fast miracle diet pills guaranteed"};
  const char* ham_words[] = {"meeting agenda for tuesday project review notes",
                             "can you send me the quarterly report draft please",
                             "lunch tomorrow? the team is going to the italian place",
                             "the build is green again after the database fix"};
  // A user's first weeks: spam that got through is moved into the junk-mail folder.
  for (int round = 0; round < 6; ++round) {
    for (const char* words : spam_words) {
      std::string url = Deliver(Message("Promo <promo" + std::to_string(round) + "@bulk.example>",
                                        "Special offer", words));
      if (Marker(url) != 2) Move(url, junk_);
    }
    for (const char* words : ham_words) {
      std::string url = Deliver(Message("Colleague <bob@partner.example>", "Work", words));
      if (Marker(url) == 2) Move(url, inbox_);
    }
  }
  EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/data/example.com/alice.dat"));

  // Spam now goes straight into the junk-mail folder.
  std::string spam = Deliver(Message("Promo <promo@bulk.example>", "Offer",
                                     "cheap pills online pharmacy discount casino bonus"));
  EXPECT_EQ(spam.rfind(junk_ + "/", 0), 0u) << spam;
  EXPECT_EQ(Marker(spam), 2);
  EXPECT_EQ(LastLogLine().substr(LastLogLine().find(' ', 20) + 1, 27),
            "New Mail recognized as SPAM");

  // The user wants this sender's offers after all: moved back, relearned, whitelisted. (A
  // colleague rescued during the first weeks is on the list already.)
  const std::string list = dir_.path() + "/data/example.com/alice.dat.wlt";
  const std::string before =
      std::filesystem::exists(list) ? env_.files.ReadFile(list, 1 << 20) : "";
  std::string rescued = Move(spam, inbox_);
  EXPECT_EQ(Marker(rescued), 1);
  EXPECT_NE(LastLogLine().find("Mail moved by User was swapped to HAM (FP?) : "),
            std::string::npos);
  EXPECT_EQ(env_.files.ReadFile(list, 1 << 20), before + "promo@bulk.example\r\n");

  std::string next = Deliver(Message("Promo <promo@bulk.example>", "Offer",
                                     "cheap pills online pharmacy discount casino bonus"));
  EXPECT_EQ(next.rfind(inbox_ + "/", 0), 0u);
  EXPECT_EQ(Marker(next), 1);
  EXPECT_NE(LastLogLine().find("New Mail (WL) forced to HAM : "), std::string::npos);
}

}  // namespace
}  // namespace corvalith::testing
