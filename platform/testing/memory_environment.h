// In-memory platform services for tests, each able to fail on request so that the error paths
// of the code under test run. Every class is thread-safe (tests drive them from threads too).
#ifndef CORVALITH_PLATFORM_TESTING_MEMORY_ENVIRONMENT_H_
#define CORVALITH_PLATFORM_TESTING_MEMORY_ENVIRONMENT_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/event_source_table.h"
#include "platform/failure.h"
#include "platform/posix_environment.h"
#include "platform/shared_property_table.h"

namespace corvalith::testing {

// A file tree with POSIX semantics. "/" exists; a relative path lives in the current
// directory "", which exists too. Paths are compared after dropping repeated and trailing
// slashes ("/data/d/" is "/data/d"), as the kernel resolves them.
class MemoryFileSystem : public FileSystem {
 public:
  MemoryFileSystem();

  // Set-up and inspection; none of these counts as a call or fails.
  void AddDirectory(const std::string& path);                          // creates parents too
  void WriteFile(const std::string& path, std::string content);        // creates parents too
  std::optional<std::string> Contents(const std::string& path) const;  // nullopt: no file
  bool IsDirectory(const std::string& path) const;
  std::vector<std::string> Paths() const;  // every file and directory but "/" and "", sorted

  // Every later call on exactly this path fails with `err` (0 stops failing):
  // CreateDirectory, Exists and DeleteFile return false with LastError() = err; KindOf answers
  // kMissing; the other calls throw Failure::FromErrno(path, err).
  void FailPath(const std::string& path, int err);
  // How many FileSystem calls named the path.
  int calls(const std::string& path) const;

  // CreateDirectory fails ENOENT without the parent, ENOTDIR when the parent is a file and
  // EEXIST when anything exists. AppendText fails ENOENT without the parent directory and
  // EISDIR on a directory. DeleteFile fails ENOENT when missing, EISDIR on a directory. There
  // are no links, devices or pipes, and no working directory: RealPath leaves a relative path
  // relative.
  bool CreateDirectory(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  int LastError() const override;  // per thread, like errno
  FileKind KindOf(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& path) override;
  std::string RealPath(const std::string& path) override;
  void AppendText(const std::string& path, const std::string& text) override;
  bool WriteNewFile(const std::string& path, const std::string& bytes) override;
  std::string ReadFile(const std::string& path, size_t max_bytes) override;

 private:
  struct Node {
    bool directory = false;
    std::string content;
  };
  // Counts the call and answers the injected error for the path, 0 when none. Locked.
  int Touch(const std::string& path);
  // 0 when the parent of `path` is a directory, else the errno a POSIX call would give.
  int ParentError(const std::string& path) const;
  void AddDirectoryLocked(const std::string& path);
  const std::string& ReadLocked(const std::string& path, size_t max_bytes);  // throws

  mutable std::mutex mutex_;
  std::map<std::string, Node> nodes_;
  std::map<std::string, int> failures_;
  std::map<std::string, int> calls_;
};

// The settings key HKEY_LOCAL_MACHINE\Software\Corvalith and nothing else. The key exists from
// the start (empty), as an installed component's would; RemoveKey() takes it away and the next
// SetValue brings it back. Key and value names compare case-insensitively.
class MemoryRegistry : public Registry {
 public:
  static constexpr char kSettingsKey[] = "Software\\Corvalith";

  void SetValue(const std::string& name, uint32_t type, std::vector<uint8_t> data);
  void SetDword(const std::string& name, uint32_t value);
  void SetString(const std::string& name, const std::string& value);  // REG_SZ, zero-terminated
  void RemoveValue(const std::string& name);
  void RemoveKey();
  // OpenKey answers `status` from now on (ERROR_SUCCESS stops failing).
  void FailOpen(int32_t status);
  int open_count() const;
  int query_count() const;

  // Opening takes a snapshot of the values, as a key read from a file would.
  int32_t OpenKey(RegistryRoot root, const std::string& subkey,
                  std::unique_ptr<RegistryKey>* key) override;

