// Every platform service the filter uses, behind one object handed to each filter instance.
// Production code uses the POSIX environment; tests build their own from in-memory parts.
#ifndef CORVALITH_PLATFORM_ENVIRONMENT_H_
#define CORVALITH_PLATFORM_ENVIRONMENT_H_

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/registry.h"
#include "platform/shared_properties.h"

namespace corvalith {

class Environment {
 public:
  virtual ~Environment() = default;
  virtual Registry& registry() = 0;
  virtual SharedPropertyManager& shared_properties() = 0;
  virtual EventLog& event_log() = 0;
  virtual FileSystem& file_system() = 0;
  virtual Clock& clock() = 0;
  virtual ObjectFactory& objects() = 0;
};

// The process's POSIX environment: registry file from CORVALITH_REGISTRY (default
// /etc/corvalith/registry.reg), the process-wide shared property manager, syslog (plus the
// JSON-lines file named by CORVALITH_EVENT_LOG, when set), the real file system and clocks.
// Created on first use and never destroyed.
Environment& DefaultEnvironment();

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_ENVIRONMENT_H_
