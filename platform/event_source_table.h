// The sources registered with an event log, for its implementations: each registration gets
// a new nonzero handle, and a handle that was never registered or was deregistered names no
// source, so that a report through it fails. Thread-safe.
#ifndef CORVALITH_PLATFORM_EVENT_SOURCE_TABLE_H_
#define CORVALITH_PLATFORM_EVENT_SOURCE_TABLE_H_

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/event_log.h"

namespace corvalith {

class EventSourceTable {
 public:
  EventSourceHandle Register(const std::string& source);
  void Deregister(EventSourceHandle handle);
  // The source registered under `handle`; nullopt when there is none.
  std::optional<std::string> Source(EventSourceHandle handle) const;

 private:
  mutable std::mutex mutex_;
  EventSourceHandle next_handle_ = 1;
  std::map<EventSourceHandle, std::string> sources_;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_EVENT_SOURCE_TABLE_H_
