#include "platform/posix_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/failure.h"

namespace corvalith::posix {

std::string ReadRegularFile(const std::string& path, size_t max_bytes) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Failure::FromErrno(path, errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) throw Failure::FromErrno(path, errno);
  if (S_ISDIR(st.st_mode)) throw Failure::FromErrno(path, EISDIR);
  if (!S_ISREG(st.st_mode)) throw Failure(path + ": not a regular file", EINVAL);
  if (static_cast<uint64_t>(st.st_size) > max_bytes) throw Failure::FileTooLarge(path, max_bytes);
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure::FromErrno(path, errno);
    }
    if (n == 0) return content;
    content.append(buffer, static_cast<size_t>(n));
    // The file may grow while it is read.
    if (content.size() > max_bytes) throw Failure::FileTooLarge(path, max_bytes);
  }
}

int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int CreateFileWith(const std::string& path, const std::string& bytes) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int err = WriteAll(fd, bytes.data(), bytes.size());
  if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  if (err != 0) ::unlink(path.c_str());
  return err;
}

void AppendToFile(const std::string& path, const std::string& text) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Failure::FromErrno(path, errno);
  int err = WriteAll(fd, text.data(), text.size());
  // close() after a successful write can still report a deferred write error (NFS, quota):
  // the record may be lost, so it counts as a failure.
  if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  if (err != 0) throw Failure::FromErrno(path, err);
}

}  // namespace corvalith::posix
