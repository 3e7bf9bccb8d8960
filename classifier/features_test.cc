#include "classifier/features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "classifier/model.h"

namespace corvalith {
namespace {

// Tokens, words, tags and hosts only: the sender evidence has tests of its own.
std::set<uint64_t> FeatureSet(std::string_view header, std::string_view body) {
  FeatureOptions options;
  options.sender_evidence = false;
  std::vector<uint64_t> f = ExtractFeatures(header, body, options).hashes;
  return std::set<uint64_t>(f.begin(), f.end());
}

TEST(FeaturesTest, HostileInputStaysBounded) {
  std::string binary;
  for (int i = 0; i < 300000; ++i) binary.push_back(static_cast<char>((i * 7919) & 0xFF));
  std::string nested = "<html><body>";
  for (int i = 0; i < 200000; ++i) nested += "<div><b>";
  nested += "deep";
  struct Case {
    const char* name;
    std::string header, body;
  } cases[] = {
      {"empty", "", ""},
      {"binary body", "", binary},
      {"binary header", binary, ""},
      {"megabyte line", "Subject: " + std::string(1 << 20, 'x') + "\n", std::string(1 << 20, 'a')},
      {"megabyte of words", "",
       [] {
         std::string s;
         for (int i = 0; s.size() < (1 << 20); ++i) s += "word" + std::to_string(i) + " ";
         return s;
       }()},
      {"deeply nested html", "", nested},
      {"unterminated tag", "", "<html><a href=\"http://x.example/" + std::string(1 << 20, 'q')},
      {"unterminated comment", "", "<html><!-- " + std::string(1 << 20, '-')},
      {"unterminated script", "", "<html><script>" + std::string(1 << 20, 'y')},
      {"entity flood", "",
       "<html>" +
           [] {
             std::string s;
             for (int i = 0; i < 100000; ++i) s += "&#99999999999;&amp&#x;&";
             return s;
           }()},
      {"folded header only", "\t\t\n \n\t" + std::string(100000, ' '), ""},
  };
  const FeatureOptions options;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailFeatures f = ExtractFeatures(c.header, c.body, options);
    EXPECT_GE(f.hashes.size(), 1u);  // the bias is always there
    EXPECT_LE(f.hashes.size(), options.max_features);
    EXPECT_LE(f.header_count, f.hashes.size());
    EXPECT_EQ(f.hashes, ExtractFeatures(c.header, c.body, options).hashes);  // deterministic
    // The explain path names every feature and finds the same ones.
    MailFeatures named = ExtractFeatures(c.header, c.body, options, /*with_names=*/true);
    EXPECT_EQ(named.hashes, f.hashes);
    EXPECT_EQ(named.names.size(), f.hashes.size());
  }
}

TEST(FeaturesTest, FeatureCapHolds) {
  FeatureOptions options;
  options.max_features = 50;
  std::string body;
  for (int i = 0; i < 1000; ++i) body += "w" + std::to_string(i) + " ";
  EXPECT_EQ(ExtractFeatures("Subject: a b c\n", body, options).hashes.size(), 50u);
}

TEST(FeaturesTest, HeaderTokensCarryTheFieldName) {
  // The same word is different evidence in the subject, in another field and in the body.
  auto subject = FeatureSet("Subject: mortgage\n", "");
  auto other = FeatureSet("X-Note: mortgage\n", "");
  auto body = FeatureSet("", "mortgage");
  std::vector<uint64_t> common;
  std::set_intersection(subject.begin(), subject.end(), body.begin(), body.end(),
                        std::back_inserter(common));
  EXPECT_EQ(common.size(), 1u);  // only the bias
  EXPECT_NE(subject, other);
  // Field names compare case-insensitively and folded lines continue their field.
  EXPECT_EQ(FeatureSet("SUBJECT: Mortgage\n", ""), subject);
  EXPECT_EQ(FeatureSet("Subject:\r\n\tmortgage\r\n", ""), subject);
}

TEST(FeaturesTest, WhenAMailWasWrittenIsNoEvidence) {
  const std::string header =
      "Received: from relay.example.org by mx.example.net; Tue, 3 Sep 2002 10:00:00 +0100\n"
      "Date: Tue, 3 Sep 2002 09:59:58 +0100\nDelivery-Date: Tue, 3 Sep 2002 10:00:01 +0100\n";
  const MailFeatures f = ExtractFeatures(header, "", FeatureOptions(), /*with_names=*/true);
  const std::set<std::string> names(f.names.begin(), f.names.end());
  EXPECT_TRUE(names.count("received:relay.example.org"));
  EXPECT_TRUE(names.count("header field date"));
  for (const std::string& name : names) {
    EXPECT_EQ(name.find("2002"), std::string::npos) << name;
    EXPECT_EQ(name.find("sep"), std::string::npos) << name;
    EXPECT_NE(name.rfind("date:", 0), 0u) << name;
  }
  // The same mail a day later is the same evidence.
  EXPECT_EQ(FeatureSet(header, ""), FeatureSet("Received: from relay.example.org by "
                                               "mx.example.net; Wed, 4 Sep 2002 10:00:00 +0100\n"
                                               "Date: Wed, 4 Sep 2002 09:59:58 +0100\n"
                                               "Delivery-Date: Wed, 4 Sep 2002 10:00:01 +0100\n",
                                               ""));
}

TEST(FeaturesTest, WordsAreCaseFoldedAndTrimmed) {
  EXPECT_EQ(FeatureSet("", "FREE money!!"), FeatureSet("", "free money"));
  EXPECT_EQ(FeatureSet("", "(hello), 'world'."), FeatureSet("", "hello world"));
  // A token longer than the limit (base64 left in a body, say) is no feature at all.
  EXPECT_EQ(FeatureSet("", std::string(kMaxTokenBytes + 1, 'z')), FeatureSet("", ""));
}

TEST(FeaturesTest, HtmlBodyGivesTextTagsAndLinkHosts) {
  const std::string html =
      "<html><body><p>Cheap <b>pills</b></p>"
      "<a href=\"http://shop.pills.example/buy\">here</a></body></html>";
  auto features = FeatureSet("", html);
  // The words of the text are the same features as in plain text...
  for (uint64_t f : FeatureSet("", "cheap pills here")) EXPECT_TRUE(features.count(f));
  // ...and the link's host and its parent domain are evidence of their own.
  auto with_host = FeatureSet("", "<html><a href='http://shop.pills.example/'>x</a>");
  auto other_host = FeatureSet("", "<html><a href='http://shop.other.example/'>x</a>");
  EXPECT_NE(with_host, other_host);
}

TEST(FeaturesTest, TextUrlsAfterManyDecoysAreFound) {
  // Tens of thousands of "http" and "www" that start no URL, then one URL of each kind: the
  // search for each word picks up where it stopped, and still reaches both.
  std::string text;
  while (text.size() < 45000) text += "http www HTTP: www ";
  text += "www.a.example and Http://b.example/x";
  FeatureOptions options;
  options.sender_evidence = false;
  MailFeatures f = ExtractFeatures("", text, options, /*with_names=*/true);
  std::vector<std::string> hosts;
  for (const std::string& name : f.names) {
    if (name.starts_with("link host ")) hosts.push_back(name);
  }
  EXPECT_EQ(hosts, (std::vector<std::string>{"link host www.a.example", "link host a.example",
                                             "link host b.example"}));
}

TEST(HtmlToTextTest, Table) {
  struct Case {
    const char* html;
    const char* text;
  } cases[] = {
      {"a &amp; b", "a & b"},
      {"&lt;tag&gt; &quot;q&quot;", "<tag> \"q\""},
      {"&#65;&#x42;&#X43;", "ABC"},
      {"&#233;", "\xC3\xA9"},
      {"&#8364;", "\xE2\x82\xAC"},
      {"&#0; &#xD800; &#99999999;", "     "},
      {"&bogus; &", "&bogus; &"},
      {"x<br>y", "x y"},
      {"a < b", "a < b"},
      {"<p class=\"a>b\">t</p>", " t "},
      {"x<!-- hidden <b>words</b> -->y", "x y"},
      {"<script>var spam='words';</script>t", "  t"},
      {"<STYLE>p{}</STYLE>t", "  t"},
      {"<unclosed attr=\"", " "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HtmlToText(c.html, 1 << 20, nullptr, nullptr), c.text) << c.html;
  }
}

TEST(HtmlToTextTest, CollectsTagsAndHosts) {
  std::vector<std::string> tags, hosts;
  HtmlToText(
      "<HTML><A HREF=\"http://a.example/x\">1</A><img src=http://B.Example:8080/p.gif>"
      "<a href='mailto:x@y.example'>m</a><form action=\"https://user@c.example/go\">"
      "<a href=\"http://d.example/?a=1&amp;b=2\">",
      1 << 20, &tags, &hosts);
  EXPECT_EQ(tags, (std::vector<std::string>{"html", "a", "img", "a", "form", "a"}));
  EXPECT_EQ(hosts, (std::vector<std::string>{"a.example", "b.example", "c.example", "d.example"}));
}

TEST(UrlHostTest, Table) {
  struct Case {
    const char* url;
    const char* host;
  } cases[] = {
      {"http://www.example.com/path", "www.example.com"},
      {"HTTPS://User:Pw@Mail.Example.COM:443/x?y", "mail.example.com"},
      {"www.example.org.", "www.example.org"},
      {"ftp://files.example.net", "files.example.net"},
      {"http://10.0.0.1/", "10.0.0.1"},
      {"mailto:someone@example.com", ""},
      {"javascript:alert(1)", ""},
      {"http://", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlHost(c.url), c.host) << c.url;
}

TEST(ModelTest, GainMovesTheScoreByItselfAndUndoesExactly) {
  std::vector<float> table(1 << 12, 0.0f);
  ModelOptions options;
  MailVector mail = Vectorize(ExtractFeatures("Subject: hello there\n", "some words here"), 12,
                              options.header_share);
  ASSERT_GT(mail.slots.size(), 3u);
  table[mail.slots[0]] = 0.25f;  // weights from earlier mail
  const std::vector<float> before = table;
  const double score = MailScore(mail, table.data());
  const double gain = TrainingGain(score, /*spam=*/true, options);
  EXPECT_GT(gain, 0);
  ApplyGain(mail, gain, table.data());
  EXPECT_NEAR(MailScore(mail, table.data()), score + gain, 1e-5);
  EXPECT_GE(MailScore(mail, table.data()) - options.spam_threshold, 0);
  ApplyGain(mail, -gain, table.data());
  for (size_t i = 0; i < table.size(); ++i) EXPECT_NEAR(table[i], before[i], 1e-6);
  // Beyond the margin there is nothing to train.
  EXPECT_EQ(TrainingGain(options.spam_threshold + options.train_margin + 1, true, options), 0);
  EXPECT_EQ(TrainingGain(options.spam_threshold - options.ham_margin - 1, false, options), 0);
}

TEST(ModelTest, HeaderAndBodyEachHaveTheirShareOfTheLength) {
  const double share = ModelOptions().header_share;
  std::string long_body;
  for (int i = 0; i < 500; ++i) long_body += "word" + std::to_string(i) + " ";
  for (const std::string& body : {std::string("short body"), long_body}) {
    MailFeatures f = ExtractFeatures("From: a@example.com\nSubject: hello\n", body);
    MailVector v = Vectorize(f, 18, share);
    ASSERT_EQ(v.slots.size(), v.values.size());
    EXPECT_TRUE(std::is_sorted(v.slots.begin(), v.slots.end()));
    EXPECT_EQ(std::adjacent_find(v.slots.begin(), v.slots.end()), v.slots.end());
    // The header's features keep their share whatever the body's length.
    std::set<uint32_t> header_slots;
    for (size_t i = 0; i < f.header_count; ++i) header_slots.insert(f.hashes[i] >> (64 - 18));
    double header = 0, total = 0;
    for (size_t i = 0; i < v.slots.size(); ++i) {
      total += double{v.values[i]} * v.values[i];
      if (header_slots.count(v.slots[i])) header += double{v.values[i]} * v.values[i];
    }
    EXPECT_NEAR(total, 1.0, 1e-5);
    EXPECT_NEAR(header, share, 1e-5);
  }
  // A mail without a body: the header has the whole length.
  MailVector header_only = Vectorize(ExtractFeatures("Subject: hello\n", ""), 18, share);
  double total = 0;
  for (float value : header_only.values) total += double{value} * value;
  EXPECT_NEAR(total, 1.0, 1e-5);
}

TEST(ModelTest, SiteTrainsOnItsOwnVerdictAndKeepsWhatItHoldsFirmly) {
  ModelOptions o;
  // On its own verdict, and only where the sum's verdict agrees: neither a user's model that
  // calls spam ham nor one that knows more than a young site teaches the site a class.
  EXPECT_GT(SiteSelfTrainingGain(o.spam_threshold + 0.5, true, o), 0);
  EXPECT_LT(SiteSelfTrainingGain(o.spam_threshold - 0.5, false, o), 0);
  EXPECT_EQ(SiteSelfTrainingGain(o.spam_threshold + 0.5, false, o), 0);
  EXPECT_EQ(SiteSelfTrainingGain(o.spam_threshold - 0.5, true, o), 0);
  EXPECT_EQ(SiteSelfTrainingGain(o.spam_threshold + o.train_margin + 0.1, true, o), 0);
  // A user's teaching moves the site only where it does not hold the other class firmly.
  EXPECT_FALSE(SiteVetoes(o.spam_threshold + o.train_margin - 0.1, false, o));
  EXPECT_TRUE(SiteVetoes(o.spam_threshold + o.train_margin + 0.1, false, o));
  EXPECT_FALSE(SiteVetoes(o.spam_threshold - o.ham_margin + 0.1, true, o));
  EXPECT_TRUE(SiteVetoes(o.spam_threshold - o.ham_margin - 0.1, true, o));
}

TEST(ModelTest, NoSpamVerdictWithoutEvidence) {
  ModelOptions options;
  EXPECT_FALSE(IsSpam(0.0, 0, 0, options));     // an empty table scores zero
  EXPECT_FALSE(IsSpam(100.0, 10, 0, options));  // no spam known yet
  EXPECT_TRUE(IsSpam(100.0, 10, 10, options));
  EXPECT_FALSE(IsSpam(options.spam_threshold, 10, 10, options));
}

TEST(ModelTest, DigestSeparatesHeaderFromBody) {
  EXPECT_NE(MailDigest("ab", "c"), MailDigest("a", "bc"));
  EXPECT_NE(MailDigest("", "x"), MailDigest("x", ""));
  EXPECT_EQ(MailDigest("h", "b"), MailDigest("h", "b"));
}

}  // namespace
}  // namespace corvalith
