// The system event log, Win32 style: register a source, report entries, deregister.
#ifndef CORVALITH_PLATFORM_EVENT_LOG_H_
#define CORVALITH_PLATFORM_EVENT_LOG_H_

#include <cstdint>
#include <string>
#include <vector>

namespace corvalith {

inline constexpr uint16_t EVENTLOG_ERROR_TYPE = 1;
inline constexpr uint16_t EVENTLOG_WARNING_TYPE = 2;
inline constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;

using EventSourceHandle = uintptr_t;  // 0 is "no handle"

// The source of every entry the component writes, and its syslog ident.
inline constexpr char kEventSourceName[] = "CorvalithFilter";

struct EventLogEntry {
  std::string source;
  uint16_t type = 0;
  uint16_t category = 0;
  uint32_t event_id = 0;
  std::vector<std::string> strings;
  std::vector<uint8_t> data;
};

class EventLog {
 public:
  virtual ~EventLog() = default;
  // RegisterEventSource: a handle, or 0 when the source cannot be registered.
  virtual EventSourceHandle RegisterEventSource(const std::string& source) = 0;
  // ReportEvent: false when the entry could not be written.
  virtual bool ReportEvent(EventSourceHandle handle, uint16_t type, uint16_t category,
                           uint32_t event_id, const std::vector<std::string>& strings,
                           const std::vector<uint8_t>& data) = 0;
  virtual void DeregisterEventSource(EventSourceHandle handle) = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_EVENT_LOG_H_
