// The log file "Corvalith.log" in the data directory: one record per call, opened, appended
// and closed each time, so other programs may move or delete the file between records and
// no handle outlives a call. No lock: a record goes out in a single append, which keeps
// concurrent writers from interleaving inside a record.
#ifndef CORVALITH_LOGGING_LOG_FILE_H_
#define CORVALITH_LOGGING_LOG_FILE_H_

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/file_system.h"

namespace corvalith {

inline constexpr char kLogFileName[] = "Corvalith.log";

// data_directory + "Corvalith.log" (the data directory ends with its separator).
std::string LogFilePath(const std::string& data_directory);

// Appends timestamp + " " + tick count + " " + sLog + CR LF to data_directory +
// "Corvalith.log". Throws Failure when the file cannot be opened or written. Control
// characters in sLog are escaped (logging/control_characters.h) except CR LF pairs: a record
// of several lines (the details report) is written as its caller composed it, so that caller
// escapes each value it inserts. Lines after the first begin with no timestamp, and the
// callers keep them from looking as if they did.
void AppendLogRecord(FileSystem& files, Clock& clock, const std::string& data_directory,
                     const std::string& sLog);

// "Err: " + sErr + " 0x" + hex(nErr) + " Source: " + source, with every control character
// of sErr and source escaped: descriptions and sources name URLs and files from outside, and
// an error record is always one line.
std::string ErrorRecordText(const std::string& sErr, int32_t nErr, const std::string& source);

// Upper-case hexadecimal without leading zeros; negative numbers as their 32-bit two's
// complement (-1 is FFFFFFFF).
std::string Hex(int32_t number);

}  // namespace corvalith

#endif  // CORVALITH_LOGGING_LOG_FILE_H_
