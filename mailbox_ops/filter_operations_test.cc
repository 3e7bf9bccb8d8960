#include "mailbox_ops/filter_operations.h"

#include <gtest/gtest.h>

#include "logging/testing/recording_logger.h"
#include "mailbox_ops/item_url.h"
#include "platform/testing/memory_environment.h"
#include "store/memory/memory_store.h"

namespace corvalith {
namespace {

const std::string kRoot = "file://./backofficestorage/d/MBX/u";
const std::string kInbox = kRoot + "/Inbox";
const std::string kItem = kInbox + "/M.EML";
const std::string kSpambox = kRoot + "/Spambox";

class FilterOperationsTest : public ::testing::Test {
 protected:
  FilterOperationsTest() : store_(env_.files) {
    store_.CreateFolder(kRoot);
    store_.CreateFolder(kInbox);
    store_.PutItem(kItem, {{store::kFromProperty, Variant::String("A <a@b.c>")}});
    connection_ = store_.Connect();
  }
  std::unique_ptr<store::Record> Item(const std::string& url = kItem) {
    return connection_->OpenRecord(url, store::adModeReadWrite, store::adFailIfNotExists,
                                   store::adOpenRecordUnspecified, "", "");
  }
  void SetProperty(const std::string& name, const Variant& value) {
    store_.PutItem(kItem, {{name, value}});
  }

