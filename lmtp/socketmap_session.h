// One conversation of Postfix's socketmap table client (socketmap_table(5)) as a state machine
// without a socket, like LmtpSession: the bytes a client sends go in, the replies come out.
//
// Postfix asks whether a recipient has a mailbox here (virtual_mailbox_maps =
// socketmap:unix:private/corvalith-map:mailbox) before it accepts the mail, so that mail for
// nobody is refused during the SMTP conversation instead of being bounced afterwards. The
// answer comes from the Mailroom's FindMailbox, exactly as RCPT TO gets it.
//
// Requests and replies are netstrings ("LEN:DATA,"); a request is "NAME KEY", several per
// connection. The one table is "mailbox", its KEY a recipient address:
//   "OK USER@DOMAIN"   the mailbox exists (its address as the store writes it)
//   "NOTFOUND "        surely none: a permanent lookup failure, "@domain" wildcard lookups
//   "TEMP REASON"      the lookup failed and may work later (Postfix defers the mail)
//   "PERM REASON"      a table other than "mailbox"
// Input is untrusted: a request longer than kMaxSocketmapRequest, or anything that is no
// netstring, ends the conversation without a reply.
#ifndef CORVALITH_LMTP_SOCKETMAP_SESSION_H_
#define CORVALITH_LMTP_SOCKETMAP_SESSION_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "lmtp/lmtp_session.h"

namespace corvalith::host {

// A request's data: "mailbox " and an address (at most 254 bytes in SMTP) fit many times over.
inline constexpr size_t kMaxSocketmapRequest = 1000;

// The netstring of `data`: "LEN:DATA,".
std::string Netstring(std::string_view data);

class SocketmapSession {
 public:
  // `log` receives one line (control characters escaped) per lookup that failed temporarily.
  SocketmapSession(Mailroom& mailroom, std::function<void(const std::string&)> log);

  // Takes the next bytes from the client, in pieces of any size, and answers the replies to
  // the requests they complete.
  std::string Receive(std::string_view bytes);
  // The client sent something that is no request: close the connection.
  bool Finished() const { return finished_; }

 private:
  // The reply's data for one request.
  std::string Answer(std::string_view request);
  std::string LookUpMailbox(std::string_view key);

  Mailroom& mailroom_;
  std::function<void(const std::string&)> log_;
  std::string buffer_;  // received, not yet consumed: at most one request and the rest of a read
  bool finished_ = false;
};

}  // namespace corvalith::host

#endif  // CORVALITH_LMTP_SOCKETMAP_SESSION_H_
