// The few raw POSIX file operations the platform implementations share, each turning errno
// into a Failure in one place. Only platform/ and the Maildir store, which works on POSIX
// files directly, include this.
#ifndef CORVALITH_PLATFORM_POSIX_IO_H_
#define CORVALITH_PLATFORM_POSIX_IO_H_

#include <string>

namespace corvalith::posix {

// The whole content of a regular file of at most `max_bytes`. A device or a pipe put in the
// file's place is refused without waiting for a writer (Failure "PATH: not a regular file",
// EINVAL), a directory with EISDIR, a larger file with Failure::FileTooLarge, having read no
// more than one byte past the bound. Throws Failure::FromErrno(path, errno) otherwise.
std::string ReadRegularFile(const std::string& path, size_t max_bytes);

// Writes all of `data` to `fd`, retrying only short writes and interruptions. Returns 0 or
// the errno of the failed write.
int WriteAll(int fd, const char* data, size_t size);

// Creates `path` (0644; EEXIST when anything is there already) holding all of `bytes`. Returns 0
// or the errno of the call that failed; a file that could not be written whole is removed.
int CreateFileWith(const std::string& path, const std::string& bytes);

// Opens `path` for appending (creating it 0644), writes `text` with a single write() call
// (more only after a short write) and closes it. O_APPEND makes each write land at the end
// of the file atomically with respect to other appenders, which keeps concurrent records
// whole. Throws Failure::FromErrno(path, errno).
void AppendToFile(const std::string& path, const std::string& text);

}  // namespace corvalith::posix

#endif  // CORVALITH_PLATFORM_POSIX_IO_H_
