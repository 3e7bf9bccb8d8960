#include "lmtp/lmtp_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/failure.h"

namespace corvalith::host {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Mailboxes by address; what was delivered, in order; a recipient whose deliveries fail.
class FakeMailroom : public Mailroom {
 public:
  struct Delivery {
    std::string mailbox;
    std::string message;
    bool internal;
    std::string item_name;
  };

  MailboxAddress FindMailbox(const std::string& address) override {
    if (address == "lookup@broken.example") throw Failure("store is locked", E_FAIL);
    if (address == "argument@broken.example") throw Failure("unreadable", E_INVALIDARG);
    if (address == "library@broken.example") throw std::runtime_error("no kind");
    if (address == "no-name@example.com") throw Failure::Permanent("bad address", E_INVALIDARG);
    for (const char* known : {"alice@example.com", "bob@example.com", "carol@example.com",
                              "\xC3\xA4lice@example.com"}) {
      if (address == known) {
        std::string text = known;
        return MailboxAddress{text.substr(0, text.find('@')), "example.com"};
      }
    }
    throw UnknownMailbox("unknown mailbox " + address);
  }

  Delivered Deliver(const MailboxAddress& mailbox, const std::string& message, bool internal,
                    const std::string& item_name) override {
    if (mailbox.user == failing_user) throw Failure("disk full\nsecond line", E_FAIL);
    if (mailbox.user == removed_user) throw UnknownMailbox("unknown mailbox " + mailbox.Text());
    for (size_t i = 0; i < deliveries.size(); ++i) {
      if (!item_name.empty() && deliveries[i].mailbox == mailbox.Text() &&
          deliveries[i].item_name == item_name) {
        return {ItemState{"url-" + std::to_string(i + 1), 2, false}, true};
      }
    }
    deliveries.push_back({mailbox.Text(), message, internal, item_name});
    return {ItemState{"url-" + std::to_string(deliveries.size()), 1, false}, false};
  }

  std::string failing_user;
  std::string removed_user;  // since RCPT TO
  std::vector<Delivery> deliveries;
};

class LmtpSessionTest : public ::testing::Test {
 protected:
  // The replies, one per element, without their line ends.
  std::vector<std::string> Say(const std::string& bytes) {
    std::string replies = session_.Receive(bytes);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = replies.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(replies.substr(start, end - start));
    }
    EXPECT_EQ(start, replies.size()) << "a reply without CR LF";
    return lines;
  }

  FakeMailroom mailroom_;
  std::vector<std::string> log_;
  LmtpLimits limits_{.max_message_bytes = 1000, .max_command_bytes = 100, .max_recipients = 3};
  SubmissionTrust trust_{.client_trusted = true, .postfix_host_name = "mx.example.com"};
  std::function<void(const std::string&)> log_line_ = [this](const std::string& line) {
    log_.push_back(line);
  };
  LmtpSession session_{mailroom_, "mx.example.com", limits_, trust_, log_line_};
};

