#include "host/submission.h"

#include <gtest/gtest.h>

#include <string>

namespace corvalith::host {
namespace {

constexpr char kPostfixAuthenticated[] =
    "Received: from client.example.net (client.example.net [192.0.2.7])\r\n"
    "\t(Authenticated sender: alice)\r\n"
    "\tby mail.example.com (Postfix) with ESMTPSA id 4Fq2kX0yzNz9t\r\n"
    "\tfor <bob@example.com>; Tue,  8 Dec 2026 12:00:00 +0000 (UTC)\r\n"
    "From: alice@example.com\r\n"
    "Subject: lunch\r\n"
    "\r\n"
    "body\r\n";

constexpr char kPostfixFromOutside[] =
    "Received: from mx.sender.example (mx.sender.example [198.51.100.2])\n"
    "\tby mail.example.com (Postfix) with ESMTPS id 4Fq2kY1abc\n"
    "\tfor <bob@example.com>; Tue,  8 Dec 2026 12:00:00 +0000 (UTC)\n"
    "From: someone@sender.example\n"
    "\n"
    "body\n";

TEST(SubmissionStampTest, OnlyTheTopmostReceivedFieldCounts) {
  SubmissionStamp inside = ReadSubmissionStamp(kPostfixAuthenticated);
  EXPECT_TRUE(inside.authenticated);
  EXPECT_EQ(inside.queue_id, "4Fq2kX0yzNz9t");

  SubmissionStamp outside = ReadSubmissionStamp(kPostfixFromOutside);
  EXPECT_FALSE(outside.authenticated);
  EXPECT_EQ(outside.queue_id, "4Fq2kY1abc");

  // A sender's own field below Postfix's, copied from a real submission, is no proof; nor is
  // the phrase in the body or in an unfolded line that only looks like a continuation.
  std::string forged_below = std::string(kPostfixFromOutside);
  forged_below.insert(forged_below.find("From:"),
                      "Received: from x (Authenticated sender: alice) by mail.example.com\n");
  EXPECT_FALSE(ReadSubmissionStamp(forged_below).authenticated);
  EXPECT_FALSE(
      ReadSubmissionStamp(std::string(kPostfixFromOutside) + "\t(Authenticated sender: alice)\n")
          .authenticated);
  EXPECT_FALSE(ReadSubmissionStamp("Received: from x by y id Q1\n"
                                   "(Authenticated sender: alice)\n\nbody\n")
                   .authenticated);
}

TEST(SubmissionStampTest, AMessageThatDoesNotStartWithReceivedHasNoStamp) {
  EXPECT_FALSE(
      ReadSubmissionStamp("X-Note: (Authenticated sender: alice) id Q1\n\nb\n").authenticated);
  EXPECT_FALSE(ReadSubmissionStamp("").authenticated);
  EXPECT_FALSE(ReadSubmissionStamp("\nReceived: (Authenticated sender: a)\n").authenticated);
  // Field names are case-insensitive.
  EXPECT_TRUE(ReadSubmissionStamp("RECEIVED: by h (Authenticated sender: a)\n\n").authenticated);
}

TEST(SubmissionStampTest, TheFirstFieldIsReadOnlyUpToItsBound) {
  std::string padded = "Received: from x\n";
  while (padded.size() < kMaxStampBytes) padded += "\tpadding padding padding padding\n";
  EXPECT_FALSE(
      ReadSubmissionStamp(padded + "\t(Authenticated sender: alice)\n\nbody\n").authenticated);
}

TEST(SubmissionStampTest, AQueueIdIsShortLettersAndDigits) {
  EXPECT_EQ(ReadSubmissionStamp("Received: by h id ABC\x1b[2J; date\n\n").queue_id, "ABC");
  EXPECT_EQ(ReadSubmissionStamp("Received: by h id " + std::string(33, 'A') + "\n\n").queue_id, "");
  EXPECT_EQ(ReadSubmissionStamp("Received: by h with ESMTP\n\n").queue_id, "");
  EXPECT_EQ(ReadSubmissionStamp("Received: by h (valid) id Q7;\n\n").queue_id, "Q7");
}

}  // namespace
}  // namespace corvalith::host
