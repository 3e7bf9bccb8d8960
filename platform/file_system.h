// The file-system calls the filter and its host make. Win32-style calls report failure through
// their result and the platform's last error (errno here); the others throw Failure, whose
// number is the errno. Every file is opened for one call only.
#ifndef CORVALITH_PLATFORM_FILE_SYSTEM_H_
#define CORVALITH_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <string>
#include <vector>

namespace corvalith {

// What stands at a path.
enum class FileKind {
  kMissing,    // nothing, or nothing that can be examined
  kFile,       // a regular file
  kDirectory,  // a directory
  kOther,      // a device, a pipe, a socket
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // CreateDirectory: one level only. False on failure, with LastError() set (EEXIST when
  // something exists at the path already).
  virtual bool CreateDirectory(const std::string& path) = 0;
  // GetFileAttributes != invalid: true for a file or a directory.
  virtual bool Exists(const std::string& path) = 0;
  // DeleteFile: false on failure, with LastError() set.
  virtual bool DeleteFile(const std::string& path) = 0;
  // The error number of the last failed call above on this thread.
  virtual int LastError() const = 0;

  // What is at the path, following symbolic links. Never fails.
  virtual FileKind KindOf(const std::string& path) = 0;
  // The names in a directory, without "." and "..", sorted. Throws Failure (ENOTDIR for a file).
  virtual std::vector<std::string> ListDirectory(const std::string& path) = 0;
  // The absolute path with every "." and ".." segment and symbolic link resolved. Throws
  // Failure (ENOENT when the path or a directory on the way is missing).
  virtual std::string RealPath(const std::string& path) = 0;

  // Appends `text` to the file, creating it when missing, in one write so that concurrent
  // appenders never interleave inside it. Throws Failure.
  virtual void AppendText(const std::string& path, const std::string& text) = 0;
  // Creates the file with `bytes` as its content; false when something exists at the path
  // already, which is then left as it was. Throws Failure for any other error, leaving no file.
  virtual bool WriteNewFile(const std::string& path, const std::string& bytes) = 0;
  // The whole content of a file, byte for byte. Files come from outside, so every read names
  // its bound: a larger file throws Failure ("PATH holds more than N bytes", EFBIG) without
  // being read in full. Throws Failure.
  virtual std::string ReadFile(const std::string& path, size_t max_bytes) = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_FILE_SYSTEM_H_
