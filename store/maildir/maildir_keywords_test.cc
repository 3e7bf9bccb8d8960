// The filter's marks as Dovecot keywords (maildir_keywords.h): the marker and the hidden flag in
// the file names' letters as the folder's dovecot-keywords table gives them, matched without
// regard to case, kept across the moves Dovecot makes, and kept in the property table where a
// folder has no letter left.
#include "store/maildir/maildir_keywords.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "store/maildir/maildir_test_support.h"
#include "store/store_test_util.h"

namespace corvalith::store::maildir_test {
namespace {

class MaildirKeywordsTest : public MaildirStoreTest {};

time_t Modified(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mtime;
}

TEST_F(MaildirKeywordsTest, TheMarkerAndTheHiddenFlagAreDovecotKeywords) {
  WriteWhole(Maildir() + "/dovecot-keywords", "0 $Forwarded\n2 Work\n");
  const std::string item = Deliver(kInbox, "M1.EML", Message("one"));

  Write(item, kMailMarkerProperty, Variant::Int32(2));
  EXPECT_EQ(Names(Maildir() + "/new"), std::vector<std::string>{})
      << "a file with flags is in cur/";
  EXPECT_EQ(KeywordsOf(Maildir(), "M1.EML"), (std::set<std::string>{kSpamKeyword, kJunkKeyword}));
  EXPECT_EQ(ReadFileBytes(Maildir() + "/dovecot-keywords"),
            "0 $Forwarded\n1 Corvalith-Spam\n2 Work\n3 $Junk\n")
      << "Dovecot's letters stay, new names take the free ones";
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(2));

  Write(item, kMailMarkerProperty, Variant::Int32(1));
  EXPECT_EQ(KeywordsOf(Maildir(), "M1.EML"), (std::set<std::string>{kHamKeyword, kNotJunkKeyword}));
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(1));

  Write(item, kHiddenProperty, Variant::Bool(true));
  EXPECT_EQ(KeywordsOf(Maildir(), "M1.EML"),
            (std::set<std::string>{kHamKeyword, kNotJunkKeyword, kHiddenKeyword}));
  EXPECT_EQ(store_.Property(item, kHiddenProperty), Variant::Bool(true));

  Write(item, kMailMarkerProperty, Variant::Int32(0));
  EXPECT_EQ(KeywordsOf(Maildir(), "M1.EML"),
            (std::set<std::string>{kNotJunkKeyword, kHiddenKeyword}))
      << "the client-visible verdict stays until another replaces it";
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), std::nullopt);

  const std::string before = FileOf(Maildir(), "M1.EML");
  EXPECT_EQ(FailureNumber([&] { Write(item, kMailMarkerProperty, Variant::Int32(3)); }),
            Number(StoreError::kBadArgument));
  EXPECT_EQ(FailureNumber([&] { Write(item, kMailMarkerProperty, Variant::String("x")); }),
            kErrTypeMismatch);
  EXPECT_EQ(FailureNumber([&] { Write(item, kHiddenProperty, Variant::Int32(1)); }),
            Number(StoreError::kBadArgument));
  EXPECT_EQ(FileOf(Maildir(), "M1.EML"), before);
}

// Dovecot matches keywords without regard to case, and so must the store: a keyword of the
// filter's that another program spelled in other case is the filter's own, read as the
// marker, taken off when the marker changes, and given again under the letter it has, never a
// second letter in the store's spelling.
TEST_F(MaildirKeywordsTest, KeywordsMatchWhateverTheirCase) {
  const std::string keywords = "0 corvalith-spam\n1 $JUNK\n";
  WriteWhole(Maildir() + "/dovecot-keywords", keywords);
  const std::string raw = Message("from a sieve script");
  WriteWhole(Maildir() + "/cur/1234.M5P6.host,S=" + std::to_string(raw.size()) + ":2,Sab", raw);
  const std::string item = kInbox + "/1234.M5P6.host";
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(2));

  Write(item, kMailMarkerProperty, Variant::Int32(1));
  EXPECT_EQ(KeywordsOf(Maildir(), "1234.M5P6.host"),
            (std::set<std::string>{kHamKeyword, kNotJunkKeyword}));
  Write(item, kMailMarkerProperty, Variant::Int32(2));
  EXPECT_EQ(KeywordsOf(Maildir(), "1234.M5P6.host"),
            (std::set<std::string>{"corvalith-spam", "$JUNK"}));
  EXPECT_EQ(ReadFileBytes(Maildir() + "/dovecot-keywords"),
            keywords + "2 Corvalith-Ham\n3 $NotJunk\n");
}

TEST_F(MaildirKeywordsTest, KeywordsSurviveAMoveDovecotMakes) {
  const std::string item = Deliver(kInbox, "M1.EML", Message("spam"));
  Write(item, kMailMarkerProperty, Variant::Int32(2));
  Write(item, kHiddenProperty, Variant::Bool(true));
  // Junk E-mail gives its letters out differently from Inbox.
  WriteWhole(Junk() + "/dovecot-keywords", "0 $Label1\n1 $Label2\n");
  const std::string spam = kJunk + "/M1.EML";
  Open(item)->MoveRecord(item, spam, "", "", adMoveUnspecified, false);
  EXPECT_EQ(KeywordsOf(Junk(), "M1.EML"),
            (std::set<std::string>{kSpamKeyword, kJunkKeyword, kHiddenKeyword}));
  EXPECT_EQ(Flags(Junk(), "M1.EML"), "cde");

  // The user drags it back to the inbox in a mail client.
  DovecotMove(Junk(), Maildir(), "M1.EML", "S");
  EXPECT_FALSE(store_.Exists(spam));
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(2));
  EXPECT_EQ(store_.Property(item, kHiddenProperty), Variant::Bool(true));

  // The filter learns from the move and reverses the marker.
  Write(item, kMailMarkerProperty, Variant::Int32(1));
  EXPECT_EQ(KeywordsOf(Maildir(), "M1.EML"),
            (std::set<std::string>{kHamKeyword, kNotJunkKeyword, kHiddenKeyword}));
  EXPECT_NE(Flags(Maildir(), "M1.EML").find('S'), std::string::npos) << "Dovecot's flag stays";
}

