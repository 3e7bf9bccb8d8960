// The messages one `deliver` argument names: a message file, a directory of message files,
// an mbox file, or "-" for one message on standard input. Everything is read before the
// first delivery, so that an unreadable argument fails the command before any mail moved.
#ifndef CORVALITH_MAILHOST_MESSAGE_SOURCE_H_
#define CORVALITH_MAILHOST_MESSAGE_SOURCE_H_

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace corvalith::host {

// A file is read whole before it is split; an mbox holds many messages, so the bound is far
// above any one message.
inline constexpr size_t kMaxSourceFileBytes = size_t{1} << 30;

struct SourceMessage {
  std::string origin;  // the file, "FILE#N" for the Nth message of an mbox, or "-"
  std::string raw;
};

// True when the bytes start like an mbox file: a "From " separator line.
bool LooksLikeMbox(const std::string& bytes);

// Splits an mbox at its "From " lines (the separator lines themselves are dropped) and
// undoes the ">From " quoting of mboxrd: one ">" is taken from every line of ">"s followed
// by "From ". Line ends are kept as they are. A message's last line end belongs to the
// separator and is dropped.
std::vector<std::string> SplitMbox(const std::string& bytes);

// The messages of one argument, in order: a directory's regular files sorted by name
// (hidden files skipped, no recursion). Throws Failure naming the path when it cannot be
// read, is larger than kMaxSourceFileBytes or holds no message; permanent for all but a read
// that failed.
std::vector<SourceMessage> ReadMessages(FileSystem& files, const std::string& argument,
                                        std::istream& standard_input);

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_MESSAGE_SOURCE_H_
