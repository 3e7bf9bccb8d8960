// One line of `corvalith batch`: a JSON object naming an operation and its arguments. The
// line comes from whatever script drives the host, so it is checked field by field here,
// before anything touches the store or the file system.
#ifndef CORVALITH_HOST_BATCH_REQUEST_H_
#define CORVALITH_HOST_BATCH_REQUEST_H_

#include <string>

#include "host/mail_host.h"

namespace corvalith::host {

struct BatchRequest {
  enum class Op { kDeliver, kMove };
  Op op = Op::kDeliver;
  // deliver
  MailboxAddress to;
  std::string file;
  bool internal = false;
  // deliver: the destination folder, "Inbox" when missing; move: the folder to move into
  std::string folder;
  // move
  std::string url;
};

// Throws Failure(E_INVALIDARG) naming what is wrong: not a JSON object, a missing or
// non-string field, a non-Boolean "internal", a bad mailbox address, an unknown op.
BatchRequest ParseBatchRequest(const std::string& line);

}  // namespace corvalith::host

#endif  // CORVALITH_HOST_BATCH_REQUEST_H_
