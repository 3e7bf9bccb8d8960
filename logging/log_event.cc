#include "logging/log_event.h"

#include <vector>

namespace corvalith::LogEvent {

void WriteEventLog(EventLog& event_log, const std::string& message, int16_t type,
                   int32_t event_id) {
  EventSourceHandle handle = event_log.RegisterEventSource(kEventSourceName);
  std::vector<uint8_t> data(message.size() + 1, 0);
  std::copy(message.begin(), message.end(), data.begin());
  event_log.ReportEvent(handle, static_cast<uint16_t>(type), 0, static_cast<uint32_t>(event_id),
                        {message}, data);
  event_log.DeregisterEventSource(handle);
}

}  // namespace corvalith::LogEvent
