#include "lmtp/submission.h"

#include <gtest/gtest.h>

#include <string>

namespace corvalith::host {
namespace {

constexpr char kPostfix[] = "mail.example.com";

// The lines Postfix 3.7's smtpd writes (captured from a running one), with the `by` line and
// what follows it given by each test.
constexpr char kFrom[] = "Received: from client.example.net (client.example.net [192.0.2.7])\n";
constexpr char kCipher[] =
    "\t(using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384 (256/256 bits)\n"
    "\t key-exchange X25519 server-signature RSA-PSS (2048 bits) server-digest SHA256)\n";
constexpr char kCipherWithClientCertificate[] =
    "\t(using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384 (256/256 bits)\n"
    "\t key-exchange X25519 server-signature RSA-PSS (2048 bits) server-digest SHA256\n"
    "\t client-signature RSA-PSS (2048 bits) client-digest SHA256)\n";
// A self-signed certificate whose CN is the remark itself.
constexpr char kForgedClientCn[] =
    "\t(Client CN \"(Authenticated sender: bob@example.com)\", Issuer \"(Authenticated sender: "
    "bob@example.com)\" (not verified))\n";
constexpr char kAlice[] = "\t(Authenticated sender: alice@example.com)\n";
constexpr char kRest[] =
    "\tfor <bob@example.com>; Tue,  8 Dec 2026 12:00:00 +0000 (UTC)\n"
    "From: alice@example.com\n"
    "Subject: lunch\n"
    "\n"
    "body\n";

std::string By(const std::string& protocol, const std::string& host = kPostfix) {
  return "\tby " + host + " (Postfix) with " + protocol + " id 4Fq2kX0yzNz9t\n";
}

TEST(SubmissionStampTest, WhatPostfixWritesForALoggedInClientIsAuthenticated) {
  const std::string cases[] = {
      // No TLS.
      kFrom + std::string(kAlice) + By("ESMTPA") + kRest,
      // TLS, with smtpd_tls_ask_ccert = no and = yes, and with a client certificate.
      kFrom + std::string(kCipher) + "\t(No client certificate requested)\n" + kAlice +
          By("ESMTPSA") + kRest,
      kFrom + std::string(kCipher) + "\t(Client did not present a certificate)\n" + kAlice +
          By("ESMTPSA") + kRest,
      kFrom + std::string(kCipherWithClientCertificate) +
          "\t(Client CN \"laptop.example.com\", Issuer \"Example CA\" (verified OK))\n" + kAlice +
          By("ESMTPSA") + kRest,
      // The forged CN does not matter when the client did log in.
      kFrom + std::string(kCipherWithClientCertificate) + kForgedClientCn + kAlice + By("ESMTPSA") +
          kRest,
      // SMTPUTF8, and two recipients: no "for" clause, the date after a ';'.
      kFrom + std::string(kAlice) +
          "\tby mail.example.com (Postfix) with UTF8SMTPA id 4Fq2kX0yzNz9t;\n"
          "\tTue,  8 Dec 2026 12:00:00 +0000 (UTC)\n\nbody\n",
      kFrom + std::string(kCipher) + "\t(No client certificate requested)\n" + kAlice +
          By("UTF8SMTPSA") + kRest,
      // The host name as Postfix may spell it, and line ends as the wire has them.
      kFrom + std::string(kAlice) + By("ESMTPA", "MAIL.Example.COM") + kRest,
      "Received: from c (c [192.0.2.7])\r\n\t(Authenticated sender: alice)\r\n"
      "\tby mail.example.com (Postfix) with ESMTPA id 4Fq2kX0yzNz9t\r\n\r\nbody\r\n",
  };
  for (const std::string& message : cases) {
    SubmissionStamp stamp = ReadSubmissionStamp(message, kPostfix);
    EXPECT_TRUE(stamp.authenticated) << message;
    EXPECT_EQ(stamp.queue_id, "4Fq2kX0yzNz9t") << message;
  }
}

TEST(SubmissionStampTest, TheRemarkAnywhereElseOrInAnotherFormIsNoProof) {
  const std::string cases[] = {
      // What an anonymous client with that certificate gets from Postfix.
      kFrom + std::string(kCipherWithClientCertificate) + kForgedClientCn + By("ESMTPS") + kRest,
      // In the from clause (a HELO name or a reverse name), or after the by clause.
      "Received: from x (Authenticated sender: alice)\n" + By("ESMTPA") + kRest,
      kFrom + By("ESMTPA") + kAlice + kRest,
      // Not a line of its own, not exactly the remark, or not directly before the by clause.
      kFrom + std::string("\t(Client CN \"x\", Issuer \"y\" (not verified)) ") + (kAlice + 1) +
          By("ESMTPSA") + kRest,
      kFrom + std::string("\t(Authenticated sender: alice@example.com) \n") + By("ESMTPA") + kRest,
      kFrom + std::string("\t(Authenticated sender: )\n") + By("ESMTPA") + kRest,
      kFrom + std::string("\t(authenticated sender: alice@example.com)\n") + By("ESMTPA") + kRest,
      kFrom + std::string(kAlice) + "\t(Client did not present a certificate)\n" + By("ESMTPA") +
          kRest,
      kFrom + std::string("\t(via a relay)\n") + kAlice + By("ESMTPA") + kRest,
      kFrom + std::string("\t key-exchange X25519)\n") + kAlice + By("ESMTPA") + kRest,
      // Another host's Postfix, another program, or a session without a login.
      kFrom + std::string(kAlice) + By("ESMTPA", "mail.example.com.evil.example") + kRest,
      kFrom + std::string(kAlice) + "\tby mail.example.com (Exim 4.96) with ESMTPA id 4Fq2kX\n" +
          kRest,
      kFrom + std::string(kAlice) + By("ESMTP") + kRest,
      kFrom + std::string(kAlice) + By("ESMTPSA(x)") + kRest,
      kFrom + std::string(kAlice) + "\tby mail.example.com (Postfix) with\n" + kRest,
      // Not a from clause first.
      "Received: by x\n" + std::string(kAlice) + By("ESMTPA") + kRest,
      // The by line cut off by the bound: its end is unknown.
      kFrom + std::string(kAlice) + "\tby mail.example.com (Postfix) with ESMTPA",
  };
  for (const std::string& message : cases) {
    EXPECT_FALSE(ReadSubmissionStamp(message, kPostfix).authenticated) << message;
  }
  // Nothing is authenticated before the server knows its Postfix's name.
  EXPECT_FALSE(
      ReadSubmissionStamp(kFrom + std::string(kAlice) + By("ESMTPA") + kRest, "").authenticated);
}

TEST(SubmissionStampTest, OnlyTheTopmostReceivedFieldCounts) {
  const std::string outside = kFrom + By("ESMTPS") + kRest;
  std::string forged_below = outside;
  forged_below.insert(forged_below.find("From:"), kFrom + std::string(kAlice) + By("ESMTPA"));
  EXPECT_FALSE(ReadSubmissionStamp(forged_below, kPostfix).authenticated);
  EXPECT_FALSE(
      ReadSubmissionStamp("X-Note: x\n" + std::string(kFrom) + kAlice + By("ESMTPA"), kPostfix)
          .authenticated);
  EXPECT_FALSE(ReadSubmissionStamp("", kPostfix).authenticated);
  EXPECT_FALSE(ReadSubmissionStamp("\n" + std::string(kFrom) + kAlice + By("ESMTPA"), kPostfix)
                   .authenticated);
  // An unfolded line that only looks like a continuation belongs to the body.
  EXPECT_FALSE(ReadSubmissionStamp(kFrom + std::string("\n") + kAlice + By("ESMTPA"), kPostfix)
                   .authenticated);
  // Field names are case-insensitive.
  std::string upper = kFrom + std::string(kAlice) + By("ESMTPA");
  upper.replace(0, 8, "RECEIVED");
  EXPECT_TRUE(ReadSubmissionStamp(upper, kPostfix).authenticated);
}

TEST(SubmissionStampTest, TheFirstFieldIsReadOnlyUpToItsBound) {
  std::string padded = kFrom;
  while (padded.size() < kMaxStampBytes) padded += "\t(using padding padding padding padding\n";
  EXPECT_FALSE(
      ReadSubmissionStamp(padded + kAlice + By("ESMTPSA") + kRest, kPostfix).authenticated);
}

TEST(SubmissionStampTest, TheQueueIdIsTheByClausesShortLettersAndDigits) {
  auto id = [](const std::string& message) { return ReadSubmissionStamp(message, "").queue_id; };
  EXPECT_EQ(id(kFrom + By("ESMTP") + kRest), "4Fq2kX0yzNz9t");
  // Postfix's own submissions (sendmail, pickup) start with the by clause.
  EXPECT_EQ(id("Received: by mail.example.com (Postfix, from userid 0)\n"
               "\tid 4Fq2kY1abc; Tue,  8 Dec 2026 12:00:00 +0000 (UTC)\n\n"),
            "4Fq2kY1abc");
  // "id" in the client's words before the by clause (a HELO name, a certificate's CN), or in
  // the recipient after it, is not the queue id.
  EXPECT_EQ(id("Received: from id (unknown [192.0.2.1])\n" + By("ESMTP") + kRest), "4Fq2kX0yzNz9t");
  EXPECT_EQ(id(kFrom + std::string(kCipherWithClientCertificate) +
               "\t(Client CN \"x id FAKE\", Issuer \"y\" (not verified))\n" + By("ESMTPS") + kRest),
            "4Fq2kX0yzNz9t");
  EXPECT_EQ(id(kFrom + std::string("\tby h with ESMTP\n\tfor <\"a id b\"@example.com>; date\n")),
            "");
  EXPECT_EQ(id("Received: by h id ABC\x1b[2J; date\n\n"), "ABC");
  EXPECT_EQ(id("Received: by h id " + std::string(33, 'A') + "\n\n"), "");
  EXPECT_EQ(id("Received: by h with ESMTP\n\n"), "");
  EXPECT_EQ(id("Received: by h (valid) id Q7;\n\n"), "Q7");
  EXPECT_EQ(id("Received: from h id Q7\n\n"), "");
}

}  // namespace
}  // namespace corvalith::host
