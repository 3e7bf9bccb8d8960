// What only the Maildir store has: its layout on disk, the Maildir delivery protocol, and
// living with Dovecot in the same Maildir. The filter's marks as Dovecot keywords are in
// maildir_keywords_test.cc, the record contract it shares with the other stores in
// store_contract_test.cc.
//
// Dovecot itself is not needed: where a test needs Dovecot's side (a move an IMAP client asked
// for, new mail, flag changes), it does to the files what Dovecot's documentation says Dovecot
// does, under the same locks (maildir_test_support.h).
#include "store/maildir/maildir_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "platform/testing/as_another_user.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "store/mailbox_url.h"
#include "store/maildir/maildir_control.h"
#include "store/maildir/maildir_files.h"
#include "store/maildir/maildir_layout.h"
#include "store/maildir/maildir_properties.h"
#include "store/maildir/maildir_test_support.h"
#include "store/message_import.h"
#include "store/store_test_util.h"

namespace corvalith::store::maildir_test {
namespace {

// The id of a process that has ended.
pid_t EndedProcess() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

TEST_F(MaildirStoreTest, MailboxFoldersAreMaildirPlusPlusDirectories) {
  EXPECT_EQ(Maildir(), dir_.File("mail/example.com/alice/Maildir"));
  for (const char* sub : {"cur", "new", "tmp"}) {
    EXPECT_TRUE(fs::is_directory(Maildir() + "/" + sub)) << sub;
    for (const char* folder : {"/.Junk E-mail", "/.Sent Items", "/.Deleted Items"}) {
      EXPECT_TRUE(fs::is_directory(Maildir() + folder + "/" + sub)) << folder << sub;
      EXPECT_TRUE(fs::is_regular_file(Maildir() + folder + "/maildirfolder")) << folder;
    }
  }
  EXPECT_EQ(store_.Children(kRoot), (std::vector<std::string>{kRoot + "/Deleted Items", kInbox,
                                                              kJunk, kRoot + "/Sent Items"}));
  // The root's Deleted Items property lives beside the Maildir, never in it.
  EXPECT_TRUE(fs::is_regular_file(dir_.File("mail/example.com/alice/corvalith-properties.db")));
  EXPECT_EQ(store_.Property(kRoot, kDeletedItemsProperty),
            Variant::String(kRoot + "/Deleted Items"));

  auto create = [&](const std::string& url) {
    return FailureNumber([&] {
      connection_->OpenRecord(url, adModeReadWrite, adCreateCollection, adOpenRecordUnspecified, "",
                              "");
    });
  };
  EXPECT_EQ(create(kInbox + "/Projects"), 0);
  EXPECT_TRUE(fs::is_directory(Maildir() + "/.INBOX.Projects/cur"));
  EXPECT_EQ(create(kRoot + "/Entw\xC3\xBC"
                           "rfe"),
            0);
  EXPECT_TRUE(fs::is_directory(Maildir() + "/.Entw&APw-rfe/cur"));
  EXPECT_EQ(store_.Children(kInbox), std::vector<std::string>{kInbox + "/Projects"});
  EXPECT_EQ(create(kRoot + "/v1.2"), Number(StoreError::kBadArgument));
  EXPECT_EQ(create(kRoot + "/INBOX"), Number(StoreError::kBadArgument));
}

TEST_F(MaildirStoreTest, WhatTheLayoutCannotHoldIsRefused) {
  const std::string item = Deliver(kInbox, "M1.EML", Message("one"));
  CreateMailbox(*connection_, "example.com", "bob");
  EXPECT_EQ(FailureNumber([&] {
              connection_->OpenRecord(kRoot + "/M2.EML", adModeReadWrite, adCreateOverwrite,
                                      adOpenRecordUnspecified, "", "");
            }),
            Number(StoreError::kRefused))
      << "the mailbox root holds folders only";
  EXPECT_EQ(FailureNumber([&] {
              Open(item)->MoveRecord(item, MailboxRootUrl("example.com", "bob") + "/Inbox/M1.EML",
                                     "", "", adMoveUnspecified, false);
            }),
            Number(StoreError::kRefused))
      << "a move between mailboxes";
  for (const char* name : {"a,b.EML", "a:2,S", ".hidden"}) {
    EXPECT_EQ(FailureNumber([&] {
                connection_->OpenRecord(kInbox + "/" + name, adModeReadWrite, adCreateOverwrite,
                                        adOpenRecordUnspecified, "", "");
              }),
              Number(StoreError::kBadArgument))
        << name;
  }
  EXPECT_TRUE(store_.Exists(item));
}

TEST_F(MaildirStoreTest, DeliveryWaitsInTmpUntilTheTransactionCommits) {
  const std::string raw = Message("first");
  connection_->BeginTrans();
  ImportMessage(*connection_, kInbox + "/M1.EML", raw, Origin::kExternal);
  EXPECT_EQ(Names(Maildir() + "/new"), std::vector<std::string>{});
  EXPECT_EQ(Names(Maildir() + "/cur"), std::vector<std::string>{});
  std::vector<std::string> waiting = Names(Maildir() + "/tmp");
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(ReadFileBytes(Maildir() + "/tmp/" + waiting[0]), raw);
  EXPECT_FALSE(store_.Exists(kInbox + "/M1.EML")) << "nobody else sees it yet";
  connection_->CommitTrans();

  EXPECT_EQ(Names(Maildir() + "/tmp"), std::vector<std::string>{});
  std::vector<std::string> delivered = Names(Maildir() + "/new");
  ASSERT_EQ(delivered.size(), 1u);
  const std::string prefix = "M1.EML,S=" + std::to_string(raw.size()) + ",C=";
  EXPECT_EQ(delivered[0].compare(0, prefix.size(), prefix), 0) << delivered[0];
  EXPECT_EQ(delivered[0].find(':'), std::string::npos) << "no flags, so no info part";
  EXPECT_EQ(ReadFileBytes(Maildir() + "/new/" + delivered[0]), raw);

  connection_->BeginTrans();
  ImportMessage(*connection_, kInbox + "/M2.EML", raw, Origin::kExternal);
  connection_->RollbackTrans();
  EXPECT_EQ(Names(Maildir() + "/tmp"), std::vector<std::string>{});
  EXPECT_EQ(Names(Maildir() + "/new"), delivered);
  EXPECT_FALSE(store_.Exists(kInbox + "/M2.EML"));
}

TEST_F(MaildirStoreTest, WhatTheFilterReadsComesFromTheMessageFile) {
  Deliver(kInbox, "M1.EML", Message("first"));
  const std::string internal = Deliver(kInbox, "M2.EML", Message("second"), Origin::kInternal);
  // Moved by Dovecot, the items keep what the filter reads: it is in the file.
  DovecotMove(Maildir(), Junk(), "M1.EML", "S");
  const std::string moved = kJunk + "/M1.EML";
  EXPECT_EQ(store_.Property(moved, kFromProperty), Variant::String("Bob <bob@example.org>"));
  EXPECT_EQ(store_.Property(moved, kSubjectProperty), Variant::String("first"));
  EXPECT_EQ(store_.Property(moved, kHeaderBlockProperty),
            Variant::String("From: Bob <bob@example.org>\r\nSubject: first\r\n"));
  EXPECT_EQ(store_.Property(moved, kPlainBodyProperty), Variant::String("Hello\r\n"));
  EXPECT_EQ(store_.Property(moved, kAddressTypeProperty), Variant::String(kExternalAddressType));
  EXPECT_EQ(store_.Property(moved, kHtmlBodyProperty), std::nullopt);
  // What the file cannot say is kept in the property table.
  EXPECT_EQ(store_.Property(internal, kAddressTypeProperty), Variant::String(kInternalAddressType));
}

TEST_F(MaildirStoreTest, DovecotsMessagesAreItemsAndKeepTheirFlags) {
  const std::string raw = Message("from dovecot");
  const std::string base = "1234.M5P6.host,S=" + std::to_string(raw.size()) + ",W=99";
  WriteWhole(Maildir() + "/cur/" + base + ":2,RS", raw);
  const std::string item = kInbox + "/1234.M5P6.host";
  EXPECT_EQ(store_.Children(kInbox), std::vector<std::string>{item});
  EXPECT_EQ(store_.Content(item), raw);

  Write(item, kMailMarkerProperty, Variant::Int32(2));
  EXPECT_EQ(Names(Maildir() + "/cur"), std::vector<std::string>{base + ":2,RSab"})
      << "the base stays, so Dovecot keeps the message's UID";
}

TEST_F(MaildirStoreTest, ForeignFilesInAMaildirAreIgnored) {
  const std::string item = Deliver(kInbox, "M1.EML", Message("real"));
  WriteWhole(Maildir() + "/new/.dotfile", "x");
  WriteWhole(Maildir() + "/cur/garbage:1,xyz", "x");
  WriteWhole(Maildir() + "/cur/bad:2,S1", "x");
  WriteWhole(Maildir() + "/cur/ctl\x01name:2,S", "x");
  WriteWhole(Maildir() + "/cur/,S=5:2,S", "x");
  WriteWhole(Maildir() + "/tmp/M9.EML", "x");
  fs::create_directory(Maildir() + "/cur/subdir:2,S");
  fs::create_symlink(FileOf(Maildir(), "M1.EML"), Maildir() + "/cur/link:2,S");
  WriteWhole(Maildir() + "/dovecot-uidlist", "3 V1 N1\n");
  WriteWhole(Maildir() + "/dovecot.index.log", "x");
  WriteWhole(Maildir() + "/.notafolder", "x");
  fs::create_directory(Maildir() + "/.NoCur");
  fs::create_directories(Maildir() + "/.a&AGE-/cur");
  fs::create_directories(Maildir() + "/.inbox.x/cur");

  EXPECT_EQ(store_.Children(kInbox), std::vector<std::string>{item});
  EXPECT_EQ(store_.Children(kRoot), (std::vector<std::string>{kRoot + "/Deleted Items", kInbox,
                                                              kJunk, kRoot + "/Sent Items"}));
  for (const char* name : {"M9.EML", "garbage", "bad", "subdir", "link", "dotfile", ".dotfile"}) {
    EXPECT_FALSE(store_.Exists(kInbox + "/" + name)) << name;
  }
  for (const char* name : {"notafolder", "NoCur", "a&AGE-", "aa", "inbox"}) {
    EXPECT_FALSE(store_.Exists(kRoot + "/" + name)) << name;
  }
  // Changing the real item leaves the rest alone.
  Write(item, kMailMarkerProperty, Variant::Int32(2));
  EXPECT_EQ(Names(Maildir() + "/tmp"), std::vector<std::string>{"M9.EML"});
  EXPECT_TRUE(fs::exists(Maildir() + "/cur/garbage:1,xyz"));
}

TEST_F(MaildirStoreTest, NewContentIsANewFileUnderANewName) {
  const std::string item = Deliver(kInbox, "M1.EML", Message("one"));
  Write(item, kMailMarkerProperty, Variant::Int32(2));
  const std::string before = FileOf(Maildir(), "M1.EML");
  auto record = Open(item);
  auto stream = record->GetFields().Item(adDefaultStream).StreamValue();
  stream->Write("more");
  stream->Flush();
  const std::string after = FileOf(Maildir(), "M1.EML");
  const std::string old_name = fs::path(before).filename().string();
  const std::string new_name = fs::path(after).filename().string();
  EXPECT_NE(ParseMessageFileName(new_name)->base, ParseMessageFileName(old_name)->base)
      << "Dovecot must see a new message, not a changed one";
  EXPECT_EQ(ReadFileBytes(after), Message("one") + "more");
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(2));
}

TEST_F(MaildirStoreTest, AFolderLockedByDovecotIsLeftAloneUntilTheLockIsStale) {
  const std::string item = Deliver(kInbox, "M1.EML", Message("one"));
  const std::string file = FileOf(Maildir(), "M1.EML");
  MaildirStore impatient(dir_.File("mail"), files_, MaildirOptions{std::chrono::milliseconds(0)});
  auto connection = impatient.Connect();
  auto write_marker = [&] {
    auto record = connection->OpenRecord(item, adModeReadWrite, adFailIfNotExists,
                                         adOpenRecordUnspecified, "", "");
    record->GetFields().Item(kMailMarkerProperty).SetValue(Variant::Int32(2));
    record->GetFields().Update();
  };
  {
    UidListLock dovecot(Maildir(), kLockTimeout);
    // A lock has its owner from the start: a waiter can tell when its process is gone.
    EXPECT_EQ(ReadFileBytes(Maildir() + "/dovecot-uidlist.lock"),
              std::to_string(getpid()) + ":" + maildir::HostName());
    EXPECT_EQ(FailureNumber(write_marker), Number(StoreError::kBusy));
    EXPECT_EQ(FileOf(Maildir(), "M1.EML"), file);
    EXPECT_EQ(impatient.Content(item), Message("one")) << "reading needs no lock";
  }
  EXPECT_FALSE(fs::exists(Maildir() + "/dovecot-uidlist.lock"));
  EXPECT_TRUE(fs::is_empty(Maildir() + "/tmp")) << "what the lock was made from is gone";

  const std::string lock = Maildir() + "/dovecot-uidlist.lock";
  WriteWhole(lock, std::to_string(EndedProcess()) + ":" + maildir::HostName());
  SetModified(lock, time(nullptr) - 10);
  EXPECT_EQ(FailureNumber(write_marker), 0) << "the lock of a process that is gone";
  EXPECT_FALSE(fs::exists(lock));

  WriteWhole(lock, "");
  SetModified(lock, time(nullptr) - 200);
  WriteWhole(Maildir() + "/dovecot-uidlist", "3 V1 N1\n");
  SetModified(Maildir() + "/dovecot-uidlist", time(nullptr) - 200);
  // A lock without an owner to check goes only after two minutes without any change, and the
  // status change time of this one is fresh, whatever its mtime says.
  EXPECT_EQ(FailureNumber(write_marker), Number(StoreError::kBusy));
  EXPECT_TRUE(fs::exists(lock));
}

// A commit reported as failed must leave no message: a delivery's sender tries again, and every
// try that left one would be one more copy in the mailbox.
TEST_F(MaildirStoreTest, ACommitThatFailsLeavesNoMessage) {
  auto deliver_internal = [&](const std::string& name) {
    connection_->BeginTrans();
    // Mail from a colleague: its sender address type is kept in the property table.
    ImportMessage(*connection_, kInbox + "/" + name, Message(name), Origin::kInternal);
    const int32_t failure = FailureNumber([&] { connection_->CommitTrans(); });
    if (failure != 0) connection_->RollbackTrans();
    return failure;
  };
  auto no_message_files = [&] {
    for (const char* sub : {"/new", "/cur", "/tmp"}) {
      EXPECT_EQ(Names(Maildir() + sub), std::vector<std::string>{}) << sub;
    }
  };
  // The property table refuses to be written (a full disk, a writer holding it too long).
  Sql(PropertiesFile(),
      "CREATE TRIGGER refuse BEFORE INSERT ON properties BEGIN SELECT RAISE(ABORT, 'disk full'); "
      "END");
  EXPECT_EQ(deliver_internal("M1.EML"), Number(StoreError::kStorageFault));
  no_message_files();
  EXPECT_FALSE(store_.Exists(kInbox + "/M1.EML"));
  Sql(PropertiesFile(), "DROP TRIGGER refuse");

  // The rename into the folder fails: the rows written for the message go again.
  connection_->BeginTrans();
  ImportMessage(*connection_, kInbox + "/M2.EML", Message("M2.EML"), Origin::kInternal);
  for (const std::string& waiting : Names(Maildir() + "/tmp")) {
    fs::remove(Maildir() + "/tmp/" + waiting);
  }
  EXPECT_EQ(FailureNumber([&] { connection_->CommitTrans(); }), Number(StoreError::kStorageFault));
  connection_->RollbackTrans();
  no_message_files();
  maildir::PropertyTable table(PropertiesFile());
  EXPECT_EQ(table.Read({kInboxFolder, "M2.EML"}, kAddressTypeProperty), std::nullopt);
  EXPECT_TRUE(table.FilesNamed("M2.EML").empty());

  EXPECT_EQ(deliver_internal("M3.EML"), 0);
  EXPECT_EQ(store_.Property(kInbox + "/M3.EML", kAddressTypeProperty),
            Variant::String(kInternalAddressType));
}

// The store keeps a mailbox's property table open from one connection to the next; a mailbox
// removed and added again (`mailbox remove --purge`, then `mailbox add`) has a new file, and
// what is written after goes into that one, never into the file that went.
TEST_F(MaildirStoreTest, APropertyTableKeptOpenFollowsTheFileAtItsPath) {
  auto deliver_internal = [&](const std::string& name) {
    connection_ = store_.Connect();
    Deliver(kInbox, name, Message(name), Origin::kInternal);
  };
  deliver_internal("M1.EML");
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(PropertiesFile() + suffix);
  deliver_internal("M2.EML");
  maildir::PropertyTable table(PropertiesFile());
  EXPECT_EQ(table.Read({kInboxFolder, "M2.EML"}, kAddressTypeProperty),
            Variant::String(kInternalAddressType));
  EXPECT_EQ(table.FilesNamed("M2.EML").size(), 1u);
  // A file that stays is kept open: one more delivery needs no new handle to see its rows.
  deliver_internal("M3.EML");
  EXPECT_EQ(store_.Property(kInbox + "/M3.EML", kAddressTypeProperty),
            Variant::String(kInternalAddressType));
}

// A delivery looks items up by name (the retry check, the new item's name, the spam move's
// target, then what the filter reads): through the mailbox's index, so that its cost does not
// grow with the folders. A folder that cannot be read at all shows that none is read.
TEST_F(MaildirStoreTest, ADeliveryFindsItemsByNameWithoutReadingAFolder) {
  const std::string earlier = Deliver(kJunk, "Q1.EML", Message("earlier"));
  Write(earlier, kMailMarkerProperty, Variant::Int32(2));  // into cur/
  ASSERT_TRUE(fs::is_empty(Junk() + "/new"));
  fs::remove(Junk() + "/new");
  fs::create_directory_symlink("new", Junk() + "/new");  // a loop: reading it fails
  ASSERT_EQ(FailureNumber([&] { store_.Children(kJunk); }), Number(StoreError::kStorageFault));

  EXPECT_EQ(store_.FindItemInMailbox(kRoot, "Q2.EML"), std::nullopt) << "a first try";
  EXPECT_EQ(store_.FindItemInMailbox(kRoot, "Q1.EML"), earlier) << "a retry";
  EXPECT_TRUE(store_.Exists(earlier));
  EXPECT_EQ(store_.FindItem(earlier)->size, static_cast<int64_t>(Message("earlier").size()));
  EXPECT_EQ(store_.Content(earlier), Message("earlier"));
  EXPECT_EQ(store_.Property(earlier, kMailMarkerProperty), Variant::Int32(2));

  // Spam, moved by the filter into Junk E-mail before the delivery commits.
  connection_->BeginTrans();
  ImportMessage(*connection_, kInbox + "/Q2.EML", Message("spam"), Origin::kExternal);
  auto record = Open(kInbox + "/Q2.EML");
  record->GetFields().Item(kMailMarkerProperty).SetValue(Variant::Int32(2));
  record->GetFields().Update();
  record->MoveRecord(kInbox + "/Q2.EML", kJunk + "/Q2.EML", "", "", adMoveUnspecified, false);
  connection_->CommitTrans();
  EXPECT_EQ(store_.FindItemInMailbox(kRoot, "Q2.EML"), kJunk + "/Q2.EML");

  // The filter relearning a user's correction flips the marker where the message lies.
  Write(earlier, kMailMarkerProperty, Variant::Int32(1));
  EXPECT_EQ(store_.Property(earlier, kMailMarkerProperty), Variant::Int32(1));
}

// The index is a hint: Dovecot renames, moves and expunges messages without telling the store.
TEST_F(MaildirStoreTest, WhatDovecotRenamedOrMovedIsFoundByNameAllTheSame) {
  const std::string item = Deliver(kInbox, "M1.EML", Message("one"));
  // The user reads it: Dovecot moves it from new/ to cur/ with the flag S.
  const std::string file = FileOf(Maildir(), "M1.EML");
  fs::rename(file, Maildir() + "/cur/" + fs::path(file).filename().string() + ":2,S");
  EXPECT_EQ(store_.FindItemInMailbox(kRoot, "M1.EML"), item);
  EXPECT_EQ(store_.FindItem(item)->size, static_cast<int64_t>(Message("one").size()));
  EXPECT_EQ(store_.Content(item), Message("one"));
  // The read of the folder put the row right: the next lookup is one look again.
  EXPECT_EQ(maildir::PropertyTable(PropertiesFile()).File({"Inbox", "M1.EML"}),
            "cur/" + fs::path(file).filename().string() + ":2,S");

  DovecotMove(Maildir(), Junk(), "M1.EML", "");
  EXPECT_EQ(store_.FindItemInMailbox(kRoot, "M1.EML"), kJunk + "/M1.EML");
  EXPECT_FALSE(store_.Exists(item));
  EXPECT_TRUE(store_.Exists(kJunk + "/M1.EML"));
  EXPECT_EQ(maildir::PropertyTable(PropertiesFile()).File({"Junk E-mail", "M1.EML"}),
            "cur/" + fs::path(FileOf(Junk(), "M1.EML")).filename().string())
      << "the copy Dovecot made is remembered where it was found";
  EXPECT_EQ(FailureNumber([&] {
              connection_->OpenRecord(kJunk + "/M1.EML", adModeReadWrite, adCreateNonCollection,
                                      adOpenRecordUnspecified, "", "");
            }),
            Number(StoreError::kAlreadyExists))
      << "the name is taken there, though the index knows only where the store put it";

  // The user deletes it.
  fs::remove(FileOf(Junk(), "M1.EML"));
  EXPECT_EQ(store_.FindItemInMailbox(kRoot, "M1.EML"), std::nullopt);
}

// Only a file gone since the folder was listed is taken for one that Dovecot renamed and looked
// up again: a file the store may list but not look at (its directory readable but not
// searchable) fails the listing and the lookup at once, as the store's fault. Root looks
// anywhere, so root runs the store as nobody in a child process, the tree given to nobody.
TEST_F(MaildirStoreTest, AFileThatCannotBeLookedAtIsNoRename) {
  using testing::kNobody;
  const std::string item = Deliver(kInbox, "M1.EML", Message("one"));
  if (geteuid() == 0) {
    ASSERT_EQ(lchown(dir_.path().c_str(), kNobody, kNobody), 0);
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      ASSERT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0) << entry.path();
    }
  }
  struct Searchable {
    std::vector<std::string> directories;
    void Set(fs::perms perms) {
      for (const std::string& directory : directories) fs::permissions(directory, perms);
    }
    ~Searchable() { Set(fs::perms::owner_all); }  // so that the directory can be removed
  } searchable{{Maildir() + "/new", Maildir() + "/cur"}};
  searchable.Set(fs::perms::owner_read);

  const testing::OtherUserOutcome run = testing::RunAsAnotherUser([&] {
    auto outcome = [](const std::function<void()>& call) -> std::string {
      try {
        call();
      } catch (const Failure& failure) {
        return (IsStoreError(failure, StoreError::kStorageFault) ? "storage fault: "
                                                                 : "other failure: ") +
               failure.description() + "\n";
      }
      return "no failure\n";
    };
    return outcome([&] { store_.Items(kInbox); }) + outcome([&] { store_.FindItem(item); });
  });
  if (!run.became_other_user) GTEST_SKIP() << "root cannot become nobody";
  ASSERT_TRUE(run.finished);
  const std::string& text = run.text;
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  for (std::string_view line : {std::string_view(text).substr(0, text.find('\n')),
                                std::string_view(text).substr(text.find('\n') + 1)}) {
    EXPECT_TRUE(line.starts_with("storage fault: ")) << line;
    EXPECT_NE(line.find("stat " + Maildir() + "/new/M1.EML,"), std::string_view::npos) << line;
    EXPECT_NE(line.find("(Permission denied)"), std::string_view::npos) << line;
  }
}

