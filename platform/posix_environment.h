// The POSIX implementations of the platform services. Production code reaches them through
// DefaultEnvironment() (environment.h); they are declared here so that tests can point them at
// a temporary directory, and so that a host can build an environment of its own.
#ifndef CORVALITH_PLATFORM_POSIX_ENVIRONMENT_H_
#define CORVALITH_PLATFORM_POSIX_ENVIRONMENT_H_

#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/event_log.h"
#include "platform/event_source_table.h"
#include "platform/file_system.h"
#include "platform/registry.h"

namespace corvalith {

// The real file system. Thread-safe; LastError() is per thread, like errno.
class PosixFileSystem : public FileSystem {
 public:
  bool CreateDirectory(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  int LastError() const override;
  FileKind KindOf(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& path) override;
  std::string RealPath(const std::string& path) override;
  void AppendText(const std::string& path, const std::string& text) override;
  bool WriteNewFile(const std::string& path, const std::string& bytes) override;
  std::string ReadFile(const std::string& path, size_t max_bytes) override;
};

// CLOCK_BOOTTIME in milliseconds (time in suspend counts, as it does for GetTickCount),
// truncated to 32 bits; and localtime_r of the present time. Thread-safe.
class PosixClock : public Clock {
 public:
  uint32_t TickCount() override;
  LocalTime Now() override;
};

// The registry as a `.reg` file, read afresh at each OpenKey so that an edit by the
// administrator or by self-registration is seen without a restart of the reader. Only
// HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT exist. A missing or unparsable file is a missing
// key (ERROR_FILE_NOT_FOUND); a file we may not read answers ERROR_ACCESS_DENIED.
//
// A file that exists but is not read in full (RegistryFileProblem) would silently leave every
// setting unset, so it is reported to `problems`, when given: one warning entry per process
// (see ReportRegistryFileProblem), not one per lookup. Thread-safe.
class FileRegistry : public Registry {
 public:
  // `path` empty: RegistryFilePath() at each OpenKey. `problems` must outlive the registry.
  explicit FileRegistry(std::string path = "", EventLog* problems = nullptr)
      : path_(std::move(path)), problems_(problems) {}
  int32_t OpenKey(RegistryRoot root, const std::string& subkey,
                  std::unique_ptr<RegistryKey>* key) override;

 private:
  const std::string path_;
  EventLog* const problems_;
};

// The event id of the registry file warning; 0 is the information entry of a new domain.
inline constexpr uint32_t kRegistryFileEventId = 1;

// Writes the warning entry "Registry file not read in full: " + problem under the source
// "CorvalithFilter", the first time it is called in the process; later calls do nothing.
void ReportRegistryFileProblem(EventLog& event_log, const std::string& problem);

// syslog (ident "CorvalithFilter", facility mail) plus, when a path is configured, one JSON
// object per entry appended to that file. The JSON file keeps every field, which syslog cannot
// (category, event id, binary data), for hosts and tests that inspect the entries.
// Thread-safe.
class PosixEventLog : public EventLog {
 public:
  struct Options {
    bool use_syslog = true;
    // nullopt: $CORVALITH_EVENT_LOG at each report (no JSON file when unset or empty).
    std::optional<std::string> json_path;
  };
  // `clock` stamps the JSON entries and must outlive the log.
  PosixEventLog(Clock& clock, Options options);

  EventSourceHandle RegisterEventSource(const std::string& source) override;
  bool ReportEvent(EventSourceHandle handle, uint16_t type, uint16_t category, uint32_t event_id,
                   const std::vector<std::string>& strings,
                   const std::vector<uint8_t>& data) override;
  void DeregisterEventSource(EventSourceHandle handle) override;

 private:
  Clock& clock_;
  const Options options_;
  EventSourceTable sources_;
};

// The syslog priority for an event type: error, warning, information, else notice.
int SyslogPriority(uint16_t type);

// One event-log entry as the JSON line written to the event-log file, without the line end.
std::string EventLogJsonLine(const LocalTime& time, const EventLogEntry& entry);

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_POSIX_ENVIRONMENT_H_