 private:
  using Values = std::map<std::string, std::pair<uint32_t, std::vector<uint8_t>>>;
  class Key;

  mutable std::mutex mutex_;
  bool key_exists_ = true;
  Values values_;  // by lower-case name
  int32_t open_status_ = 0;
  int open_count_ = 0;
  std::shared_ptr<std::atomic<int>> query_count_ =
      std::make_shared<std::atomic<int>>(0);  // shared with the open keys
};

class MemorySharedPropertyManager : public SharedPropertyManager {
 public:
  // CreatePropertyGroup throws `failure` from now on (nullopt stops failing).
  void FailWith(std::optional<Failure> failure);
  // The property's value without creating anything; nullopt when there is no such property.
  std::optional<Variant> Peek(const std::string& group, const std::string& name) const;

  SharedPropertyGroup& CreatePropertyGroup(const std::string& name, int32_t isolation,
                                           int32_t release, bool* existed) override;

 private:
  mutable std::mutex mutex_;
  std::optional<Failure> failure_;
  SharedPropertyTable table_;
};

// Records every reported entry. Handles are nonzero; a report through a handle that was never
// registered (or was deregistered) fails.
class MemoryEventLog : public EventLog {
 public:
  std::vector<EventLogEntry> entries() const;
  int registrations() const;     // successful RegisterEventSource calls
  int deregistrations() const;   // DeregisterEventSource calls
  void FailRegister(bool fail);  // RegisterEventSource answers 0 while set

  EventSourceHandle RegisterEventSource(const std::string& source) override;
  bool ReportEvent(EventSourceHandle handle, uint16_t type, uint16_t category, uint32_t event_id,
                   const std::vector<std::string>& strings,
                   const std::vector<uint8_t>& data) override;
  void DeregisterEventSource(EventSourceHandle handle) override;

 private:
  mutable std::mutex mutex_;
  std::vector<EventLogEntry> entries_;
  EventSourceTable sources_;
  int registrations_ = 0;
  int deregistrations_ = 0;
  bool fail_register_ = false;
};

// Starts at tick 1000 and 2026-01-02 03:04:05.
class ManualClock : public Clock {
 public:
  void SetTicks(uint32_t ticks);
  void SetNow(LocalTime now);
  // Every TickCount() returns the current value, then adds `step` (wrapping at 32 bits).
  void AdvanceOnRead(uint32_t step);
  int tick_reads() const;

  uint32_t TickCount() override;
  LocalTime Now() override;

 private:
  mutable std::mutex mutex_;
  uint32_t ticks_ = 1000;
  uint32_t step_ = 0;
  int tick_reads_ = 0;
  LocalTime now_{2026, 1, 2, 3, 4, 5};
};

// An environment whose parts are public members; the overrides return them. The settings,
// shared properties and event log are always the doubles above, so that a test controls them.
template <class Files, class TestClock>
class TestEnvironment : public Environment {
 public:
  Files files;
  MemoryRegistry registry_;
  MemorySharedPropertyManager properties;
  MemoryEventLog events;
  TestClock clock_;
  ClassTable classes;

  Registry& registry() override { return registry_; }
  SharedPropertyManager& shared_properties() override { return properties; }
  EventLog& event_log() override { return events; }
  FileSystem& file_system() override { return files; }
  Clock& clock() override { return clock_; }
  ObjectFactory& objects() override { return classes; }
};

// Everything in memory.
using MemoryEnvironment = TestEnvironment<MemoryFileSystem, ManualClock>;

// The real file system and clocks: for end-to-end tests and benchmarks that work on real
// files. Register the classes the test needs in `classes`.
using DiskEnvironment = TestEnvironment<PosixFileSystem, PosixClock>;

}  // namespace corvalith::testing

#endif  // CORVALITH_PLATFORM_TESTING_MEMORY_ENVIRONMENT_H_
