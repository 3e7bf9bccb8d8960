// An mbox file read one message at a time: a folder kept for years may be gigabytes, far more
// than a process should hold at once. One pass finds where each message starts, at every
// line that begins with "From " (after LF or CR LF); each message is then read on its own and
// split as SplitMbox splits it (mailhost/message_source.h), ">From " quoting undone.
#ifndef CORVALITH_MAILHOST_MBOX_READER_H_
#define CORVALITH_MAILHOST_MBOX_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvalith::host {

class MboxReader {
 public:
  // Where one message lies in the file.
  struct Entry {
    uint64_t offset = 0;     // of its "From " line
    uint64_t separator = 0;  // that line's length, its line end included
    uint64_t length = 0;     // up to the next "From " line or the end of the file
  };

  // Opens the file and finds its messages. Throws Failure naming the path when it cannot be
  // read, a permanent one when it is no file or does not begin with a "From " line (an empty
  // file holds no message).
  explicit MboxReader(const std::string& path);
  ~MboxReader();
  MboxReader(const MboxReader&) = delete;
  MboxReader& operator=(const MboxReader&) = delete;

  const std::string& path() const { return path_; }
  const std::vector<Entry>& entries() const { return entries_; }

  // The message, as SplitMbox gives it. Throws Failure (EFBIG) when more than `max_bytes`
  // follow its "From " line, without reading them, and Failure when it cannot be read or the
  // file is no longer as it was when it was opened.
  std::string Read(const Entry& entry, size_t max_bytes) const;

 private:
  void FindMessages();

  std::string path_;
  int fd_ = -1;
  std::vector<Entry> entries_;
};

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_MBOX_READER_H_
