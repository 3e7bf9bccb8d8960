// The file-system calls the filter makes. Win32-style calls report failure through their
// result and the platform's last error (errno here); the text-file calls, like the scripting
// runtime's text streams, throw Failure. Every file is opened for one call only.
#ifndef CORVALITH_PLATFORM_FILE_SYSTEM_H_
#define CORVALITH_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <memory>
#include <string>

namespace corvalith {

// Reads a text file line by line. A line ends at CR LF or a bare LF; the line end is not
// part of the line, and the last line counts even without a line end.
class TextReader {
 public:
  virtual ~TextReader() = default;
  // The next line; throws Failure past the last line ("Input past end of file", 62).
  virtual std::string ReadLine() = 0;
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

  // Appends `text` to the file, creating it when missing, in one write so that concurrent
  // appenders never interleave inside it. Throws Failure.
  virtual void AppendText(const std::string& path, const std::string& text) = 0;
  // Opens a file for reading line by line. Throws Failure (a missing file included).
  // Reads at most `max_bytes`, as ReadFile.
  virtual std::unique_ptr<TextReader> OpenTextForReading(const std::string& path,
                                                         size_t max_bytes) = 0;
  // The whole content of a file, byte for byte. Files come from outside, so every read names
  // its bound: a larger file throws Failure ("PATH holds more than N bytes", EFBIG) without
  // being read in full. Throws Failure.
  virtual std::string ReadFile(const std::string& path, size_t max_bytes) = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_FILE_SYSTEM_H_
