#include "store/maildir/maildir_names.h"

#include <gtest/gtest.h>

#include "store/maildir/maildir_control.h"

namespace corvalith::store::maildir {
namespace {

TEST(MaildirNamesTest, MailboxNamesAreModifiedUtf7BothWays) {
  struct Case {
    std::string text;
    std::string encoded;
  } cases[] = {
      {"Junk E-mail", "Junk E-mail"},
      {"Entw\xC3\xBC"
       "rfe",
       "Entw&APw-rfe"},
      {"\xE5\x8F\xB0\xE5\x8C\x97\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "&U,BTF2XlZyyKng-"},
      {"\xF0\x9F\x93\xA7 Post", "&2D3c5w- Post"},  // a surrogate pair
      {"\xC3\x84&\xC3\x96", "&AMQ-&-&ANY-"},
      {"a\tb", "a&AAk-b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoded);
    EXPECT_EQ(EncodeMailboxName(c.text), c.encoded);
    EXPECT_EQ(DecodeMailboxName(c.encoded), c.text);
  }
  EXPECT_EQ(EncodeMailboxName("\xFF"), std::nullopt);
}

TEST(MaildirNamesTest, OnlyTheCanonicalSpellingDecodes) {
  for (const char* encoded : {
           "&AGE-",               // plain ASCII encoded
           "&U,BTFw-&ZeVnLIqe-",  // one run written as two
           "&U,BTFx-",            // padding bits that are not zero
           "&AA-",                // half a code unit
           "&2D0-",               // an unpaired surrogate
           "&Jjo",                // no end
           "&Jj!-",               // not base64
           "caf\xC3\xA9",         // 8-bit text
       }) {
    SCOPED_TRACE(encoded);
    EXPECT_EQ(DecodeMailboxName(encoded), std::nullopt);
  }
}

TEST(MaildirNamesTest, FolderPathsAreMaildirPlusPlusDirectories) {
  struct Case {
    FolderPath path;
    std::string directory;
  } cases[] = {
      {{"Junk E-mail"}, ".Junk E-mail"},
      {{"Inbox", "Projects"}, ".INBOX.Projects"},
      {{"Archive", "2026", "Inbox"}, ".Archive.2026.Inbox"},
      {{"Entw\xC3\xBC"
        "rfe"},
       ".Entw&APw-rfe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory);
    EXPECT_EQ(FolderDirectory(c.path), c.directory);
    EXPECT_EQ(FolderOfDirectory(c.directory), c.path);
  }
  EXPECT_EQ(FolderDirectory({"Inbox"}), "") << "Inbox is the Maildir itself";
  const FolderPath refused[] = {
      {},        {""},      {"a.b"},
      {"INBOX"}, {"inbox"}, {"Inbox", ""},
      {"x\ny"},  {"\xFF"},  {std::string(300, 'a')},
  };
  for (const FolderPath& path : refused) {
    EXPECT_EQ(FolderDirectory(path), std::nullopt) << (path.empty() ? "" : path[0]);
  }
  for (const char* name : {".", "..", ".INBOX", ".inbox.X", ".Inbox.X", "..x", ".a..b", ".a.",
                           ".&AGE-", "cur", "dovecot-uidlist", ".x\x01y"}) {
    EXPECT_EQ(FolderOfDirectory(name), std::nullopt) << name;
  }
}

TEST(MaildirNamesTest, MessageFileNamesSplitAtTheInfoAndTheFields) {
  auto parsed = ParseMessageFileName("1234.M5P6.host,S=10,W=12:2,RSa");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->item, "1234.M5P6.host");
  EXPECT_EQ(parsed->base, "1234.M5P6.host,S=10,W=12");
  EXPECT_EQ(parsed->flags, "RSa");
  EXPECT_EQ(parsed->fields, "");
  EXPECT_TRUE(parsed->has_info);

  parsed = ParseMessageFileName("M1.EML");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->item, "M1.EML");
  EXPECT_FALSE(parsed->has_info);

  parsed = ParseMessageFileName("x:2,S,extra");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->flags, "S");
  EXPECT_EQ(parsed->fields, ",extra");

  for (const std::string& name : {std::string(".hidden"), std::string(), std::string("a:1,S"),
                                  std::string("a:2"), std::string("a:2,S1"), std::string(",S=1"),
                                  std::string("a\x01"
                                              "b"),
                                  std::string(256, 'm')}) {
    EXPECT_EQ(ParseMessageFileName(name), std::nullopt) << name;
  }
  EXPECT_EQ(MessageFileNameOf("b,S=1", SortedFlags("bSaS"), ",x", true), "b,S=1:2,Sab,x");
  EXPECT_EQ(MessageFileNameOf("b,S=1", "", "", false), "b,S=1");
}

TEST(MaildirNamesTest, ItemNamesCannotSplitAFileName) {
  EXPECT_TRUE(IsItemName("0A1B2C3D-01234-000001.EML"));
  for (const char* name : {"", ".x", "a,b", "a:b", "a/b", "a\tb"}) {
    EXPECT_FALSE(IsItemName(name)) << name;
  }
}

TEST(MaildirKeywordTableTest, ReadsAndWritesAsDovecot) {
  KeywordTable table = KeywordTable::Parse(
      "0 $Junk\n"
      "2 Work Stuff\r\n"
      "no-space\n"
      "26 TooFar\n"
      "-1 Negative\n"
      "3 \n"
      "4 Unfinished");  // no line end: Dovecot skips it
  EXPECT_EQ(table.LetterOf("$junk"), 'a') << "names compare without regard to case";
  EXPECT_EQ(table.LetterOf("Work Stuff"), 'c');
  EXPECT_EQ(table.LetterOf("Unfinished"), std::nullopt);
  EXPECT_EQ(table.NameOf('b'), std::nullopt);
  EXPECT_TRUE(table.Add("Corvalith-Spam"));
  EXPECT_EQ(table.LetterOf("Corvalith-Spam"), 'b') << "the first free letter";
  EXPECT_EQ(table.Serialize(), "0 $Junk\n1 Corvalith-Spam\n2 Work Stuff\n");
  for (int i = 3; i < kMaxKeywords; ++i) EXPECT_TRUE(table.Add("k" + std::to_string(i)));
  EXPECT_FALSE(table.Add("one too many"));
}

}  // namespace
}  // namespace corvalith::store::maildir
