#include "classifier/sender_evidence.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "classifier/features.h"
#include "classifier/header_fields.h"

namespace corvalith {
namespace {

TEST(HeaderFieldsTest, FieldsAreUnfoldedAndBounded) {
  const std::string header =
      "From: Ann <ann@example.com>\r\n"
      "Subject: first\r\n"
      "\tsecond\r\n"
      "not a field line\r\n"
      "\tcontinuation of nothing\r\n"
      "X-Empty:\r\n";
  std::vector<HeaderField> fields = ParseHeaderFields(header);
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].name, "from");
  EXPECT_EQ(fields[1].value, " first\tsecond");
  EXPECT_EQ(fields[2].name, "x-empty");
  EXPECT_EQ(fields[2].value, "");
  EXPECT_EQ(ParseHeaderFields(header, 1).size(), 1u);
  EXPECT_EQ(ParseHeaderFields("Subject: " + std::string(10000, 'x'), 8, 100)[0].value.size(), 100u);
}

TEST(HeaderFieldsTest, AddressesAndRegisteredDomains) {
  struct {
    const char* value;
    const char* domain;
    const char* local;
  } addresses[] = {
      {" Ann <Ann@Mail.Example.COM>", "mail.example.com", "Ann"},
      {" bob@example.org (Bob)", "example.org", "bob"},
      {" \"a@b\" <c@d.example>", "d.example", "c"},
      {" <200209@lists.example.net>", "lists.example.net", "200209"},
      {" undisclosed-recipients:;", "", ""},
      {"", "", ""},
  };
  for (const auto& a : addresses) {
    EXPECT_EQ(AddressDomain(a.value), a.domain) << a.value;
    EXPECT_EQ(AddressLocalPart(a.value), a.local) << a.value;
  }
  struct {
    const char* host;
    const char* registered;
  } hosts[] = {
      {"www.shop.example.com", "example.com"},
      {"Example.COM.", "example.com"},
      {"mail.example.co.uk", "example.co.uk"},
      {"example.co.uk", "example.co.uk"},
      {"a.b.example.de", "example.de"},
      {"co.uk", "co.uk"},
      {"localhost", "localhost"},
      {"10.1.2.3", "10.1.2.3"},
      {"", ""},
  };
  for (const auto& h : hosts) EXPECT_EQ(RegisteredDomain(h.host), h.registered) << h.host;
}

// The evidence phrases of a mail.
std::set<std::string> Evidence(const std::string& header, const std::string& body) {
  MailFeatures features = ExtractFeatures(header, body, FeatureOptions(), /*with_names=*/true);
  std::set<std::string> phrases;
  for (const std::string& name : features.names) {
    if (name.find(": ") != std::string::npos) phrases.insert(name);
  }
  return phrases;
}

TEST(SenderEvidenceTest, ANewsletterFromItsOwnDomain) {
  const std::string header =
      "Return-Path: <bounce-42@mail.news.example.com>\n"
      "Received: from out1.news.example.com (out1.news.example.com [192.0.2.7])\n"
      "\tby mx.recipient.example with ESMTP id 1234; Tue, 3 Sep 2002 15:02:38 -0500\n"
      "Authentication-Results: mx.recipient.example; dkim=pass header.d=news.example.com;\n"
      "\tspf=pass smtp.mailfrom=bounce-42@mail.news.example.com; dmarc=fail header.from=x\n"
      "DKIM-Signature: v=1; a=rsa-sha256; d=example.com; s=sel; h=from\n"
      "From: Example News <news@example.com>\n"
      "To: reader@recipient.example\n"
      "Message-ID: <abc@news.example.com>\n"
      "List-Unsubscribe: <mailto:leave@example.com>, <https://example.com/u?x=1>\n"
      "Date: Tue, 3 Sep 2002 13:04:31 -0800\n"
      "Subject: This week's news\n";
  const std::string body =
      "<html><body>News <a href=\"https://www.example.com/a\">more</a></body></html>";
  std::set<std::string> e = Evidence(header, body);
  for (const char* expected : {
           "sender: local part shaped a",
           "sender: from domain same as return-path",
           "sender: from domain same as message-id",
           "sender: unsubscribe at the from domain",
           "sender: from domain among the relays",
           "relay: 1 received fields",
           "auth: dkim=pass",
           "auth: dkim pass for the from domain",
           "auth: spf pass for the from domain",
           "auth: dmarc=fail",
           "auth: signed by the from domain",
           "links: to 1 domains",
           "links: all to the from domain",
           "recipients: 1",
       }) {
    EXPECT_TRUE(e.count(expected)) << expected;
  }
  EXPECT_FALSE(e.count("sender: no display name"));
  EXPECT_FALSE(e.count("header: no message-id"));
  EXPECT_FALSE(e.count("header: date in an impossible zone"));
}

