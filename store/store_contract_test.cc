// The record contract, run against every store: whatever the filter observes through the
// record interface must not depend on which store is underneath.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "store/maildir/maildir_store.h"
#include "store/memory/memory_store.h"
#include "store/message_import.h"
#include "store/sqlite/sqlite_store.h"
#include "store/store_test_util.h"

namespace corvalith::store {
namespace {

const std::string kRoot = "file://./backofficestorage/example.com/MBX/alice";
const std::string kInbox = kRoot + "/Inbox";
const std::string kItem = kInbox + "/M1.EML";

struct MemoryKind {
  testing::MemoryFileSystem files;
  MemoryStore store{files};
};

struct SqliteKind {
  testing::TempDirectory dir{"corvalith-contract"};
  testing::MemoryFileSystem files;
  SqliteStore store{dir.File("store.db"), files};
};

struct MaildirKind {
  testing::TempDirectory dir{"corvalith-contract"};
  testing::MemoryFileSystem files;
  MaildirStore store{dir.File("mail"), files};
};

template <class Kind>
class StoreContractTest : public ::testing::Test {
 protected:
  StoreContractTest() {
    kind_.store.CreateFolder(kInbox);
    kind_.store.PutItem(kItem, {{kFromProperty, Variant::String("A <a@b.c>")}}, "body");
    connection_ = kind_.store.Connect();
  }
  std::unique_ptr<Record> Open(const std::string& url, int32_t mode = adModeReadWrite,
                               int32_t create = adFailIfNotExists) {
    return connection_->OpenRecord(url, mode, create, adOpenRecordUnspecified, "", "");
  }
  auto& store() { return kind_.store; }

