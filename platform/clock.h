// The two clocks: a 32-bit millisecond tick counter with GetTickCount semantics (wraps
// after about 49.7 days; printed signed) and the local wall-clock time.
#ifndef CORVALITH_PLATFORM_CLOCK_H_
#define CORVALITH_PLATFORM_CLOCK_H_

#include <cstdint>
#include <string>

namespace corvalith {

struct LocalTime {
  int year, month, day, hour, minute, second;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t TickCount() = 0;
  virtual LocalTime Now() = 0;
};

// "YYYY-MM-DD HH:MM:SS": the local time as the log and the event log show it.
std::string FormatLocalTime(const LocalTime& time);

// The tick count as the log prints it: a signed 32-bit number, negative after about 24.8 days
// of uptime.
inline int32_t SignedTicks(uint32_t ticks) { return static_cast<int32_t>(ticks); }

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_CLOCK_H_
