// A TextReader over text already in memory: both file systems read the whole file at open
// (every file is opened for one call only) and serve its lines from here.
#ifndef CORVALITH_PLATFORM_TEXT_READER_H_
#define CORVALITH_PLATFORM_TEXT_READER_H_

#include <memory>
#include <string>

#include "platform/file_system.h"

namespace corvalith {

// Lines end at LF or CR LF (a bare CR stays in the line). The last line counts without a
// line end; a text ending in a line end has no empty line after it; an empty text has no
// lines. Past the last line, ReadLine throws Failure("Input past end of file", 62).
std::unique_ptr<TextReader> NewStringTextReader(std::string content);

inline constexpr int32_t kErrInputPastEndOfFile = 62;

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_TEXT_READER_H_
