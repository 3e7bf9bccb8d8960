// The values of one save event, from the handler's first step to its return. Nothing in it
// outlives the call: the filter remembers nothing between events but its DebugLevel.
#ifndef CORVALITH_SINK_EVENT_CONTEXT_H_
#define CORVALITH_SINK_EVENT_CONTEXT_H_

#include <cstdint>
#include <string>

#include "engine/classifier_engine.h"
#include "provisioning/user_init.h"
#include "sink/save_outcome.h"
#include "store/event_info.h"

namespace corvalith {

enum class EventKind { kNewMail, kUserMove };

struct EventContext {
  EventKind kind = EventKind::kNewMail;
  std::string summary;
  uint32_t start_tick = 0;
  std::string item_url;
  int32_t flags = 0;

  // Settings snapshot (DebugLevel lives on the instance).
  int32_t hide_spam = 0;
  int32_t provider_mode = 0;
  int32_t use_white_list = 0;
  int32_t auto_white_list = 0;

  IExStoreDispEventInfo* event_info = nullptr;
  store::Record* event_record = nullptr;

  std::string domain;
  std::string user;
  std::string item_name;
  std::string spam_folder_url;
  std::string junk_folder_url;
  bool junk_folder_found = false;
  UserPaths paths;
  // Admitted in provider mode on the creation marker alone.
  bool user_announced = false;
  bool spam_folder_missing = false;
  bool trusted = false;
  std::string sender_address;

  // What the host is told about the event, whatever the DebugLevel.
  SaveOutcome outcome;

  // Created on first use in the event, released with the context.
  ComPtr<IClassifierEngine> engine;

  // The event's connection, read afresh from the event information at every use.
  store::Connection& EventConnection() { return event_info->EventConnection(); }
  store::Record& record() { return *event_record; }
};

}  // namespace corvalith

#endif  // CORVALITH_SINK_EVENT_CONTEXT_H_