TEST(SenderEvidenceTest, BulkMailThatNamesOneDomainAndLinksToAnother) {
  const std::string header =
      "Return-Path: <x9@other.example>\n"
      "Received: from relay.third.example ([198.51.100.1]) by mx.example with SMTP\n"
      "Received: from unknown (HELO 10.0.0.1) by relay.third.example with SMTP\n"
      "Authentication-Results: mx.example; spf=softfail smtp.mailfrom=other.example;"
      " dkim=pass header.d=third.example; weird=pass\n"
      "Received-SPF: SoftFail (mx.example: domain of transitioning x9@other.example)\n"
      "From: suz0123893616943@free.example\n"
      "To: a@one.example, b@two.example, c@three.example, d@four.example\n"
      "Date: Sat, 24 Aug 2002 01:10:39 -1900\n"
      "Subject: MULTIPLY YOUR CUSTOMER BASE\n";
  const std::string body =
      "<html><a href=\"http://shop.pills.example/\">buy</a> <a href=\"http://10.1.1.1/\">x</a>"
      "</html>";
  std::set<std::string> e = Evidence(header, body);
  for (const char* expected : {
           "sender: local part shaped a9+",
           "sender: no display name",
           "sender: from domain differs from return-path",
           "sender: from domain not among the relays",
           "relay: 2-3 received fields",
           "auth: spf=softfail",
           "auth: dkim pass for another domain",
           "auth: received-spf softfail",
           "links: to 2-3 domains",
           "links: none to the from domain",
           "recipients: 4-9",
           "header: no message-id",
           "header: date in an impossible zone",
           "subject: mostly capitals",
       }) {
    EXPECT_TRUE(e.count(expected)) << expected;
  }
  // Methods the engine does not know give no evidence.
  for (const std::string& phrase : e) EXPECT_EQ(phrase.find("weird"), std::string::npos);
}

TEST(SenderEvidenceTest, CrowdedFieldsStillGiveTheirEvidence) {
  // Fields full of brackets, addresses and clauses, up to the 4 KiB a field is read.
  std::string brackets, clauses;
  for (int i = 0; i < 180; ++i) brackets += "<<mailto:a@b.example>";
  for (int i = 0; i < 110; ++i) clauses += "dkim=pass header.d=x.example; d=";
  std::set<std::string> e = Evidence(
      "From: a@b.example\nList-Unsubscribe: " + brackets + "\nAuthentication-Results: " + clauses +
          "\nDKIM-Signature: " + clauses + "\nReceived: from " + std::string(100000, 'a') + "\n",
      "");
  EXPECT_TRUE(e.count("sender: unsubscribe at the from domain"));
  EXPECT_TRUE(e.count("auth: dkim pass for another domain"));
}

TEST(SenderEvidenceTest, NoSenderNoLinks) {
  std::set<std::string> e = Evidence("Subject: hi\n", "just text");
  EXPECT_TRUE(e.count("sender: no from address"));
  EXPECT_TRUE(e.count("links: none"));
  EXPECT_TRUE(e.count("relay: 0 received fields"));
  EXPECT_TRUE(e.count("recipients: 0"));
  EXPECT_TRUE(e.count("header: no date"));
}

TEST(FeatureNamesTest, NamesSayWhereAFeatureCameFrom) {
  MailFeatures f = ExtractFeatures(
      "Subject: Viagra now\n", "<html>Cheap <a href='http://www.example.com/x'>pills</a></html>",
      FeatureOptions(), /*with_names=*/true);
  std::set<std::string> names(f.names.begin(), f.names.end());
  for (const char* expected :
       {"prior", "header field subject", "subject:viagra", "word cheap", "html tag a",
        "link host www.example.com", "link host example.com"}) {
    EXPECT_TRUE(names.count(expected)) << expected;
  }
  // The header's features come first.
  for (size_t i = 0; i < f.header_count; ++i) EXPECT_NE(f.names[i].rfind("word ", 0), 0u);
}

}  // namespace
}  // namespace corvalith
