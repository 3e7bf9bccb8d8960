#include "store/message_import.h"

#include <glib.h>
#include <gtest/gtest.h>

#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "store/memory/memory_store.h"
#include "store/sqlite/sqlite_store.h"
#include "store/store_test_util.h"

namespace corvalith::store {
namespace {

using std::nullopt;
using std::optional;
using std::string;

bool IsUtf8(const optional<string>& text) {
  return !text || g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr);
}

TEST(DeriveMessageTest, HeadersAndBodies) {
  struct Case {
    const char* what;
    string raw;
    optional<string> from, subject, header_block, plain, html;
  } cases[] = {
      {"plain message, CRLF", "From: Alice <a@x.org>\r\nSubject: Hi\r\n\r\nHello\r\n",
       "Alice <a@x.org>", "Hi", "From: Alice <a@x.org>\r\nSubject: Hi\r\n", "Hello\r\n", nullopt},
      {"encoded words, folded, LF",
       "From: =?iso-8859-1?Q?Andr=E9?= <a@x.org>\n"
       "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\n =?UTF-8?Q?_aus_K=C3=B6ln?=\n\nbody\n",
       "Andr\xC3\xA9 <a@x.org>",
       "Gr\xC3\xBC\xC3\x9F"
       "e aus K\xC3\xB6ln",
       "From: =?iso-8859-1?Q?Andr=E9?= <a@x.org>\n"
       "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\n =?UTF-8?Q?_aus_K=C3=B6ln?=\n",
       "body\n", nullopt},
      {"plain folding keeps the blank, names ignore case, first From wins",
       "FROM: first@x.org\r\nsubject: a long\r\n\tline\r\nFrom: second@x.org\r\n\r\n",
       "first@x.org", "a long\tline",
       "FROM: first@x.org\r\nsubject: a long\r\n\tline\r\nFrom: second@x.org\r\n", "", nullopt},
      {"alternative: QP latin-1 text, base64 UTF-8 HTML",
       "From: a@x.org\r\nContent-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
       "--b1\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n\r\nCaf=E9 =\r\nau lait\r\n"
       "--b1\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n"
       "\r\nPGI+Q2Fmw6k8L2I+\r\n--b1--\r\n",
       "a@x.org", nullopt,
       "From: a@x.org\r\nContent-Type: multipart/alternative; boundary=\"b1\"\r\n",
       "Caf\xC3\xA9 au lait", "<b>Caf\xC3\xA9</b>"},
      {"mixed with nested alternative: attachments skipped, first parts win",
       "Content-Type: multipart/mixed; boundary=outer\n\n"
       "--outer\nContent-Type: text/plain\nContent-Disposition: attachment; filename=a.txt\n\n"
       "attached\n"
       "--outer\nContent-Type: multipart/alternative; boundary=inner\n\n"
       "--inner\nContent-Type: text/html\n\n<p>first</p>\n"
       "--inner\nContent-Type: text/plain\n\nfirst plain\n"
       "--inner--\n"
       "--outer\nContent-Type: text/plain\n\nsecond plain\n"
       "--outer--\n",
       nullopt, nullopt, "Content-Type: multipart/mixed; boundary=outer\n", "first plain",
       "<p>first</p>"},
      {"a boundary that never occurs leaves the text as the body",
       "Content-Type: multipart/alternative; boundary=\"=B 1\"\n\n--= B 1\n"
       "Content-Type: text/plain\n\nBuy now\n--= B 1--\n",
       nullopt, nullopt, "Content-Type: multipart/alternative; boundary=\"=B 1\"\n",
       "--= B 1\nContent-Type: text/plain\n\nBuy now\n--= B 1--\n", nullopt},
      {"a forwarded message is no body",
       "Content-Type: multipart/mixed; boundary=m\n\n"
       "--m\nContent-Type: message/rfc822\n\nSubject: inner\n\ninner body\n--m--\n",
       nullopt, nullopt, "Content-Type: multipart/mixed; boundary=m\n", nullopt, nullopt},
      {"wrong charset falls back to latin-1",
       "Content-Type: text/plain; charset=utf-8\n\nna\xEFve\n", nullopt, nullopt,
       "Content-Type: text/plain; charset=utf-8\n", "na\xC3\xAFve\n", nullopt},
      {"unknown charset falls back to latin-1",
       "Content-Type: text/plain; charset=x-no-such\n\n\xA9\n", nullopt, nullopt,
       "Content-Type: text/plain; charset=x-no-such\n", "\xC2\xA9\n", nullopt},
      {"undeclared 8-bit UTF-8 stays", "Subject: caf\xC3\xA9\n\ncaf\xC3\xA9\n", nullopt,
       "caf\xC3\xA9", "Subject: caf\xC3\xA9\n", "caf\xC3\xA9\n", nullopt},
      {"undeclared 8-bit latin-1 header", "From: Ren\xE9 <r@x.org>\n\n", "Ren\xC3\xA9 <r@x.org>",
       nullopt, "From: Ren\xE9 <r@x.org>\n", "", nullopt},
      {"headers only, no empty line", "From: a@x.org\nSubject: s", "a@x.org", "s",
       "From: a@x.org\nSubject: s", "", nullopt},
      {"no headers: all body", "\r\njust text\r\n", nullopt, nullopt, "", "just text\r\n", nullopt},
      {"NULs are dropped from text", string("\na\0b", 4), nullopt, nullopt, "", "ab", nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DerivedMessage derived = DeriveMessage(c.raw, Origin::kExternal);
    EXPECT_EQ(derived.from, c.from);
    EXPECT_EQ(derived.subject, c.subject);
    EXPECT_EQ(derived.header_block, c.header_block);
    EXPECT_EQ(derived.plain_body, c.plain);
    EXPECT_EQ(derived.html_body, c.html);
    EXPECT_EQ(derived.address_type, "SMTP");
    DerivedMessage internal = DeriveMessage(c.raw, Origin::kInternal);
    EXPECT_EQ(internal.header_block, nullopt);
    EXPECT_EQ(internal.address_type, "EX");
    EXPECT_EQ(internal.plain_body, derived.plain_body);
  }
}

TEST(DeriveMessageTest, MalformedMessagesFinishWithValidText) {
  string junk;
  for (int i = 0; i < 100000; ++i) junk += static_cast<char>((i * 7919) % 256);
  string deep = "Subject: deep\n";
  for (int i = 0; i < 3000; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" +
            std::to_string(i) + "\n";
  }
  deep += "Content-Type: text/plain\n\ninnermost\n";
  struct Case {
    const char* what;
    string raw;
  } cases[] = {
      {"empty", ""},
      {"binary junk", junk},
      {"junk after headers", "From: a@x.org\n\n" + junk},
      {"multipart without boundary", "Content-Type: multipart/mixed\n\n--x\n\nbody\n"},
      {"unterminated multipart",
       "Content-Type: multipart/alternative; boundary=q\n\n--q\nContent-Type: text/plain\n\nhi"},
      {"broken encodings",
       "Content-Type: text/plain; charset=\"\nContent-Transfer-Encoding: base64\n\n!!!*&^\n"},
      {"huge line", "Subject: " + string(3 << 20, 'x') + "\n\n" + string(3 << 20, 'y')},
      {"deep nesting", deep},
      {"broken encoded word", "From: =?utf-8?B?////?= =?bogus?Q?=FF?=\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DerivedMessage derived = DeriveMessage(c.raw, Origin::kExternal);
    EXPECT_TRUE(IsUtf8(derived.from));
    EXPECT_TRUE(IsUtf8(derived.subject));
    EXPECT_TRUE(IsUtf8(derived.plain_body));
    EXPECT_TRUE(IsUtf8(derived.html_body));
  }
  EXPECT_EQ(DeriveMessage(deep, Origin::kExternal).subject, "deep");
}

const string kRoot = "file://./backofficestorage/example.com/MBX/alice";

TEST(MessageImportTest, CreateMailboxIsIdempotentOnBothStores) {
  testing::MemoryFileSystem files;
  testing::TempDirectory dir{"corvalith-mailbox"};
  MemoryStore memory(files);
  SqliteStore sqlite(dir.File("store.db"), files);
  const std::vector<string> expected = {kRoot + "/Deleted Items", kRoot + "/Inbox",
                                        kRoot + "/Junk E-mail", kRoot + "/Sent Items"};
  auto check = [&](auto& store) {
    auto connection = store.Connect();
    CreateMailbox(*connection, "example.com", "alice");
    EXPECT_EQ(store.Children(kRoot), expected);
    EXPECT_EQ(store.Property(kRoot, kDeletedItemsProperty),
              Variant::String(kRoot + "/Deleted Items"));
    store.CreateFolder(kRoot + "/Spambox");
    store.PutItem(kRoot + "/Inbox/M.EML", {}, "kept");
    CreateMailbox(*connection, "example.com", "alice");
    EXPECT_EQ(store.Children(kRoot).size(), expected.size() + 1);
    EXPECT_EQ(store.Content(kRoot + "/Inbox/M.EML"), "kept");
  };
  check(memory);
  check(sqlite);
  EXPECT_EQ(sqlite.Mailboxes(), std::vector<string>{kRoot});
}

TEST(MessageImportTest, ImportStoresRawBytesAndReplacesDerivedProperties) {
  testing::MemoryFileSystem files;
  MemoryStore store(files);
  auto connection = store.Connect();
  CreateMailbox(*connection, "example.com", "alice");
  const string item = kRoot + "/Inbox/M1.EML";
  const string rich =
      "From: a@x.org\r\nSubject: one\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n";
  ImportMessage(*connection, item, rich, Origin::kExternal);
  EXPECT_EQ(store.Content(item), rich);
  EXPECT_EQ(store.Property(item, kFromProperty), Variant::String("a@x.org"));
  EXPECT_EQ(store.Property(item, kSubjectProperty), Variant::String("one"));
  EXPECT_EQ(store.Property(item, kHtmlBodyProperty), Variant::String("<p>x</p>\r\n"));
  EXPECT_EQ(store.Property(item, kAddressTypeProperty), Variant::String("SMTP"));
  EXPECT_EQ(store.Property(item, kHeaderBlockProperty),
            Variant::String("From: a@x.org\r\nSubject: one\r\nContent-Type: text/html\r\n"));

  const string internal = "Subject: two\r\n\r\nplain\r\n";
  ImportMessage(*connection, item, internal, Origin::kInternal);
  EXPECT_EQ(store.Content(item), internal);
  EXPECT_EQ(store.Property(item, kPlainBodyProperty), Variant::String("plain\r\n"));
  EXPECT_EQ(store.Property(item, kAddressTypeProperty), Variant::String("EX"));
  for (const string& gone :
       {string(kFromProperty), string(kHtmlBodyProperty), string(kHeaderBlockProperty)}) {
    EXPECT_FALSE(store.Property(item, gone).has_value()) << gone;
  }
  EXPECT_EQ(FailureNumber([&] {
              ImportMessage(*connection, kRoot + "/Nowhere/M.EML", internal, Origin::kInternal);
            }),
            Number(StoreError::kParentMissing));
}

}  // namespace
}  // namespace corvalith::store
