// One line of `corvalith batch`: a JSON object naming an operation and its arguments. The
// line comes from whatever script drives the host, so it is checked field by field here,
// before anything touches the store or the file system.
#ifndef CORVALITH_CLI_BATCH_REQUEST_H_
#define CORVALITH_CLI_BATCH_REQUEST_H_

#include <cstddef>
#include <istream>
#include <string>

#include "mailhost/mail_host.h"

namespace corvalith::host {

// A request line is a few hundred bytes; the bound keeps a runaway writer from filling memory.
inline constexpr size_t kMaxBatchLineBytes = 64 * 1024;

enum class LineRead { kLine, kTooLong, kEnd };

// Reads one line, without its "\n", into `line`. A line of more than `max_bytes` bytes is
// kTooLong: `line` is then empty and the input is read on to the line's end without keeping
// it, so that the next call reads the next line. kEnd at the end of the input; a last line
// without "\n" is a line.
LineRead ReadBoundedLine(std::istream& in, size_t max_bytes, std::string* line);

struct BatchRequest {
  enum class Op { kDeliver, kMove, kScore };
  Op op = Op::kDeliver;
  // deliver, score
  MailboxAddress to;
  std::string file;
  bool internal = false;
  // deliver: the destination folder, "Inbox" when missing; move: the folder to move into
  std::string folder;
  // move
  std::string url;
};

// Throws a permanent Failure(E_INVALIDARG) naming what is wrong: not a JSON object, a missing or
// non-string field, a non-Boolean "internal", a bad mailbox address, an unknown op.
BatchRequest ParseBatchRequest(const std::string& line);

}  // namespace corvalith::host

#endif  // CORVALITH_CLI_BATCH_REQUEST_H_
