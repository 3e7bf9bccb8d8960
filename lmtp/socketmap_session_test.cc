// Postfix's recipient map as its socketmap client meets it: a fake mailroom behind the session,
// requests in pieces and in bulk, and input that is no request.
#include "lmtp/socketmap_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/failure.h"

namespace corvalith::host {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// alice has a mailbox; a lock hides the ones of locked.example; nothing else exists.
class FakeMailroom : public Mailroom {
 public:
  MailboxAddress FindMailbox(const std::string& address) override {
    looked_up.push_back(address);
    if (address.ends_with("@locked.example")) throw Failure("store is\nlocked", E_FAIL);
    if (address == "library@broken.example") throw std::runtime_error("no kind");
    if (address == "ALICE@Example.COM" || address == "alice@example.com") {
      return MailboxAddress{"alice", "example.com"};
    }
    throw UnknownMailbox("unknown mailbox " + address);
  }
  Delivered Deliver(const MailboxAddress&, const std::string&, bool, const std::string&) override {
    throw std::logic_error("the map never delivers");
  }
  std::vector<std::string> looked_up;
};

class SocketmapSessionTest : public ::testing::Test {
 protected:
  std::string Ask(const std::string& request) { return session_.Receive(Netstring(request)); }

  FakeMailroom mailroom_;
  std::vector<std::string> log_;
  SocketmapSession session_{mailroom_, [this](const std::string& line) { log_.push_back(line); }};
};

TEST_F(SocketmapSessionTest, AnswersWhatRcptToWouldGet) {
  EXPECT_EQ(Ask("mailbox alice@example.com"), "20:OK alice@example.com,");
  EXPECT_EQ(Ask("mailbox ALICE@Example.COM"), "20:OK alice@example.com,");
  // Surely none: no such mailbox, an extension Postfix strips and asks again without, the
  // wildcard Postfix tries last.
  for (const char* none : {"mailbox carol@example.com", "mailbox alice+news@example.com",
                           "mailbox @example.com", "mailbox "}) {
    EXPECT_EQ(Ask(none), "9:NOTFOUND ,") << none;
  }
  EXPECT_THAT(log_, IsEmpty());
  // Looking failed: Postfix defers the mail, and the reason is one line.
  EXPECT_EQ(Ask("mailbox bob@locked.example"), "21:TEMP store is\\nlocked,");
  EXPECT_EQ(Ask("mailbox library@broken.example"), "12:TEMP no kind,");
  EXPECT_THAT(log_,
              ElementsAre("warning: map lookup of bob@locked.example failed: store is\\nlocked",
                          "warning: map lookup of library@broken.example failed: no kind"));
  // A wildcard is never looked up.
  EXPECT_THAT(mailroom_.looked_up, ::testing::Not(::testing::Contains("@example.com")));
  EXPECT_FALSE(session_.Finished());
}

TEST_F(SocketmapSessionTest, OnlyTheMailboxTableIsKnown) {
  EXPECT_EQ(Ask("aliases alice@example.com"),
            Netstring("PERM unknown table 'aliases' (the one table is \"mailbox\")"));
  EXPECT_EQ(Ask("mailbox"),
            Netstring("PERM unknown table 'mailbox' (the one table is \"mailbox\")"));
  EXPECT_EQ(Ask("\x1b[2J x"),
            Netstring("PERM unknown table '\\x1B[2J' (the one table is \"mailbox\")"));
  EXPECT_THAT(mailroom_.looked_up, IsEmpty());
  EXPECT_FALSE(session_.Finished());
}

TEST_F(SocketmapSessionTest, TakesSeveralRequestsInPiecesOfAnySize) {
  const std::string requests = Netstring("mailbox alice@example.com") +
                               Netstring("mailbox carol@example.com") +
                               Netstring("mailbox alice@example.com");
  std::string replies;
  for (char byte : requests) replies += session_.Receive(std::string(1, byte));
  EXPECT_EQ(replies, "20:OK alice@example.com,9:NOTFOUND ,20:OK alice@example.com,");
  EXPECT_EQ(session_.Receive(requests), replies);
  EXPECT_FALSE(session_.Finished());
}

// Untrusted input: what is no netstring, or longer than any address, ends the conversation
// without a reply, before the rest of it is even read.
TEST(SocketmapSessionInputTest, WhatIsNoRequestEndsTheConversation) {
  const std::string longest = "mailbox " + std::string(kMaxSocketmapRequest - 8, 'a');
  EXPECT_EQ(Netstring(longest).substr(0, 5), "1000:");
  for (const std::string& bad :
       {std::string("x"), std::string(":mailbox a,"), std::string("5:mailbox,"),
        std::string("12345"), std::string("1001:"), std::string("-1:"), std::string("3;abc,"),
        std::string("99999999999999999999:"), std::string("7:mailbox\r\n")}) {
    FakeMailroom mailroom;
    SocketmapSession session(mailroom, [](const std::string&) {});
    EXPECT_EQ(session.Receive(Netstring("mailbox alice@example.com") + bad),
              "20:OK alice@example.com,")
        << bad;
    EXPECT_TRUE(session.Finished()) << bad;
    EXPECT_EQ(session.Receive(Netstring("mailbox alice@example.com")), "") << bad;
  }
  FakeMailroom mailroom;
  SocketmapSession session(mailroom, [](const std::string&) {});
  EXPECT_EQ(session.Receive(Netstring(longest)), "9:NOTFOUND ,");
  EXPECT_EQ(session.Receive("100"), "");
  EXPECT_FALSE(session.Finished());
}

}  // namespace
}  // namespace corvalith::host
