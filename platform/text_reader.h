// The lines of a text already in memory: the filter reads a whole file at once (every file is
// opened for one call only) and takes its lines from here.
#ifndef CORVALITH_PLATFORM_TEXT_READER_H_
#define CORVALITH_PLATFORM_TEXT_READER_H_

#include <optional>
#include <string>

namespace corvalith {

// Lines end at LF or CR LF (a bare CR stays in the line); the line end is not part of the line.
// The last line counts without a line end; a text ending in a line end has no empty line after
// it; an empty text has no lines.
class TextReader {
 public:
  explicit TextReader(std::string content) : content_(std::move(content)) {}

  // The next line; nullopt past the last one.
  std::optional<std::string> ReadLine();

 private:
  std::string content_;
  size_t pos_ = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_TEXT_READER_H_