// The index grows with the mail of the last weeks, not with everything ever delivered.
TEST_F(MaildirStoreTest, TheIndexForgetsOldMail) {
  const std::string old_item = Deliver(kInbox, "OLD.EML", Message("old"));
  Sql(PropertiesFile(), "UPDATE files SET placed = placed - " +
                            std::to_string((maildir::kFileRowDays + 1) * 24 * 60 * 60) +
                            " WHERE item = 'OLD.EML'");
  Deliver(kInbox, "NEW.EML", Message("new"));
  maildir::PropertyTable table(PropertiesFile());
  EXPECT_TRUE(table.FilesNamed("OLD.EML").empty());
  EXPECT_EQ(table.FilesNamed("NEW.EML").size(), 1u);
  EXPECT_EQ(store_.Content(old_item), Message("old")) << "found by reading its folder";
}

TEST_F(MaildirStoreTest, APropertyTableOfTheFirstVersionGainsTheIndex) {
  const std::string bob = MailboxRootUrl("example.com", "bob");
  store_.CreateFolder(bob + "/Inbox");
  Sql(dir_.File("mail/example.com/bob/corvalith-properties.db"),
      "CREATE TABLE properties(folder TEXT NOT NULL, item TEXT NOT NULL, name TEXT NOT NULL, "
      "type INTEGER NOT NULL, value, PRIMARY KEY(folder, item, name)) WITHOUT ROWID;"
      "INSERT INTO properties VALUES('Inbox', '', 'x', 3, 7);"
      "PRAGMA application_id = 1129729360; PRAGMA user_version = 1;");
  EXPECT_EQ(store_.Property(bob + "/Inbox", "x"), Variant::Int32(7));
  const std::string item = Deliver(bob + "/Inbox", "M1.EML", Message("one"));
  EXPECT_EQ(store_.FindItemInMailbox(bob, "M1.EML"), item);
}

