#include "logging/log_file.h"

#include <cstdio>

#include "logging/control_characters.h"

namespace corvalith {

std::string Hex(int32_t number) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", static_cast<uint32_t>(number));
  return text;
}

std::string ErrorRecordText(const std::string& sErr, int32_t nErr, const std::string& source) {
  return "Err: " + EscapeControlCharacters(sErr) + " 0x" + Hex(nErr) +
         " Source: " + EscapeControlCharacters(source);
}

std::string LogFilePath(const std::string& data_directory) { return data_directory + kLogFileName; }

void AppendLogRecord(FileSystem& files, Clock& clock, const std::string& data_directory,
                     const std::string& sLog) {
  // The date is taken before the tick count, as the record shows them.
  std::string timestamp = FormatLocalTime(clock.Now());
  int32_t ticks = SignedTicks(clock.TickCount());
  std::string record =
      timestamp + " " + std::to_string(ticks) + " " + EscapeControlCharactersButCrLf(sLog) + "\r\n";
  files.AppendText(LogFilePath(data_directory), record);
}

}  // namespace corvalith
