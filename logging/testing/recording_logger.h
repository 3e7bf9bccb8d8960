// A Logger for tests: keeps every record in memory and can be told to fail.
#ifndef CORVALITH_LOGGING_TESTING_RECORDING_LOGGER_H_
#define CORVALITH_LOGGING_TESTING_RECORDING_LOGGER_H_

#include <string>
#include <vector>

#include "logging/log_file.h"
#include "logging/logger.h"
#include "platform/failure.h"

namespace corvalith::testing {

class RecordingLogger : public Logger {
 public:
  explicit RecordingLogger(int32_t debug_level = 1) : debug_level_(debug_level) {}

  void Log(const std::string& sLog) override {
    if (fail_) throw Failure("Path not found", 76);
    records_.push_back(sLog);
  }
  void Log_Err(const std::string& sErr, int32_t nErr, const std::string& source) override {
    if (!fail_) records_.push_back(ErrorRecordText(sErr, nErr, source));
  }
  int32_t debug_level() const override { return debug_level_; }

  void set_debug_level(int32_t level) { debug_level_ = level; }
  void set_fail(bool fail) { fail_ = fail; }
  const std::vector<std::string>& records() const { return records_; }
  // Records that start with `prefix`.
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& r : records_) n += r.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  int32_t debug_level_;
  bool fail_ = false;
  std::vector<std::string> records_;
};

}  // namespace corvalith::testing

#endif  // CORVALITH_LOGGING_TESTING_RECORDING_LOGGER_H_
