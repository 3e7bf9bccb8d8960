#include "mailhost/mbox_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "mailhost/message_source.h"
#include "platform/failure.h"

namespace corvalith::host {

namespace {

constexpr char kSeparator[] = "From ";
constexpr size_t kSeparatorSize = sizeof kSeparator - 1;

// Reads up to `size` bytes at `offset`, fewer only at the end of the file. Throws Failure.
size_t ReadAt(int fd, const std::string& path, char* buffer, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure::FromErrno(path, errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace

MboxReader::MboxReader(const std::string& path) : path_(path) {
  do {
    // Non-blocking: a pipe put in the file's place must not wait for a writer.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) throw Failure::FromErrno("cannot read " + path, errno);
  try {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw Failure::FromErrno("cannot read " + path, errno);
    if (!S_ISREG(st.st_mode)) throw Failure::Permanent("not a file: " + path, E_INVALIDARG);
    char head[kSeparatorSize];
    const size_t size = ReadAt(fd_, path_, head, sizeof head, 0);
    if (size != 0 && std::string_view(head, size) != kSeparator) {
      throw Failure::Permanent(
          path + " is not an mbox file: it does not begin with a \"From \" line", E_INVALIDARG);
    }
    FindMessages();
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

MboxReader::~MboxReader() { ::close(fd_); }

void MboxReader::FindMessages() {
  constexpr size_t kChunk = size_t{1} << 20;
  std::string buffer(kChunk, '\0');
  uint64_t offset = 0;
  // How many bytes of "From " the current line has matched so far; kNoMatch once it cannot.
  constexpr size_t kNoMatch = SIZE_MAX;
  size_t matched = 0;
  bool in_separator = false;  // inside the newest entry's "From " line
  for (;;) {
    const size_t size = ReadAt(fd_, path_, buffer.data(), kChunk, offset);
    if (size == 0) break;
    const char* data = buffer.data();
    size_t i = 0;
    while (i < size) {
      if (matched != kNoMatch && !in_separator) {
        if (data[i] == kSeparator[matched]) {
          if (++matched == kSeparatorSize) {
            entries_.push_back(Entry{offset + i + 1 - kSeparatorSize, 0, 0});
            in_separator = true;
          }
          ++i;
          continue;
        }
        matched = kNoMatch;
      }
      // The rest of the line is no separator: on to its end.
      const void* end = std::memchr(data + i, '\n', size - i);
      if (end == nullptr) break;
      i = static_cast<size_t>(static_cast<const char*>(end) - data) + 1;
      if (in_separator) {
        entries_.back().separator = offset + i - entries_.back().offset;
        in_separator = false;
      }
      matched = 0;
    }
    offset += size;
  }
  for (size_t k = 0; k < entries_.size(); ++k) {
    const uint64_t next = k + 1 < entries_.size() ? entries_[k + 1].offset : offset;
    entries_[k].length = next - entries_[k].offset;
    // A last "From " line without a line end.
    if (entries_[k].separator == 0) entries_[k].separator = entries_[k].length;
  }
}

std::string MboxReader::Read(const Entry& entry, size_t max_bytes) const {
  if (entry.length - entry.separator > max_bytes) {
    throw Failure("more than " + std::to_string(max_bytes) + " bytes", EFBIG);
  }
  std::string bytes(entry.length, '\0');
  const size_t size = ReadAt(fd_, path_, bytes.data(), bytes.size(), entry.offset);
  if (size != bytes.size() || !bytes.starts_with(kSeparator)) {
    throw Failure(path_ + " has changed since it was opened", E_FAIL);
  }
  std::vector<std::string> messages = SplitMbox(bytes);
  return messages.empty() ? std::string() : std::move(messages.front());
}

}  // namespace corvalith::host
