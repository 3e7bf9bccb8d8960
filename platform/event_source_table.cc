#include "platform/event_source_table.h"

namespace corvalith {

EventSourceHandle EventSourceTable::Register(const std::string& source) {
  std::lock_guard lock(mutex_);
  const EventSourceHandle handle = next_handle_++;
  sources_[handle] = source;
  return handle;
}

void EventSourceTable::Deregister(EventSourceHandle handle) {
  std::lock_guard lock(mutex_);
  sources_.erase(handle);
}

std::optional<std::string> EventSourceTable::Source(EventSourceHandle handle) const {
  std::lock_guard lock(mutex_);
  auto it = sources_.find(handle);
  if (it == sources_.end()) return std::nullopt;
  return it->second;
}

}  // namespace corvalith