  Kind kind_;
  std::unique_ptr<Connection> connection_;
};

using StoreKinds = ::testing::Types<MemoryKind, SqliteKind, MaildirKind>;
TYPED_TEST_SUITE(StoreContractTest, StoreKinds);

TYPED_TEST(StoreContractTest, OpenModes) {
  struct Case {
    const char* what;
    std::string url;
    int32_t mode;
    int32_t create;
    int32_t error;  // 0: opens
  } cases[] = {
      {"read item", kItem, adModeRead, adFailIfNotExists, 0},
      {"read folder", kInbox, adModeRead, adFailIfNotExists, 0},
      {"root with a trailing slash opens as the root", kRoot + "/", adModeRead, adFailIfNotExists,
       0},
      {"read missing", kInbox + "/none", adModeRead, adFailIfNotExists,
       Number(StoreError::kNotFound)},
      {"names are case-sensitive", kRoot + "/INBOX", adModeRead, adFailIfNotExists,
       Number(StoreError::kNotFound)},
      {"write missing", kInbox + "/none", adModeReadWrite, adFailIfNotExists,
       Number(StoreError::kNotFound)},
      {"write item", kItem, adModeReadWrite, adFailIfNotExists, 0},
      {"new folder", kRoot + "/Spambox", adModeReadWrite, adCreateCollection, 0},
      {"folder over a folder", kInbox, adModeReadWrite, adCreateCollection,
       Number(StoreError::kAlreadyExists)},
      {"folder over an item", kItem, adModeReadWrite, adCreateCollection,
       Number(StoreError::kAlreadyExists)},
      {"no recursive folder creation", kRoot + "/a/b", adModeReadWrite, adCreateCollection,
       Number(StoreError::kParentMissing)},
      {"a mailbox root needs no parent", "file://./backofficestorage/x.org/MBX/bob",
       adModeReadWrite, adCreateCollection, 0},
      {"but a domain level is no root", "file://./backofficestorage/x.org/MBX", adModeReadWrite,
       adCreateCollection, Number(StoreError::kParentMissing)},
      {"creating read-only", kRoot + "/Other", adModeRead, adCreateCollection,
       Number(StoreError::kWrongMode)},
      {"item into a missing folder", kRoot + "/none/M.EML", adModeReadWrite, adCreateOverwrite,
       Number(StoreError::kParentMissing)},
      {"item over a folder", kInbox, adModeReadWrite, adCreateOverwrite,
       Number(StoreError::kAlreadyExists)},
      {"item over an item", kItem, adModeReadWrite, adCreateOverwrite, 0},
      {"non-overwriting create on an item", kItem, adModeReadWrite, adCreateNonCollection,
       Number(StoreError::kAlreadyExists)},
      {"unknown create option", kItem, adModeReadWrite, 0x1234, Number(StoreError::kBadArgument)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FailureNumber([&] { this->Open(c.url, c.mode, c.create); }), c.error);
  }
  EXPECT_TRUE(this->store().Exists(kRoot + "/Spambox"));
  EXPECT_FALSE(this->store().Exists(kRoot + "/a"));
  EXPECT_EQ(this->Open(kRoot + "/", adModeRead)->Source(), kRoot);
}

TYPED_TEST(StoreContractTest, ReadOnlyRecordRefusesWrites) {
  auto record = this->Open(kItem, adModeRead);
  Fields& fields = record->GetFields();
  const int32_t wrong_mode = Number(StoreError::kWrongMode);
  EXPECT_EQ(FailureNumber([&] { fields.Item("x").SetValue(Variant::Int32(1)); }), wrong_mode);
  EXPECT_EQ(FailureNumber([&] { fields.Update(); }), wrong_mode);
  auto stream = fields.Item(adDefaultStream).StreamValue();
  stream->Write("more");
  EXPECT_EQ(FailureNumber([&] { stream->Flush(); }), wrong_mode);
  EXPECT_EQ(this->store().Content(kItem), "body");
  EXPECT_EQ(fields.Item(kFromProperty).Value(), Variant::String("A <a@b.c>"));
}

TYPED_TEST(StoreContractTest, CreateOverwriteResetsContentAndProperties) {
  auto record = this->Open(kItem, adModeReadWrite, adCreateOverwrite);
  EXPECT_EQ(record->GetFields().Item(kFromProperty).Status(), adFieldDoesNotExist);
  EXPECT_EQ(this->store().Content(kItem), "");
  EXPECT_FALSE(this->store().Property(kItem, kFromProperty).has_value());
  EXPECT_EQ(this->store().Children(kInbox), std::vector<std::string>{kItem});
}

TYPED_TEST(StoreContractTest, PropertiesKeepTheirTypeAndPendingValuesReadBack) {
  struct Case {
    const char* name;
    Variant value;
  } cases[] = {
      {"null", Variant::Null()},
      {"int16", Variant::Int16(-7)},
      {"int32", Variant::Int32(2147483647)},
      {"bool", Variant::Bool(true)},
      {"empty string", Variant::String("")},
      {"bytes", Variant::String(std::string("caf\xC3\xA9 \0 \xFF\r\n", 11))},
  };
  auto record = this->Open(kItem);
  Fields& fields = record->GetFields();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Field& field = fields.Item(c.name);
    EXPECT_EQ(field.Status(), adFieldDoesNotExist);
    EXPECT_EQ(field.Value(), Variant::Null());
    field.SetValue(c.value);
    EXPECT_EQ(field.Value(), c.value);
    EXPECT_EQ(field.Status(), adFieldOK);
    EXPECT_FALSE(this->store().Property(kItem, c.name).has_value()) << "written before Update";
  }
  fields.Update();
  auto reopened = this->Open(kItem, adModeRead);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(this->store().Property(kItem, c.name), c.value);
    EXPECT_EQ(reopened->GetFields().Item(c.name).Value(), c.value);
    EXPECT_EQ(reopened->GetFields().Item(c.name).Status(), adFieldOK);
  }
  // An empty variant removes the property.
  fields.Item("int16").SetValue(Variant());
  fields.Update();
  EXPECT_FALSE(this->store().Property(kItem, "int16").has_value());
  EXPECT_EQ(this->store().Property(kItem, kFromProperty), Variant::String("A <a@b.c>"));
}