TEST_F(LmtpSessionTest, PipelinedTransactionGetsOneReplyPerRecipientAfterTheData) {
  EXPECT_THAT(session_.Greeting(), StartsWith("220 mx.example.com "));
  EXPECT_THAT(Say("LHLO postfix.example.com\r\n"),
              ElementsAre("250-mx.example.com", "250-PIPELINING", "250-ENHANCEDSTATUSCODES",
                          "250-8BITMIME", "250-SMTPUTF8", "250 SIZE 1000"));
  // Everything up to the end of the data in one read, split in the middle of a line.
  std::string transaction =
      "MAIL FROM:<sender@outside.example> BODY=8BITMIME SIZE=120\r\n"
      "RCPT TO:<alice@example.com>\r\n"
      "RCPT TO:<nobody@example.com>\r\n"
      "rcpt to:bob@example.com NOTIFY=NEVER\r\n"
      "DATA\r\n"
      "Subject: hi\r\n\r\n.leading dot\r\n..\r\nlast\r\n.\r\n";
  std::vector<std::string> first = Say(transaction.substr(0, 100));
  std::vector<std::string> rest = Say(transaction.substr(100));
  first.insert(first.end(), rest.begin(), rest.end());
  EXPECT_THAT(first, ElementsAre("250 2.1.0 Ok", "250 2.1.5 Ok",
                                 "550 5.1.1 <nobody@example.com> No such mailbox", "250 2.1.5 Ok",
                                 "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                                 "250 2.0.0 <alice@example.com> Delivered",
                                 "250 2.0.0 <bob@example.com> Delivered"));
  ASSERT_EQ(mailroom_.deliveries.size(), 2u);
  EXPECT_EQ(mailroom_.deliveries[0].mailbox, "alice@example.com");
  EXPECT_EQ(mailroom_.deliveries[0].message,
            "Return-Path: <sender@outside.example>\nDelivered-To: alice@example.com\n"
            "Subject: hi\n\nleading dot\n.\nlast\n");
  EXPECT_EQ(mailroom_.deliveries[1].message,
            "Return-Path: <sender@outside.example>\nDelivered-To: bob@example.com\n"
            "Subject: hi\n\nleading dot\n.\nlast\n");
  EXPECT_FALSE(mailroom_.deliveries[0].internal);
  EXPECT_THAT(
      log_, ElementsAre("to=alice@example.com 250 ham url-1", "to=bob@example.com 250 ham url-2"));

  // The session is ready for the next transaction, and QUIT ends it.
  EXPECT_THAT(
      Say("MAIL FROM:<>\r\nRCPT TO:<carol@example.com>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n"),
      ElementsAre("250 2.1.0 Ok", "250 2.1.5 Ok", "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                  "250 2.0.0 <carol@example.com> Delivered", "221 2.0.0 Bye"));
  EXPECT_EQ(mailroom_.deliveries.back().message,
            "Return-Path: <>\nDelivered-To: carol@example.com\nx\n");
  EXPECT_TRUE(session_.Finished());
  EXPECT_THAT(Say("NOOP\r\n"), ElementsAre());
}

// Internal only when the client may vouch for the field and the field is this server's
// Postfix's; the queue id is logged either way.
TEST_F(LmtpSessionTest, AuthenticatedSubmissionIsInternalOnlyFromATrustedClient) {
  const std::string submission =
      "LHLO p\r\nMAIL FROM:<alice@example.com>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n"
      "Received: from c (c [192.0.2.1])\r\n\t(Authenticated sender: alice)\r\n"
      "\tby mx.example.com (Postfix) with ESMTPSA id 4Fq2kX\r\n"
      "Subject: lunch\r\n\r\nbody\r\n.\r\n";
  const SubmissionTrust untrusted_client{.client_trusted = false,
                                         .postfix_host_name = "mx.example.com"};
  const SubmissionTrust other_postfix{.client_trusted = true,
                                      .postfix_host_name = "mx2.example.com"};
  std::vector<bool> internal;
  for (const SubmissionTrust& trust : {trust_, untrusted_client, other_postfix}) {
    FakeMailroom mailroom;
    LmtpSession session(mailroom, "h", limits_, trust, log_line_);
    session.Receive(submission);
    ASSERT_EQ(mailroom.deliveries.size(), 1u);
    internal.push_back(mailroom.deliveries[0].internal);
  }
  EXPECT_THAT(internal, ElementsAre(true, false, false));
  EXPECT_THAT(log_, ElementsAre("id=4Fq2kX to=bob@example.com 250 ham internal url-1",
                                "id=4Fq2kX to=bob@example.com 250 ham url-1",
                                "id=4Fq2kX to=bob@example.com 250 ham url-1"));
}

// Postfix tries a message again when the 250 of a try was lost (the server died after
// storing): the same queued message for the same recipient has the same name, and the store
// keeps it once. Anything else -- another recipient, sender or byte, or mail from no queue
// at all, which may come twice alike -- is a delivery of its own.
TEST_F(LmtpSessionTest, ARetryOfAQueuedMessageIsNotStoredTwice) {
  const std::string queued =
      "Received: from c (c [192.0.2.1])\r\n\tby mx.example.com (Postfix) with ESMTP id 4Fq2kX\r\n"
      "Subject: offer\r\n\r\nbody\r\n.\r\n";
  const auto send = [&](const std::string& from, const std::string& to, const std::string& data) {
    return Say("MAIL FROM:<" + from + ">\r\nRCPT TO:<" + to + ">\r\nDATA\r\n" + data).back();
  };
  Say("LHLO p\r\n");
  EXPECT_EQ(send("s@o.example", "bob@example.com", queued),
            "250 2.0.0 <bob@example.com> Delivered");
  EXPECT_EQ(send("s@o.example", "bob@example.com", queued),
            "250 2.0.0 <bob@example.com> Delivered");
  ASSERT_EQ(mailroom_.deliveries.size(), 1u);
  EXPECT_THAT(mailroom_.deliveries[0].item_name, StartsWith("4Fq2kX-"));
  EXPECT_EQ(log_[1], "id=4Fq2kX to=bob@example.com 250 stored already spam url-1");

  send("s@o.example", "alice@example.com", queued);
  send("other@o.example", "bob@example.com", queued);
  send("s@o.example", "bob@example.com", queued.substr(0, queued.size() - 9) + "bodY\r\n.\r\n");
  send("s@o.example", "bob@example.com", "Subject: no queue\r\n\r\nx\r\n.\r\n");
  send("s@o.example", "bob@example.com", "Subject: no queue\r\n\r\nx\r\n.\r\n");
  ASSERT_EQ(mailroom_.deliveries.size(), 6u);
  std::set<std::string> names;
  for (size_t i = 1; i < 4; ++i) names.insert(mailroom_.deliveries[i].item_name);
  names.insert(mailroom_.deliveries[0].item_name);
  EXPECT_EQ(names.size(), 4u);
  EXPECT_EQ(mailroom_.deliveries[4].item_name, "");
  EXPECT_EQ(mailroom_.deliveries[5].item_name, "");
}

// Postfix retries a message for days, across upgrades of this server, and a retry finds what
// an earlier try stored by the item's name (with the Maildir store, its file's name). So the
// name of a queued message's delivery is pinned to its value here: were it to change, every
// message retried across the upgrade would be stored twice. Keep the recipe in
// lmtp_session.cc and the hashes of platform/hash.h as they are.
TEST_F(LmtpSessionTest, ARetryNameNeverChanges) {
  Say("LHLO p\r\nMAIL FROM:<s@o.example>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n"
      "Received: from c (c [192.0.2.1])\r\n\tby mx.example.com (Postfix) with ESMTP id 4Fq2kX\r\n"
      "Subject: offer\r\n\r\nbody\r\n.\r\n");
  ASSERT_EQ(mailroom_.deliveries.size(), 1u);
  EXPECT_EQ(mailroom_.deliveries[0].item_name, "4Fq2kX-0c3655710eb5153cb62a379040ef832b.EML");
}

TEST_F(LmtpSessionTest, AStoreFailureIsTemporaryForThatRecipientOnly) {
  mailroom_.failing_user = "alice";
  EXPECT_THAT(
      Say("LHLO p\r\nMAIL FROM:<s@o.example>\r\nRCPT TO:<alice@example.com>\r\n"
          "RCPT TO:<bob@example.com>\r\nRCPT TO:<lookup@broken.example>\r\n"
          "DATA\r\nSubject: x\r\n\r\nb\r\n.\r\n"),
      ElementsAre("250-mx.example.com", "250-PIPELINING", "250-ENHANCEDSTATUSCODES", "250-8BITMIME",
                  "250-SMTPUTF8", "250 SIZE 1000", "250 2.1.0 Ok", "250 2.1.5 Ok", "250 2.1.5 Ok",
                  "451 4.3.0 Mailbox lookup failed: store is locked",
                  "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                  "451 4.3.0 <alice@example.com> Temporary failure: disk full\\nsecond line",
                  "250 2.0.0 <bob@example.com> Delivered"));
  ASSERT_EQ(mailroom_.deliveries.size(), 1u);
  EXPECT_EQ(mailroom_.deliveries[0].mailbox, "bob@example.com");
  EXPECT_THAT(log_[0], HasSubstr("to=alice@example.com 451 disk full\\nsecond line"));
}

// Only the kind of a lookup's failure decides between bouncing and trying again, not its
// number nor its type; after the data, nothing is bounced.
TEST_F(LmtpSessionTest, ALookupsFailureKindDecidesBetween550And451) {
  mailroom_.removed_user = "alice";
  EXPECT_THAT(Say("LHLO p\r\nMAIL FROM:<s@o.example>\r\nRCPT TO:<no-name@example.com>\r\n"
                  "RCPT TO:<nobody@example.com>\r\nRCPT TO:<argument@broken.example>\r\n"
                  "RCPT TO:<library@broken.example>\r\nRCPT TO:<alice@example.com>\r\n"
                  "DATA\r\nSubject: x\r\n\r\nb\r\n.\r\n"),
              ElementsAre("250-mx.example.com", "250-PIPELINING", "250-ENHANCEDSTATUSCODES",
                          "250-8BITMIME", "250-SMTPUTF8", "250 SIZE 1000", "250 2.1.0 Ok",
                          "550 5.1.1 <no-name@example.com> No such mailbox",
                          "550 5.1.1 <nobody@example.com> No such mailbox",
                          "451 4.3.0 Mailbox lookup failed: unreadable",
                          "451 4.3.0 Mailbox lookup failed: no kind", "250 2.1.5 Ok",
                          "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                          "451 4.3.0 <alice@example.com> Temporary failure: unknown mailbox "
                          "alice@example.com"));
  EXPECT_TRUE(mailroom_.deliveries.empty());
}

TEST_F(LmtpSessionTest, OversizeMessageIsReadToItsEndAndRefusedForEachRecipient) {
  Say("LHLO p\r\nMAIL FROM:<s@o.example>\r\nRCPT TO:<alice@example.com>\r\n"
      "RCPT TO:<bob@example.com>\r\nDATA\r\n");
  std::string line(99, 'x');
  std::vector<std::string> replies;
  for (int i = 0; i < 20; ++i) {
    std::vector<std::string> some = Say(line + "\r\n");
    replies.insert(replies.end(), some.begin(), some.end());
  }
  // One line longer than any piece the session holds back: it is taken as it comes.
  Say(std::string(200 << 10, 'y'));
  EXPECT_THAT(replies, ElementsAre());
  EXPECT_THAT(Say("\r\n.\r\nNOOP\r\n"),
              ElementsAre("552 5.3.4 <alice@example.com> Message too big",
                          "552 5.3.4 <bob@example.com> Message too big", "250 2.0.0 Ok"));
  EXPECT_TRUE(mailroom_.deliveries.empty());

  // Right at the limit it fits (the headers the session adds do not count).
  std::string body(999, 'z');
  EXPECT_THAT(
      Say("MAIL FROM:<>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n" + body + "\r\n.\r\n"),
      ElementsAre("250 2.1.0 Ok", "250 2.1.5 Ok", "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                  "250 2.0.0 <bob@example.com> Delivered"));
}

TEST_F(LmtpSessionTest, AVeryLongDataLineKeepsItsDotsApartFromTheLineStart) {
  // Limits large enough for a line the session takes in several pieces.
  LmtpSession big(mailroom_, "h", LmtpLimits{}, trust_, log_line_);
  big.Receive("LHLO p\r\nMAIL FROM:<>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n");
  std::string long_line = "." + std::string(100 << 10, 'a');
  big.Receive(long_line.substr(0, 70 << 10));
  // The CR of a piece's last byte waits for what follows it.
  big.Receive(long_line.substr(70 << 10) + "\r");
  big.Receive("\n.b\r\n..c\r\n.\r\n");
  ASSERT_EQ(mailroom_.deliveries.size(), 1u);
  EXPECT_EQ(mailroom_.deliveries[0].message, "Return-Path: <>\nDelivered-To: bob@example.com\n" +
                                                 std::string(100 << 10, 'a') + "\nb\n.c\n");
}

// Only CR LF "." CR LF ends the data: a bare LF or CR is part of the message, and what follows
// one is no command. The same whatever pieces the bytes come in.
TEST_F(LmtpSessionTest, OnlyCrLfDotCrLfEndsTheData) {
  const std::string start =
      "LHLO p\r\nMAIL FROM:<s@o.example>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n";
  const std::string data =
      "Subject: x\r\n\r\nbare LF\n.\r\nRCPT TO:<carol@example.com>\r\n.\n..\r\nbare CR\r.\r\n"
      "..\r\ntail\r\n.\r\nNOOP\r\n";
  const std::string stored =
      "Return-Path: <s@o.example>\nDelivered-To: bob@example.com\n"
      "Subject: x\n\nbare LF\n.\nRCPT TO:<carol@example.com>\n\n..\nbare CR\r.\n.\ntail\n";
  const std::string replies = "250 2.0.0 <bob@example.com> Delivered\r\n250 2.0.0 Ok\r\n";
  // Byte by byte, then in two pieces split at every byte.
  std::vector<std::vector<std::string>> splits(1);
  for (char byte : data) splits[0].push_back(std::string(1, byte));
  for (size_t at = 0; at <= data.size(); ++at) {
    splits.push_back({data.substr(0, at), data.substr(at)});
  }
  for (const std::vector<std::string>& pieces : splits) {
    FakeMailroom mailroom;
    LmtpSession session(mailroom, "h", limits_, trust_, log_line_);
    session.Receive(start);
    std::string answered;
    for (const std::string& piece : pieces) answered += session.Receive(piece);
    EXPECT_EQ(answered, replies) << pieces.size() << " pieces, first " << pieces[0].size();
    ASSERT_EQ(mailroom.deliveries.size(), 1u);
    EXPECT_EQ(mailroom.deliveries[0].message, stored);
  }
}

TEST_F(LmtpSessionTest, SmtpUtf8AddressesAndMailParameters) {
  EXPECT_THAT(Say("LHLO p\r\n"), ::testing::Contains("250-SMTPUTF8"));
  EXPECT_THAT(
      Say("MAIL FROM:<j\xC3\xB6rg@b\xC3\xBCro.example> SMTPUTF8 BODY=8BITMIME SIZE=1000 "
          "RET=HDRS\r\n"
          "RCPT TO:<\xC3\xA4lice@example.com>\r\nDATA\r\nSubject: \xC3\xBC\r\n\r\nb\r\n.\r\n"),
      ElementsAre("250 2.1.0 Ok", "250 2.1.5 Ok", "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                  "250 2.0.0 <\xC3\xA4lice@example.com> Delivered"));
  ASSERT_EQ(mailroom_.deliveries.size(), 1u);
  EXPECT_EQ(mailroom_.deliveries[0].mailbox, "\xC3\xA4lice@example.com");
  EXPECT_EQ(
      mailroom_.deliveries[0].message,
      "Return-Path: <j\xC3\xB6rg@b\xC3\xBCro.example>\nDelivered-To: \xC3\xA4lice@example.com\n"
      "Subject: \xC3\xBC\n\nb\n");

  // Refused: a size over the limit (however many digits), bad parameter values, and addresses
  // that are not valid UTF-8 or hold a C1 control character (U+0085, a line break to some).
  EXPECT_THAT(
      Say("MAIL FROM:<a@b.example> SIZE=1001\r\nMAIL FROM:<a@b.example> "
          "size=99999999999999999999999\r\n"
          "MAIL FROM:<a@b.example> SIZE=1k\r\nMAIL FROM:<a@b.example> SIZE\r\n"
          "MAIL FROM:<a@b.example> BODY=BINARYMIME\r\nMAIL FROM:<a@b.example> SMTPUTF8=yes\r\n"
          "MAIL FROM:<j\xC3rg@b.example>\r\nMAIL FROM:<a\xC2\x85@b.example>\r\n"),
      ElementsAre("552 5.3.4 Message size exceeds the limit of 1000 bytes",
                  "552 5.3.4 Message size exceeds the limit of 1000 bytes",
                  "501 5.5.4 Bad SIZE parameter", "501 5.5.4 Bad SIZE parameter",
                  "501 5.5.4 Bad BODY parameter", "501 5.5.4 SMTPUTF8 takes no value",
                  "501 5.1.7 Bad sender address", "501 5.1.7 Bad sender address"));
  EXPECT_THAT(Say("MAIL FROM:<a@b.example> body=7bit size=0\r\nRCPT TO:<\xE4lice@example.com>\r\n"
                  "RCPT TO:<a\xC2\x9F@example.com>\r\n"),
              ElementsAre("250 2.1.0 Ok", "501 5.1.3 Bad recipient address",
                          "501 5.1.3 Bad recipient address"));
  EXPECT_EQ(mailroom_.deliveries.size(), 1u);
}

TEST_F(LmtpSessionTest, CommandsOutOfOrderAndBadCommandsAreRefused) {
  EXPECT_THAT(Say("MAIL FROM:<a@b.example>\r\n"), ElementsAre("503 5.5.1 Say LHLO first"));
  EXPECT_THAT(Say("EHLO p\r\nHELO p\r\nLHLO\r\n"),
              ElementsAre("500 5.5.1 This is LMTP: say LHLO", "500 5.5.1 This is LMTP: say LHLO",
                          "501 5.5.4 LHLO needs a host name"));
  Say("LHLO p\r\n");
  EXPECT_THAT(Say("RCPT TO:<bob@example.com>\r\nDATA\r\n"),
              ElementsAre("503 5.5.1 Need MAIL before RCPT", "503 5.5.1 No valid recipients"));
  EXPECT_THAT(Say("MAIL FROM:<a@b.example>\r\nMAIL FROM:<a@b.example>\r\nDATA\r\n"),
              ElementsAre("250 2.1.0 Ok", "503 5.5.1 Nested MAIL command",
                          "503 5.5.1 No valid recipients"));
  EXPECT_THAT(
      Say("RCPT TO:<>\r\nRCPT bob@example.com\r\nRCPT TO:<bob@example.com\r\n"
          "RCPT TO:<bo\x1b[2Jb@example.com>\r\n"),
      ElementsAre("501 5.1.3 Bad recipient address", "501 5.5.4 Syntax: RCPT TO:<address>",
                  "501 5.1.3 Bad recipient address", "501 5.5.2 Control characters in command"));
  EXPECT_THAT(
      Say("RCPT TO:<alice@example.com>\r\nRCPT TO:<bob@example.com>\r\n"
          "RCPT TO:<carol@example.com>\r\nRCPT TO:<alice@example.com>\r\n"),
      ElementsAre("250 2.1.5 Ok", "250 2.1.5 Ok", "250 2.1.5 Ok", "452 4.5.3 Too many recipients"));
  EXPECT_THAT(Say("RSET\r\nDATA\r\nVRFY bob\r\nNOOP\r\nBDAT 10 LAST\r\n"),
              ElementsAre("250 2.0.0 Ok", "503 5.5.1 No valid recipients",
                          "252 2.5.0 Cannot verify the user, but will take the message",
                          "250 2.0.0 Ok", "500 5.5.2 Command not recognised"));
  // A command line over the limit is skipped to its end, in whatever pieces it comes.
  EXPECT_THAT(Say("NOOP " + std::string(150, 'x')), ElementsAre());
  EXPECT_THAT(Say(std::string(150, 'x')), ElementsAre());
  EXPECT_THAT(Say("\r\nNOOP " + std::string(100, 'x') + "\r\nNOOP\r\n"),
              ElementsAre("500 5.5.2 Line too long", "500 5.5.2 Line too long", "250 2.0.0 Ok"));
  EXPECT_TRUE(mailroom_.deliveries.empty());
}

}  // namespace
}  // namespace corvalith::host
