#include "store/memory/memory_store.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/testing/memory_environment.h"
#include "store/store_test_util.h"

namespace corvalith::store {
namespace {

const std::string kRoot = "file://./backofficestorage/d/MBX/u";
const std::string kInbox = kRoot + "/Inbox";
const std::string kItem = kInbox + "/M.EML";

class MemoryStoreTest : public ::testing::Test {
 protected:
  MemoryStoreTest() : store_(files_) {
    store_.PutItem(kItem, {{kFromProperty, Variant::String("a@b.c")}}, "body");
    connection_ = store_.Connect();
  }
  std::unique_ptr<Record> Open(const std::string& url, int32_t create = adFailIfNotExists) {
    return connection_->OpenRecord(url, adModeReadWrite, create, adOpenRecordUnspecified, "", "");
  }

  testing::MemoryFileSystem files_;
  MemoryStore store_;
  std::unique_ptr<Connection> connection_;
};

TEST_F(MemoryStoreTest, PutItemCreatesFoldersUpToTheMailboxRootOnly) {
  EXPECT_TRUE(store_.Exists(kRoot));
  EXPECT_TRUE(store_.Exists(kInbox + "/"));
  EXPECT_FALSE(store_.Exists("file://./backofficestorage/d/MBX"));
  // Merging: an existing item keeps what PutItem does not mention, content included.
  store_.PutItem(kItem, {{"x", Variant::Int32(1)}});
  EXPECT_EQ(store_.Property(kItem, kFromProperty), Variant::String("a@b.c"));
  EXPECT_EQ(store_.Content(kItem), "body");
}

TEST(MemoryStoreFaultTest, RefusalsFailTheirOperationOnly) {
  using Open = std::function<std::unique_ptr<Record>(const std::string&, int32_t)>;
  struct Case {
    const char* what;
    std::function<void(MemoryStore&)> refuse;
    std::function<void(const Open&)> operation;
  } cases[] = {
      {"open", [](MemoryStore& s) { s.RefuseOpen(kItem); },
       [](const Open& open) { open(kItem, adFailIfNotExists); }},
      {"open with a trailing slash", [](MemoryStore& s) { s.RefuseOpen(kInbox); },
       [](const Open& open) { open(kInbox + "/", adFailIfNotExists); }},
      {"create folder", [](MemoryStore& s) { s.RefuseCreate(kRoot + "/Spambox"); },
       [](const Open& open) { open(kRoot + "/Spambox", adCreateCollection); }},
      {"create item", [](MemoryStore& s) { s.RefuseCreate(kInbox + "/N.EML"); },
       [](const Open& open) { open(kInbox + "/N.EML", adCreateOverwrite); }},
      {"overwrite item", [](MemoryStore& s) { s.RefuseCreate(kItem); },
       [](const Open& open) { open(kItem, adCreateOverwrite); }},
      {"move", [](MemoryStore& s) { s.RefuseMove(kItem); },
       [](const Open& open) {
         open(kItem, adFailIfNotExists)
             ->MoveRecord("", kInbox + "/Z.EML", "", "", adMoveUnspecified, false);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool refused : {false, true}) {
      testing::MemoryFileSystem files;
      MemoryStore store(files);
      store.PutItem(kItem, {}, "body");
      if (refused) c.refuse(store);
      auto connection = store.Connect();
      Open open = [&](const std::string& url, int32_t create) {
        return connection->OpenRecord(url, adModeReadWrite, create, adOpenRecordUnspecified, "",
                                      "");
      };
      EXPECT_EQ(FailureNumber([&] { c.operation(open); }),
                refused ? Number(StoreError::kRefused) : 0);
      if (refused) {
        EXPECT_EQ(store.Content(kItem), "body") << "a refused write changes nothing";
      }
    }
  }
}

TEST_F(MemoryStoreTest, RefusedUpdateKeepsValuesPending) {
  store_.RefuseUpdate(kItem);
  auto record = Open(kItem);
  record->GetFields().Item("mark").SetValue(Variant::Int32(2));
  EXPECT_EQ(FailureNumber([&] { record->GetFields().Update(); }), Number(StoreError::kRefused));
  EXPECT_EQ(record->GetFields().Item("mark").Value(), Variant::Int32(2));
  EXPECT_FALSE(store_.Property(kItem, "mark").has_value());
  // The content stream is no field update: it still writes.
  auto stream = record->GetFields().Item(adDefaultStream).StreamValue();
  stream->Write("!");
  stream->Flush();
  EXPECT_EQ(store_.Content(kItem), "body!");
}

TEST_F(MemoryStoreTest, UnreadablePropertyThrowsOnRead) {
  store_.MakeUnreadable(kItem, kFromProperty);
  auto record = Open(kItem);
  EXPECT_EQ(FailureNumber([&] { record->GetFields().Item(kFromProperty).Value(); }),
            Number(StoreError::kPropertyUnreadable));
  EXPECT_EQ(record->GetFields().Item("other").Value(), Variant::Null());
}

TEST_F(MemoryStoreTest, CountsOpensByTheUrlAsGivenAndEveryMoveAttempt) {
  Open(kItem);
  Open(kInbox + "/");
  FailureNumber([&] { Open(kInbox + "/missing"); });
  EXPECT_EQ(store_.open_calls(kItem), 1);
  EXPECT_EQ(store_.open_calls(kInbox + "/"), 1);
  EXPECT_EQ(store_.open_calls(kInbox), 0);
  EXPECT_EQ(store_.open_calls(kInbox + "/missing"), 1);
  auto record = Open(kItem);
  FailureNumber([&] { record->MoveRecord("", kItem, "", "", adMoveUnspecified, false); });
  FailureNumber([&] { record->MoveRecord("", kItem + "2", "", "", adMoveUnspecified, true); });
  record->MoveRecord("", kInbox + "/N.EML", "", "", adMoveUnspecified, false);
  EXPECT_EQ(store_.move_attempts(), 3);
}

}  // namespace
}  // namespace corvalith::store