TYPED_TEST(StoreContractTest, MoveCarriesTheItemAndTheRecordFollows) {
  this->store().CreateFolder(kRoot + "/Spambox");
  const std::string destination = kRoot + "/Spambox/M1.EML";
  auto record = this->Open(kItem);
  record->GetFields().Item("pending").SetValue(Variant::Int32(3));
  EXPECT_EQ(record->MoveRecord(kItem, destination, "", "", adMoveUnspecified, false), destination);
  EXPECT_EQ(record->Source(), destination);
  EXPECT_EQ(record->ParentURL(), kRoot + "/Spambox");
  EXPECT_EQ(record->GetFields().Item(kDavParentName).Value(), Variant::String(kRoot + "/Spambox"));
  EXPECT_FALSE(this->store().Exists(kItem));
  EXPECT_EQ(this->store().Content(destination), "body");
  EXPECT_EQ(this->store().Property(destination, kFromProperty), Variant::String("A <a@b.c>"));
  // A value assigned before the move lands on the moved item.
  record->GetFields().Update();
  EXPECT_EQ(this->store().Property(destination, "pending"), Variant::Int32(3));
  EXPECT_EQ(this->store().Children(kInbox), std::vector<std::string>{});
}

TYPED_TEST(StoreContractTest, FailedMovesLeaveBothItemsIntact) {
  const std::string other = kInbox + "/M2.EML";
  this->store().PutItem(other, {{kFromProperty, Variant::String("other")}}, "other body");
  struct Case {
    const char* what;
    std::string destination;
    int32_t error;
  } cases[] = {
      {"name clash", other, Number(StoreError::kAlreadyExists)},
      {"onto a folder", kInbox, Number(StoreError::kAlreadyExists)},
      {"missing folder", kRoot + "/Spambox/M1.EML", Number(StoreError::kParentMissing)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto record = this->Open(kItem);
    EXPECT_EQ(FailureNumber([&] {
                record->MoveRecord(kItem, c.destination, "", "", adMoveUnspecified, false);
              }),
              c.error);
    EXPECT_EQ(record->Source(), kItem);
    EXPECT_EQ(this->store().Content(kItem), "body");
    EXPECT_EQ(this->store().Property(kItem, kFromProperty), Variant::String("A <a@b.c>"));
    EXPECT_EQ(this->store().Content(other), "other body");
    EXPECT_EQ(this->store().Property(other, kFromProperty), Variant::String("other"));
  }
  auto folder = this->Open(kInbox);
  EXPECT_EQ(FailureNumber([&] {
              folder->MoveRecord("", kRoot + "/Moved", "", "", adMoveUnspecified, false);
            }),
            Number(StoreError::kRefused));
}

TYPED_TEST(StoreContractTest, TransactionsCommitAndRollBack) {
  Connection& connection = *this->connection_;
  connection.BeginTrans();
  EXPECT_EQ(FailureNumber([&] { connection.BeginTrans(); }), Number(StoreError::kTransactionOpen));
  this->Open(kInbox + "/T1.EML", adModeReadWrite, adCreateOverwrite);
  auto item = this->Open(kItem);
  item->GetFields().Item("mark").SetValue(Variant::Int32(1));
  item->GetFields().Update();
  connection.RollbackTrans();
  EXPECT_FALSE(this->store().Exists(kInbox + "/T1.EML"));
  EXPECT_FALSE(this->store().Property(kItem, "mark").has_value());

  connection.BeginTrans();
  this->Open(kInbox + "/T2.EML", adModeReadWrite, adCreateOverwrite);
  // A failing write inside the transaction undoes only itself.
  EXPECT_EQ(FailureNumber([&] { this->Open(kRoot + "/a/b", adModeReadWrite, adCreateCollection); }),
            Number(StoreError::kParentMissing));
  this->Open(kInbox + "/T3.EML", adModeReadWrite, adCreateOverwrite);
  connection.CommitTrans();
  EXPECT_TRUE(this->store().Exists(kInbox + "/T2.EML"));
  EXPECT_TRUE(this->store().Exists(kInbox + "/T3.EML"));
  EXPECT_EQ(FailureNumber([&] { connection.CommitTrans(); }), Number(StoreError::kNoTransaction));
  EXPECT_EQ(FailureNumber([&] { connection.RollbackTrans(); }), Number(StoreError::kNoTransaction));
}

TYPED_TEST(StoreContractTest, StreamLoadsFileBytesExactly) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  bytes += "\r\nRe: caf\xC3\xA9\n";
  this->kind_.files.WriteFile("/spool/m.eml", bytes);
  auto record = this->Open(kInbox + "/New.EML", adModeReadWrite, adCreateOverwrite);
  auto stream = record->GetFields().Item(adDefaultStream).StreamValue();
  stream->SetCharset("us-ascii");
  stream->SetType(adTypeText);
  stream->LoadFromFile("/spool/m.eml");
  stream->Flush();
  EXPECT_EQ(this->store().Content(kInbox + "/New.EML"), bytes);
  stream->Write("tail");
  EXPECT_EQ(stream->ReadAll(), bytes + "tail");
  EXPECT_EQ(this->store().Content(kInbox + "/New.EML"), bytes) << "written before Flush";
  EXPECT_EQ(FailureNumber([&] { stream->LoadFromFile("/spool/missing.eml"); }),
            Number(StoreError::kFileUnreadable));
  // A second stream starts from the stored content.
  EXPECT_EQ(this->Open(kItem)->GetFields().Item(adDefaultStream).StreamValue()->ReadAll(), "body");
}

