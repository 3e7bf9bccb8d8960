// What the mail server's own front end says about a message it hands over for delivery.
//
// Postfix prepends its Received field to every message it accepts, and a sender can only add
// fields below it: so of the header as Postfix passes it on, only the topmost field is
// Postfix's word. With `smtpd_sasl_authenticated_header = yes` that field names the SASL user
// who submitted the message, "(Authenticated sender: NAME)"; mail of an authenticated user of
// this server is mail from inside the organisation. The same text anywhere below the first
// field is the sender's and proves nothing.
#ifndef CORVALITH_HOST_SUBMISSION_H_
#define CORVALITH_HOST_SUBMISSION_H_

#include <string>
#include <string_view>

namespace corvalith::host {

// How much of the first field is read: a Received field is a few hundred bytes; a longer one
// is not Postfix's and is read no further.
inline constexpr size_t kMaxStampBytes = 8192;

struct SubmissionStamp {
  // The topmost field is a Received field that names an authenticated sender.
  bool authenticated = false;
  // The queue id that field gives ("... id 4Fq2kX0yzNz9t ..."), letters and digits only and at
  // most 32 of them; empty when there is none.
  std::string queue_id;
};

// Reads the topmost header field of the message (with its folded continuation lines, at most
// kMaxStampBytes). A message that starts with anything but a Received field has no stamp.
SubmissionStamp ReadSubmissionStamp(std::string_view message);

}  // namespace corvalith::host

#endif  // CORVALITH_HOST_SUBMISSION_H_
