// What the mail server's own front end says about a message it hands over for delivery.
//
// Postfix's smtpd prepends its Received field to every message it accepts, and a sender can
// only add fields below it: so of the header as Postfix passes it on, only the topmost field is
// Postfix's word. With `smtpd_sasl_authenticated_header = yes` that field names the SASL user
// who submitted the message; mail of an authenticated user of this server is mail from inside
// the organisation. Postfix 3.7 writes it so (the TLS remarks only with
// `smtpd_tls_received_header = yes`, the certificate line differs with
// `smtpd_tls_ask_ccert`):
//
//   Received: from HELO (NAME [ADDRESS])
//   	(using TLSv1.3 with cipher TLS_AES_256_GCM_SHA384 (256/256 bits)
//   	 key-exchange X25519 server-signature RSA-PSS (2048 bits) server-digest SHA256)
//   	(Client CN "CN", Issuer "ISSUER" (not verified))
//   	(Authenticated sender: LOGIN)
//   	by MYHOSTNAME (Postfix) with ESMTPSA id QUEUEID
//   	for <RECIPIENT>; DATE
//
// A client's words appear in that field too (its HELO name, the reverse name of its address,
// its certificate's CN), but always in the middle of a line that Postfix began. So the remark
// counts only as a line of its own, "(Authenticated sender: LOGIN)", after nothing but the
// `from` line and Postfix's TLS remarks, directly before a `by` line that names this server's
// Postfix and a protocol that Postfix writes only for an authenticated session. The same text
// anywhere else proves nothing.
#ifndef CORVALITH_LMTP_SUBMISSION_H_
#define CORVALITH_LMTP_SUBMISSION_H_

#include <string>
#include <string_view>

namespace corvalith::host {

// How much of the first field is read: a Received field is a few hundred bytes; a longer one
// is not Postfix's and is read no further.
inline constexpr size_t kMaxStampBytes = 8192;

struct SubmissionStamp {
  // The topmost field is the Received field of `postfix_host_name`'s Postfix for a session
  // whose client authenticated, in the form above.
  bool authenticated = false;
  // The queue id of the field's `by` clause ("by HOST ... id 4Fq2kX0yzNz9t"), letters and
  // digits only and at most 32 of them; empty when there is none. Read from any Received
  // field, authenticated or not, whichever host wrote it.
  std::string queue_id;
};

// Reads the topmost header field of the message (with its folded continuation lines, at most
// kMaxStampBytes). A message that starts with anything but a Received field has no stamp.
// `postfix_host_name` is the name the server's Postfix writes after "by" (its myhostname),
// compared without regard to ASCII case; when empty, no message is authenticated.
SubmissionStamp ReadSubmissionStamp(std::string_view message, std::string_view postfix_host_name);

}  // namespace corvalith::host

#endif  // CORVALITH_LMTP_SUBMISSION_H_