TYPED_TEST(StoreContractTest, ParentNameIsComputedAndReadOnly) {
  struct Case {
    std::string url;
    std::string parent;
  } cases[] = {{kItem, kInbox}, {kInbox, kRoot}, {kInbox + "/", kRoot}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    auto record = this->Open(c.url);
    Field& field = record->GetFields().Item(kDavParentName);
    EXPECT_EQ(field.Value(), Variant::String(c.parent));
    EXPECT_EQ(field.Status(), adFieldOK);
    EXPECT_EQ(record->ParentURL(), c.parent);
    EXPECT_EQ(FailureNumber([&] { field.SetValue(Variant::String("x")); }),
              Number(StoreError::kReadOnlyProperty));
  }
}

TYPED_TEST(StoreContractTest, ClosedRecordsAndBadIndexes) {
  auto record = this->Open(kItem);
  auto stream = record->GetFields().Item(adDefaultStream).StreamValue();
  EXPECT_EQ(FailureNumber([&] { record->GetFields().Item(0); }), Number(StoreError::kBadIndex));
  EXPECT_EQ(FailureNumber([&] { record->GetFields().Item("x").StreamValue(); }), kErrTypeMismatch);
  record->Close();
  const int32_t closed = Number(StoreError::kNoOpenRecord);
  EXPECT_EQ(FailureNumber([&] { record->Source(); }), closed);
  EXPECT_EQ(FailureNumber([&] { record->GetFields(); }), closed);
  EXPECT_EQ(FailureNumber([&] { stream->Flush(); }), closed);
  EXPECT_EQ(FailureNumber([&] {
              record->MoveRecord("", kInbox + "/X.EML", "", "", adMoveUnspecified, false);
            }),
            closed);
  EXPECT_TRUE(this->store().Exists(kItem));
}

TYPED_TEST(StoreContractTest, InspectionCreatesParentsAndListsChildrenSorted) {
  this->store().CreateFolder(kRoot + "/Archive/2026/Jan");
  this->store().PutItem(kRoot + "/Archive/b.eml", {});
  this->store().PutItem(kRoot + "/Archive/a.eml", {});
  EXPECT_EQ(this->store().Children(kRoot + "/Archive"),
            (std::vector<std::string>{kRoot + "/Archive/2026", kRoot + "/Archive/a.eml",
                                      kRoot + "/Archive/b.eml"}));
  // PutItem on an existing folder adds properties to it.
  this->store().PutItem(kRoot, {{kDeletedItemsProperty, Variant::Null()}});
  EXPECT_EQ(this->Open(kRoot)->GetFields().Item(kDeletedItemsProperty).Status(), adFieldOK);
  EXPECT_TRUE(this->store().Exists(kRoot + "/Archive/2026/Jan"));
  EXPECT_EQ(this->store().Children(kRoot + "/Archive/2026/Jan"), std::vector<std::string>{});
}

