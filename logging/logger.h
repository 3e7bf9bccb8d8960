// What every operation of the filter needs from its log: the unguarded Log, the never
// failing Log_Err, and the instance's DebugLevel that decides which normal lines are written.
// ExchangeFilter implements it; the operations in mailbox_ops/, whitelist/ and provisioning/
// take it.
#ifndef CORVALITH_LOGGING_LOGGER_H_
#define CORVALITH_LOGGING_LOGGER_H_

#include <cstdint>
#include <string>

namespace corvalith {

class Logger {
 public:
  // Appends one record; throws Failure when the log cannot be written.
  virtual void Log(const std::string& sLog) = 0;
  // Appends one error record; never fails (a record that cannot be written is lost).
  virtual void Log_Err(const std::string& sErr, int32_t nErr, const std::string& source) = 0;
  virtual int32_t debug_level() const = 0;

 protected:
  ~Logger() = default;
};

}  // namespace corvalith

#endif  // CORVALITH_LOGGING_LOGGER_H_
