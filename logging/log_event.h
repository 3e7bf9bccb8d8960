// The LogEvent module: milestones for the system event log, under the component's name
// (kEventSourceName).
#ifndef CORVALITH_LOGGING_LOG_EVENT_H_
#define CORVALITH_LOGGING_LOG_EVENT_H_

#include <cstdint>
#include <string>

#include "platform/event_log.h"

namespace corvalith {

// The component's event ids besides 0 (a new domain's directory, information) and
// kRegistryFileEventId (1, platform/posix_environment.h):
// the host found that the filter cannot write its log or its data directory (error);
inline constexpr int32_t kFilterCannotWorkEventId = 2;
// the engine could not use the site model (error).
inline constexpr int32_t kSiteModelUnusableEventId = 3;

}  // namespace corvalith

namespace corvalith::LogEvent {

// Writes one entry whose only insertion string is the message and whose binary data is the
// message with its terminating zero. Registers and deregisters the source on every call.
// Whether the source could be registered or the entry written is not tested: the event log
// is a courtesy to the administrator and must never hold up a save.
void WriteEventLog(EventLog& event_log, const std::string& message, int16_t type, int32_t event_id);

}  // namespace corvalith::LogEvent

#endif  // CORVALITH_LOGGING_LOG_EVENT_H_