// What the host lists: mailboxes, folders with their item counts, an item's folder and size.
TYPED_TEST(StoreContractTest, Listings) {
  const std::string bob = "file://./backofficestorage/example.com/MBX/bob";
  this->store().CreateFolder(kRoot + "/Junk E-mail/Old");
  this->store().CreateFolder(bob + "/Inbox");
  // A sibling whose name extends the root must not count as one of its folders.
  this->store().CreateFolder(kRoot + "x/Inbox");
  this->store().PutItem(kInbox + "/2.EML", {}, "12345");

  std::vector<std::pair<std::string, int64_t>> folders;
  for (const auto& f : this->store().Folders(kRoot + "/")) folders.emplace_back(f.url, f.items);
  EXPECT_EQ(
      folders,
      (std::vector<std::pair<std::string, int64_t>>{
          {kRoot, 0}, {kInbox, 2}, {kRoot + "/Junk E-mail", 0}, {kRoot + "/Junk E-mail/Old", 0}}));
  EXPECT_TRUE(this->store().Folders(kRoot + "/None").empty());
  EXPECT_EQ(this->store().Mailboxes(), (std::vector<std::string>{kRoot, kRoot + "x", bob}));
  std::optional<Store::ItemInfo> item = this->store().FindItem(kInbox + "/2.EML");
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->url, kInbox + "/2.EML");
  EXPECT_EQ(item->folder_url, kInbox);
  EXPECT_EQ(item->size, 5);
  EXPECT_EQ(this->store().FindItem(kItem)->size, 4);
  EXPECT_FALSE(this->store().FindItem(kInbox).has_value()) << "a folder is no item";
  EXPECT_FALSE(this->store().FindItem(kInbox + "/3.EML").has_value());

  std::vector<std::pair<std::string, int64_t>> items;
  for (const auto& i : this->store().Items(kInbox)) {
    EXPECT_EQ(i.folder_url, kInbox);
    items.emplace_back(i.url, i.size);
  }
  EXPECT_EQ(items,
            (std::vector<std::pair<std::string, int64_t>>{{kInbox + "/2.EML", 5}, {kItem, 4}}));
  EXPECT_TRUE(this->store().Items(kRoot + "/Junk E-mail").empty()) << "its folder is no item";
  EXPECT_TRUE(this->store().Items(kRoot + "/None").empty());

  // An item by its name in whichever folder of the mailbox holds it, and in no other mailbox.
  this->store().PutItem(kRoot + "/Junk E-mail/Old/Q1.EML", {}, "x");
  this->store().PutItem(kRoot + "x/Inbox/Q2.EML", {}, "x");
  EXPECT_EQ(this->store().FindItemInMailbox(kRoot, "Q1.EML"), kRoot + "/Junk E-mail/Old/Q1.EML");
  EXPECT_EQ(this->store().FindItemInMailbox(kRoot, "2.EML"), kInbox + "/2.EML");
  EXPECT_EQ(this->store().FindItemInMailbox(kRoot, "Q2.EML"), std::nullopt);
  EXPECT_EQ(this->store().FindItemInMailbox(kRoot, "Old"), std::nullopt) << "a folder is no item";
  EXPECT_EQ(this->store().FindItemInMailbox(kRoot + "/None", "2.EML"), std::nullopt);
}

