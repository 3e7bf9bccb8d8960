// One LMTP conversation (RFC 2033) as a state machine without a socket: the bytes a client
// sends go in, the replies to send back come out. The server (lmtp/lmtp_server.h) moves the
// bytes and tells the session what it knows of the client; the mailboxes are behind a Mailroom.
//
// Postfix hands over a message for several recipients at once and wants one reply per
// recipient after the data, so that it retries exactly those that failed. Nothing is ever
// rejected for its content: a recipient gets 250 once the store holds the message, 451 when
// the store (or the filter inside it) failed, and Postfix keeps the mail and tries again.
// A message that Postfix hands over again because the 250 of an earlier try never reached it
// (the server died after storing) is answered 250 without being stored twice: each delivery
// of a queued message is stored under a name made from the message and its envelope.
//
// Line ends: the data ends only at CR LF "." CR LF, and only a line that began after CR LF is
// dot-unstuffed; a bare LF or CR inside the data is part of the message. The message is stored
// with each CR LF turned into LF. A command line ends at LF, with or without the CR before it
// (Postfix always sends CR LF; a CR elsewhere in a command is refused as a control character).
#ifndef CORVALITH_LMTP_LMTP_SESSION_H_
#define CORVALITH_LMTP_LMTP_SESSION_H_

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mailhost/mail_host.h"

namespace corvalith::host {

// Where the session delivers. Implementations may throw anything from both calls. Whether a
// recipient is bounced or tried again follows the failure's kind (platform/failure.h), in one
// place of the session: a permanent Failure from FindMailbox is 550 (no such mailbox), any
// other failure of FindMailbox 451; any failure of Deliver is 451, permanent or not.
class Mailroom {
 public:
  virtual ~Mailroom() = default;
  // The mailbox the address names (USER@DOMAIN, both parts matched without regard to case, as
  // Postfix and Dovecot match them). Throws a permanent Failure only when there surely is no
  // such mailbox (none, or the address is no name a mailbox can have); a lookup that fails
  // throws any other failure, and the recipient is tried again rather than bounced.
  virtual MailboxAddress FindMailbox(const std::string& address) = 0;
  // Stores the message in the mailbox's Inbox, through the filter, as the item `item_name`
  // (a fresh name when empty), and returns once it is safely stored. When an item of that name
  // is in any folder of the mailbox already, stores nothing and answers that item's state with
  // `earlier` set.
  struct Delivered {
    ItemState state;
    bool earlier = false;
  };
  virtual Delivered Deliver(const MailboxAddress& mailbox, const std::string& message,
                            bool internal, const std::string& item_name) = 0;
};

// Whether a failure of Mailroom::FindMailbox says that there surely is no such mailbox (a
// permanent Failure), rather than that looking failed.
bool SurelyNoMailbox(const std::exception& failure);

struct LmtpLimits {
  size_t max_message_bytes = kMaxMailBytes;  // advertised as SIZE; a larger SIZE= is refused
  size_t max_command_bytes = 2048;      // a command line, without its line end
  size_t max_recipients = 1000;
};

// Whose word makes a message internal mail (lmtp/submission.h).
struct SubmissionTrust {
  // The client hands over only what Postfix wrote: the unix socket, which only the mail system
  // can reach, or a TCP client the administrator listed. Mail from any other client is never
  // internal, whatever its topmost Received field says.
  bool client_trusted = false;
  // The host name this server's Postfix writes after "by" in its Received fields (myhostname).
  std::string postfix_host_name;
};

class LmtpSession {
 public:
  // `host_name` is this server's, for the greeting. `log` receives one line (without line end,
  // control characters escaped) per delivery.
  LmtpSession(Mailroom& mailroom, std::string host_name, LmtpLimits limits, SubmissionTrust trust,
              std::function<void(const std::string&)> log);

  // The greeting the server sends first.
  std::string Greeting() const;
  // Takes the next bytes from the client, in pieces of any size, and answers the replies they
  // complete (possibly none, possibly several for pipelined commands).
  std::string Receive(std::string_view bytes);
  // The client said QUIT: send the last reply and close.
  bool Finished() const { return finished_; }
  // The client is in the middle of a transaction (after MAIL, before the end of the data).
  bool InTransaction() const { return state_ != State::kIdle; }

 private:
  enum class State { kIdle, kMail, kData };

  void Command(std::string_view line, std::string& replies);
  void Mail(std::string_view argument, std::string& replies);
  void Recipient(std::string_view argument, std::string& replies);
  // Consumes what it can of the buffer as message data; answers true at the final dot.
  bool TakeData();
  void DeliverToEach(std::string& replies);
  void Reset();

  Mailroom& mailroom_;
  std::string host_name_;
  LmtpLimits limits_;
  SubmissionTrust trust_;
  std::function<void(const std::string&)> log_;

  State state_ = State::kIdle;
  bool greeted_ = false;
  bool finished_ = false;
  std::string buffer_;            // received, not yet consumed
  bool discarding_line_ = false;  // a command line over the limit, skipped to its end

  std::string sender_;
  struct AcceptedRecipient {
    std::string address;
    MailboxAddress mailbox;
  };
  std::vector<AcceptedRecipient> recipients_;
  std::string message_;
  bool at_line_start_ = true;  // the next data byte begins a line (after CR LF, or the first)
  bool too_big_ = false;
};

}  // namespace corvalith::host

#endif  // CORVALITH_LMTP_LMTP_SESSION_H_