TEST_F(MaildirKeywordsTest, ANewKeywordsFileIsNewerThanTheOneItReplaces) {
  const std::string keywords = Maildir() + "/dovecot-keywords";
  WriteWhole(keywords, "0 $Forwarded\n");
  const time_t later = time(nullptr) + 100;
  SetModified(keywords, later);
  const std::string item = Deliver(kInbox, "M1.EML", Message("one"));
  Write(item, kMailMarkerProperty, Variant::Int32(2));
  EXPECT_EQ(Modified(keywords), later + 1) << "Dovecot rereads the table only when its mtime moved";
  EXPECT_FALSE(fs::exists(keywords + ".lock"));
  EXPECT_FALSE(fs::exists(Maildir() + "/dovecot-uidlist.lock"));
}

// A migrated mailbox, or a user with many labels, may have all 26 letters of a folder taken.
TEST_F(MaildirKeywordsTest, AVerdictWithoutAKeywordLetterIsKeptInThePropertyTable) {
  std::string full;
  for (int i = 0; i < maildir::kMaxKeywords; ++i) {
    full += std::to_string(i) + " $Label" + std::to_string(i) + "\n";
  }
  WriteWhole(Maildir() + "/dovecot-keywords", full);
  const std::string item = kInbox + "/M1.EML";
  // Delivered as the save pipeline delivers spam: marked inside the delivery's transaction.
  connection_->BeginTrans();
  ImportMessage(*connection_, item, Message("one"), Origin::kExternal);
  Write(item, kMailMarkerProperty, Variant::Int32(2));
  Write(item, kHiddenProperty, Variant::Bool(true));
  connection_->CommitTrans();
  EXPECT_EQ(fs::path(FileOf(Maildir(), "M1.EML")).parent_path().filename(), "new")
      << "no flag to carry";
  EXPECT_EQ(ReadFileBytes(Maildir() + "/dovecot-keywords"), full);
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(2));
  EXPECT_EQ(store_.Property(item, kHiddenProperty), Variant::Bool(true));

  // A move the store makes takes the verdict along, into keywords where letters are free.
  const std::string spam = kJunk + "/M1.EML";
  Open(item)->MoveRecord(item, spam, "", "", adMoveUnspecified, false);
  EXPECT_EQ(KeywordsOf(Junk(), "M1.EML"),
            (std::set<std::string>{kSpamKeyword, kJunkKeyword, kHiddenKeyword}));
  EXPECT_EQ(store_.Property(spam, kMailMarkerProperty), Variant::Int32(2));
  Open(spam)->MoveRecord(spam, item, "", "", adMoveUnspecified, false);
  EXPECT_EQ(Flags(Maildir(), "M1.EML"), "") << "the Junk E-mail letters mean nothing here";
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(2));
  EXPECT_EQ(store_.Property(item, kHiddenProperty), Variant::Bool(true));

  // A letter that becomes free later is used with the next change of the verdict; until then
  // the table's value is the verdict.
  WriteWhole(Maildir() + "/dovecot-keywords", full.substr(full.find('\n') + 1));
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(2));
  Write(item, kMailMarkerProperty, Variant::Int32(1));
  EXPECT_EQ(KeywordsOf(Maildir(), "M1.EML"), std::set<std::string>{kHamKeyword});
  EXPECT_EQ(store_.Property(item, kMailMarkerProperty), Variant::Int32(1));
  EXPECT_EQ(store_.Property(item, kHiddenProperty), Variant::Bool(true));
  Write(item, kHiddenProperty, Variant::Bool(false));
  EXPECT_EQ(store_.Property(item, kHiddenProperty), std::nullopt);

  // A mail client's label that cannot get a letter is never dropped: such a move fails whole.
  const std::string labelled = Deliver(kJunk, "M2.EML", Message("two"));
  WriteWhole(Junk() + "/dovecot-keywords", "0 Work\n");
  const std::string file = FileOf(Junk(), "M2.EML");
  fs::rename(file, Junk() + "/cur/" + fs::path(file).filename().string() + ":2,a");
  WriteWhole(Maildir() + "/dovecot-keywords", full);
  EXPECT_EQ(FailureNumber([&] {
              Open(labelled)->MoveRecord(labelled, kInbox + "/M2.EML", "", "", adMoveUnspecified,
                                         false);
            }),
            Number(StoreError::kStorageFault));
  EXPECT_EQ(KeywordsOf(Junk(), "M2.EML"), std::set<std::string>{"Work"});
  EXPECT_FALSE(store_.Exists(kInbox + "/M2.EML"));
}

}  // namespace
}  // namespace corvalith::store::maildir_test