// Only mail from the internet has a transport header: mail from another mailbox of the server
// has none, whatever header fields its content holds, and so the filter trusts it.
TYPED_TEST(StoreContractTest, ImportedInternalMailHasNoTransportHeader) {
  const std::string raw = "From: Carol <carol@example.com>\r\nSubject: s\r\n\r\nbody\r\n";
  for (Origin origin : {Origin::kInternal, Origin::kExternal}) {
    const std::string url = kInbox + (origin == Origin::kInternal ? "/In.EML" : "/Out.EML");
    ImportMessage(*this->connection_, url, raw, origin);
    std::unique_ptr<Record> record = this->Open(url, adModeRead);
    Field& header = record->GetFields().Item(kHeaderBlockProperty);
    Variant type = record->GetFields().Item(kAddressTypeProperty).Value();
    if (origin == Origin::kInternal) {
      EXPECT_EQ(type.ToString(), kInternalAddressType);
      EXPECT_EQ(header.Status(), adFieldDoesNotExist);
    } else {
      EXPECT_EQ(type.ToString(), kExternalAddressType);
      EXPECT_EQ(header.Value().ToString(), "From: Carol <carol@example.com>\r\nSubject: s\r\n");
    }
  }
}

// Removing a mailbox, for the stores that keep a removed one: it is set aside with its mail,
// found by no URL and no listing, and nothing of a neighbour whose name begins the same moves
// or goes with it.
template <class Kind>
using MailboxRemovalTest = StoreContractTest<Kind>;
using RemovalKinds = ::testing::Types<SqliteKind, MaildirKind>;
TYPED_TEST_SUITE(MailboxRemovalTest, RemovalKinds);

TYPED_TEST(MailboxRemovalTest, SetAsideRestoreAndDelete) {
  auto& store = this->store();
  const std::vector<std::string> neighbours = {"file://./backofficestorage/example.com/MBX/alice.x",
                                               "file://./backofficestorage/example.com/MBX/alice2",
                                               "file://./backofficestorage/example.org/MBX/alice"};
  for (const std::string& root : neighbours) {
    store.PutItem(root + "/Inbox/M1.EML", {}, "neighbour");
  }
  std::vector<std::string> all = neighbours;
  all.push_back(kRoot);
  std::sort(all.begin(), all.end());
  ASSERT_EQ(store.Mailboxes(), all);

  EXPECT_FALSE(store.SetMailboxAside(kRoot).empty());
  EXPECT_FALSE(store.Exists(kRoot));
  EXPECT_FALSE(store.Exists(kItem));
  EXPECT_EQ(store.Mailboxes(), neighbours);
  EXPECT_EQ(store.MailboxesSetAside(), std::vector<std::string>{kRoot});
  EXPECT_EQ(FailureNumber([&] { store.SetMailboxAside(kRoot); }), Number(StoreError::kNotFound));

  // Only one is kept per mailbox: a new one of that name is not set aside over it.
  store.CreateFolder(kInbox);
  EXPECT_EQ(FailureNumber([&] { store.SetMailboxAside(kRoot); }),
            Number(StoreError::kAlreadyExists));
  EXPECT_EQ(FailureNumber([&] { store.RestoreMailbox(kRoot); }),
            Number(StoreError::kAlreadyExists));
  EXPECT_TRUE(store.DeleteMailbox(kRoot)) << "the new one and the kept one";
  EXPECT_FALSE(store.Exists(kRoot));
  EXPECT_TRUE(store.MailboxesSetAside().empty());
  EXPECT_FALSE(store.DeleteMailbox(kRoot));
  EXPECT_EQ(FailureNumber([&] { store.RestoreMailbox(kRoot); }), Number(StoreError::kNotFound));

  // Restored, a mailbox is what it was.
  store.PutItem(kItem, {{kFromProperty, Variant::String("A <a@b.c>")}}, "body");
  store.SetMailboxAside(kRoot);
  store.RestoreMailbox(kRoot);
  EXPECT_EQ(store.Content(kItem), "body");
  EXPECT_EQ(store.Property(kItem, kFromProperty), Variant::String("A <a@b.c>"));
  EXPECT_TRUE(store.MailboxesSetAside().empty());
  EXPECT_EQ(store.Mailboxes(), all);
  for (const std::string& root : neighbours) {
    EXPECT_EQ(store.Content(root + "/Inbox/M1.EML"), "neighbour") << root;
  }
}

}  // namespace
}  // namespace corvalith::store