  testing::MemoryEnvironment env_;
  testing::RecordingLogger logger_;
  store::MemoryStore store_;
  std::unique_ptr<store::Connection> connection_;
};

TEST_F(FilterOperationsTest, MarkerReadsBackAndToleratesBadValues) {
  auto item = Item();
  EXPECT_EQ(GetMailMarker(*item, logger_), 0);
  EXPECT_TRUE(logger_.records().empty());  // never stamped: silent
  SetMailMarker(*item, 2, logger_);
  EXPECT_EQ(GetMailMarker(*item, logger_), 2);
  EXPECT_EQ(store_.Property(kItem, store::kMailMarkerProperty), Variant::Int32(2));

  struct Case {
    Variant stored;
    int32_t read;
    int error_lines;
  } cases[] = {
      {Variant::String("1"), 1, 0},
      {Variant::Int16(7), 7, 0},  // passed back unchanged; callers treat it as no marker
      {Variant::String("abc"), 0, 1},
      {Variant::Null(), 0, 1},
  };
  for (const Case& c : cases) {
    SetProperty(store::kMailMarkerProperty, c.stored);
    testing::RecordingLogger log;
    EXPECT_EQ(GetMailMarker(*Item(), log), c.read);
    EXPECT_EQ(log.Count("Err: MailMarker (Get) failed: "), c.error_lines);
  }
}

TEST_F(FilterOperationsTest, RefusedMarkerUpdateIsLoggedNotRaised) {
  store_.RefuseUpdate(kItem);
  auto item = Item();
  SetMailMarker(*item, 1, logger_);
  EXPECT_EQ(logger_.Count("Err: MailMarker (Set) failed: "), 1);
  EXPECT_FALSE(store_.Property(kItem, store::kMailMarkerProperty).has_value());
}

TEST_F(FilterOperationsTest, MoveSpamUnderItsOwnNameOrAClashFreeOne) {
  store_.CreateFolder(kSpambox);
  store_.PutItem(kSpambox + "/M.EML", {});
  env_.clock_.SetTicks(4242);
  auto item = Item();
  EXPECT_TRUE(MoveSpam(*item, kSpambox, "M.EML", env_.clock_, logger_));
  EXPECT_EQ(item->Source(), kSpambox + "/M4242.eml");
  EXPECT_TRUE(store_.Exists(kSpambox + "/M.EML"));
  EXPECT_FALSE(store_.Exists(kItem));
  EXPECT_TRUE(logger_.records().empty());
}

TEST_F(FilterOperationsTest, MoveIntoMissingFolderTriesOneHundredTimesAndLogsOnce) {
  auto item = Item();
  int before = store_.move_attempts();
  EXPECT_FALSE(MoveSpam(*item, kSpambox, "M.EML", env_.clock_, logger_));
  EXPECT_EQ(store_.move_attempts() - before, 100);
  ASSERT_EQ(logger_.records().size(), 1u);
  EXPECT_EQ(logger_.records()[0].rfind("Err: Cannot move Spam to " + kSpambox + ": ", 0), 0u);
  EXPECT_TRUE(store_.Exists(kItem));
}

TEST_F(FilterOperationsTest, ShortItemNameFailsEveryRetryBeforeTheStore) {
  store_.CreateFolder(kSpambox);
  store_.PutItem(kSpambox + "/M", {});
  store_.PutItem(kInbox + "/M", {});
  auto item = Item(kInbox + "/M");
  int before = store_.move_attempts();
  EXPECT_FALSE(MoveSpam(*item, kSpambox, "M", env_.clock_, logger_));
  EXPECT_EQ(store_.move_attempts() - before, 1);
  EXPECT_EQ(logger_.Count("Err: Cannot move Spam to "), 1);
}

TEST_F(FilterOperationsTest, SpamboxIsCreatedOnceAndReportedFalseThen) {
  EXPECT_FALSE(OpenJunkMailFolder(*connection_, kSpambox));
  EXPECT_FALSE(store_.Exists(kSpambox));
  EXPECT_FALSE(OpenSpambox(*connection_, kSpambox, logger_));
  EXPECT_TRUE(store_.Exists(kSpambox));
  EXPECT_EQ(store_.Property(kSpambox, store::kDavContentClass),
            Variant::String("urn:content-classes:folder"));
  EXPECT_EQ(store_.Property(kSpambox, store::kOutlookFolderClass), Variant::String("IPF.Note"));
  EXPECT_TRUE(OpenSpambox(*connection_, kSpambox, logger_));
  EXPECT_TRUE(OpenJunkMailFolder(*connection_, kSpambox));
  EXPECT_TRUE(OpenJunkMailFolder(*connection_, kRoot + "/"));
  EXPECT_TRUE(logger_.records().empty());
}

TEST_F(FilterOperationsTest, UncreatableSpamboxLogsOneLineNamingTheFolder) {
  store_.RefuseCreate(kSpambox);
  EXPECT_FALSE(OpenSpambox(*connection_, kSpambox, logger_));
  ASSERT_EQ(logger_.records().size(), 1u);
  EXPECT_EQ(logger_.records()[0].rfind("Err: Open Spambox failed: ", 0), 0u);
  EXPECT_NE(logger_.records()[0].find("Source: " + kSpambox), std::string::npos);
}

TEST_F(FilterOperationsTest, WasteBasket) {
  store_.PutItem(kRoot,
                 {{store::kDeletedItemsProperty, Variant::String(kRoot + "/Deleted Items")}});
  EXPECT_EQ(GetWasteBasket(*connection_, "d", "u", logger_), kRoot + "/Deleted Items");
  store_.PutItem(kRoot, {{store::kDeletedItemsProperty, Variant::Null()}});
  EXPECT_EQ(GetWasteBasket(*connection_, "d", "u", logger_), "");
  EXPECT_EQ(GetWasteBasket(*connection_, "d", "nobody", logger_), "");
  ASSERT_EQ(logger_.Count("Err: Detection of WasteBasket failed: "), 2);
  EXPECT_NE(logger_.records()[1].find("Source: d/nobody"), std::string::npos);
}

TEST_F(FilterOperationsTest, SenderAddressFromTheFromHeader) {
  struct Case {
    Variant from;
    const char* address;
    int error_lines;
  } cases[] = {
      {Variant::String(""), "", 0},
      {Variant::String("Alice Doe <alice@example.com>"), "alice@example.com", 0},
      {Variant::String("<alice@example.com>"), "alice@example.com", 0},
      {Variant::String("  alice@example.com  "), "alice@example.com", 0},  // bare address
      {Variant::String("alice@example.com (Alice Doe)"), "alice@example.com", 0},
      // A bare value is an address only as one token with one "@" between two non-empty
      // parts; anything else would put a non-sender on the user's list.
      {Variant::String("MAILER-DAEMON"), "", 1},
      {Variant::String("a@x.org, b@y.org"), "", 1},
      {Variant::String("a@x.org b@y.org"), "", 1},
      {Variant::String("a@x.org,b@y.org"), "", 1},
      {Variant::String("a@b@c.org"), "", 1},
      {Variant::String("@c.org"), "", 1},
      {Variant::String("alice@"), "", 1},
      {Variant::String("(Alice Doe)"), "", 1},
      {Variant::String("Alice <alice@example.com"), "alice@example.com", 0},
      {Variant::String("<a@x.org>, <b@y.org>"), "a@x.org", 0},
      {Variant::String("X < a b >"), " a b ", 0},
      {Variant::String("Mixed <AlIcE@Example.COM>"), "AlIcE@Example.COM", 0},
      {Variant::Null(), "", 1},
  };
  for (const Case& c : cases) {
    SetProperty(store::kFromProperty, c.from);
    testing::RecordingLogger log;
    EXPECT_EQ(GetSenderAddress(*Item(), log), c.address) << &c - cases;
    EXPECT_EQ(log.Count("Err: GetSenderAddress failed: "), c.error_lines) << &c - cases;
  }
  // A refused bare value fails as a header without "<" always did.
  SetProperty(store::kFromProperty, Variant::String("MAILER-DAEMON"));
  testing::RecordingLogger log;
  GetSenderAddress(*Item(), log);
  EXPECT_EQ(log.records(), std::vector<std::string>{"Err: GetSenderAddress failed: Subscript out "
                                                    "of range 0x9 Source: " +
                                                    kItem});
}

// The store decodes encoded words of the From header, so a CR LF or any other control
// character can reach the address; an address carrying one would write a line of the
// sender's choosing into the user's whitelist.
TEST_F(FilterOperationsTest, AddressWithAControlCharacterIsNoAddress) {
  const char* froms[] = {
      "Eve <eve@evil.example\r\n@gmail.com>",
      "Eve <eve@evil.example\n@gmail.com>",
      "Eve <eve@evil.example\r>",
      "Eve <eve\t@evil.example>",
      "Eve <eve@evil.example\x1B[2J>",
      "Eve <eve@evil.example\x7F>",
      "eve@evil.example\x01",  // bare
  };
  for (const char* from : froms) {
    SetProperty(store::kFromProperty, Variant::String(from));
    testing::RecordingLogger log;
    EXPECT_EQ(GetSenderAddress(*Item(), log), "") << from;
    ASSERT_EQ(log.records().size(), 1u) << from;
    EXPECT_EQ(log.records()[0],
              "Err: GetSenderAddress failed: Control character in the sender "
              "address 0x5 Source: " +
                  kItem);
  }
}

TEST_F(FilterOperationsTest, ContentProperties) {
  auto item = Item();
  EXPECT_EQ(GetMailHeader(*item), "");
  EXPECT_EQ(GetSenderAddrType(*item), "");
  EXPECT_EQ(GetMailBody(*item), "");
  SetProperty(store::kPlainBodyProperty, Variant::String("plain"));
  EXPECT_EQ(GetMailBody(*Item()), "plain");
  SetProperty(store::kHtmlBodyProperty, Variant::String(" "));
  EXPECT_EQ(GetMailBody(*Item()), " ");  // no trimming: a blank HTML body wins
  SetProperty(store::kHeaderBlockProperty, Variant::Null());
  EXPECT_EQ(GetMailHeader(*Item()), "");
  store_.MakeUnreadable(kItem, store::kAddressTypeProperty);
  EXPECT_EQ(GetSenderAddrType(*Item()), "");
  EXPECT_TRUE(logger_.records().empty());
}

TEST(GetInboxTest, EverythingBeforeTheLastSlash) {
  testing::RecordingLogger log;
  EXPECT_EQ(GetInbox("a/b/c", log), "a/b");
  EXPECT_EQ(GetInbox("a/b/", log), "a/b");
  EXPECT_EQ(GetInbox("/a", log), "");
  EXPECT_TRUE(log.records().empty());
  EXPECT_EQ(GetInbox("nothing", log), "");
  EXPECT_EQ(log.Count("Err: GetInbox failed: "), 1);
}

}  // namespace
}  // namespace corvalith