TEST_F(MaildirStoreTest, APropertyTableThatIsNotOursIsLeftAlone) {
  const std::string bob = MailboxRootUrl("example.com", "bob");
  store_.CreateFolder(bob + "/Inbox");
  const std::string table = dir_.File("mail/example.com/bob/corvalith-properties.db");
  const std::string foreign(4096, 'x');
  WriteWhole(table, foreign);
  EXPECT_EQ(FailureNumber([&] {
              store_.PutItem(bob, {{"x", Variant::Int32(1)}});
            }),
            Number(StoreError::kNotAStore));
  EXPECT_EQ(ReadFileBytes(table), foreign);
}

// Dovecot delivers into new/, moves new mail to cur/ and flags messages, all in the Inbox, while
// the store delivers, marks and moves items between Inbox and Junk E-mail as the save pipeline
// and user moves do. Dovecot syncs once after every step of the store, holding the Inbox's lock,
// and checks there that every message it saw is still there: the store may only take one away
// under that lock.
TEST_F(MaildirStoreTest, DovecotWorkingInTheSameMaildirLosesAndDuplicatesNothing) {
  constexpr int kDovecotMessages = 40;
  constexpr int kStoreMessages = 40;
  std::mutex mu;
  std::condition_variable progress;
  int store_steps = 0;      // guarded by mu
  bool store_done = false;  // guarded by mu
  auto step = [&] {
    {
      std::lock_guard lock(mu);
      ++store_steps;
    }
    progress.notify_one();
  };
  std::string vanished;  // read after the join
  std::string dovecot_failure;
  std::thread dovecot([&] {
    try {
      int synced_steps = 0;
      int delivered = 0;
      for (;;) {
        {
          std::unique_lock lock(mu);
          progress.wait(lock, [&] { return store_steps != synced_steps || store_done; });
          synced_steps = store_steps;
          if (store_done && delivered == kDovecotMessages) break;
        }
        if (delivered < kDovecotMessages) {
          const std::string raw = Message("dovecot " + std::to_string(delivered));
          const std::string name = "dovecot-" + std::to_string(delivered++) +
                                   ".M1P1.host,S=" + std::to_string(raw.size());
          WriteWhole(Maildir() + "/tmp/" + name, raw);
          fs::rename(Maildir() + "/tmp/" + name, Maildir() + "/new/" + name);
        }
        UidListLock lock(Maildir(), kLockTimeout);
        auto items = [&] {
          std::set<std::string> found;
          maildir::ForEachMessage(Maildir(), [&](const maildir::MessageFile& file) {
            found.insert(std::string(ParseMessageFileName(file.name)->item));
          });
          return found;
        };
        const std::set<std::string> seen = items();
        for (const std::string& name : Names(Maildir() + "/new")) {
          if (ParseMessageFileName(name)) {
            fs::rename(Maildir() + "/new/" + name, Maildir() + "/cur/" + name + ":2,S");
          }
        }
        for (const std::string& name : Names(Maildir() + "/cur")) {
          auto parsed = ParseMessageFileName(name);
          if (!parsed) continue;
          std::string flags(parsed->flags);
          const size_t flagged = flags.find('F');
          flags = flagged == std::string::npos ? maildir::SortedFlags(flags + "F")
                                               : flags.erase(flagged, 1);
          fs::rename(Maildir() + "/cur/" + name,
                     Maildir() + "/cur/" + std::string(parsed->base) + ":2," + flags);
        }
        const std::set<std::string> still = items();
        for (const std::string& item : seen) {
          if (!still.count(item)) vanished += item + " ";
        }
      }
    } catch (const std::exception& failure) {
      dovecot_failure = failure.what();
    }
  });

  // Dovecot stops also when the store's side fails on the way.
  auto finish = [&] {
    {
      std::lock_guard lock(mu);
      store_done = true;
    }
    progress.notify_one();
    if (dovecot.joinable()) dovecot.join();
  };
  struct Finally {
    std::function<void()> run;
    ~Finally() { run(); }
  } finally{finish};

  std::set<std::string> in_inbox, in_junk;
  for (int i = 0; i < kStoreMessages; ++i) {
    const std::string name = "S" + std::to_string(i) + ".EML";
    const std::string item = Deliver(kInbox, name, Message("store " + std::to_string(i)));
    step();
    auto record = Open(item);
    record->GetFields().Item(kMailMarkerProperty).SetValue(Variant::Int32(2));
    record->GetFields().Update();
    step();
    record->MoveRecord(item, kJunk + "/" + name, "", "", adMoveUnspecified, false);
    step();
    if (i % 2 == 0) {
      // The user's correction: back to the inbox, marked as ham.
      record->MoveRecord(kJunk + "/" + name, item, "", "", adMoveUnspecified, false);
      step();
      record->GetFields().Item(kMailMarkerProperty).SetValue(Variant::Int32(1));
      record->GetFields().Update();
      step();
      in_inbox.insert(item);
    } else {
      in_junk.insert(kJunk + "/" + name);
    }
    for (const std::string& url : in_inbox) {
      EXPECT_TRUE(store_.Exists(url)) << url << " while Dovecot syncs";
    }
  }
  finish();

  EXPECT_EQ(dovecot_failure, "");
  EXPECT_EQ(vanished, "") << "messages a locked Dovecot lost sight of";
  std::set<std::string> expected_inbox = in_inbox;
  for (int i = 0; i < kDovecotMessages; ++i) {
    expected_inbox.insert(kInbox + "/dovecot-" + std::to_string(i) + ".M1P1.host");
  }
  const std::vector<std::string> inbox = store_.Children(kInbox);
  EXPECT_EQ(std::set<std::string>(inbox.begin(), inbox.end()), expected_inbox);
  EXPECT_EQ(inbox.size(), expected_inbox.size());
  const std::vector<std::string> junk = store_.Children(kJunk);
  EXPECT_EQ(std::vector<std::string>(in_junk.begin(), in_junk.end()), junk);
  // One file per item, nothing left behind.
  EXPECT_EQ(Names(Maildir() + "/new").size() + Names(Maildir() + "/cur").size(), inbox.size());
  EXPECT_EQ(Names(Junk() + "/new").size() + Names(Junk() + "/cur").size(), junk.size());
  EXPECT_EQ(Names(Maildir() + "/tmp"), std::vector<std::string>{});
  EXPECT_EQ(Names(Junk() + "/tmp"), std::vector<std::string>{});
  for (const std::string& url : in_inbox) {
    EXPECT_EQ(store_.Property(url, kMailMarkerProperty), Variant::Int32(1)) << url;
  }
  for (const std::string& url : in_junk) {
    EXPECT_EQ(store_.Property(url, kMailMarkerProperty), Variant::Int32(2)) << url;
  }
}

}  // namespace
}  // namespace corvalith::store::maildir_test
