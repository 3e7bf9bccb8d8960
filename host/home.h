// The host's home directory: the persistent store, the settings, the data directory of the
// component and the event-log copy, in one place an administrator can back up or delete.
//
//   HOME/store.db       the mailbox store
//   HOME/registry.reg   the settings (used unless CORVALITH_REGISTRY is set)
//   HOME/data/          the component's data directory (the default constructor string)
//   HOME/events.jsonl   every event-log entry, one JSON object per line
#ifndef CORVALITH_HOST_HOME_H_
#define CORVALITH_HOST_HOME_H_

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace corvalith::host {

inline constexpr char kDefaultHome[] = "/var/lib/corvalith";

struct Home {
  std::string directory;

  std::string StorePath() const { return directory + "/store.db"; }
  std::string RegistryPath() const { return directory + "/registry.reg"; }
  std::string DataDirectory() const { return directory + "/data"; }
  std::string EventLogPath() const { return directory + "/events.jsonl"; }
};

// The home named by --home (when not empty), else $CORVALITH_HOME, else the default.
Home ResolveHome(const std::string& flag);

// Points the platform at the home's registry (unless CORVALITH_REGISTRY is already set) and
// event-log file. Must run before the first use of the process's environment, which reads
// both variables once.
void UseHomeEnvironment(const Home& home);

// Creates what is missing of the home: the directories, the default registry (the file
// `cmake --install` installs) and the manual template. Never overwrites a file, so an
// administrator's edits survive a second init. Answers the paths created. Throws Failure.
// (The store file is created by whoever opens the store first.)
std::vector<std::string> CreateHomeFiles(FileSystem& files, const Home& home);

// Throws Failure with the advice to run `corvalith init` when the home has no store.
void RequireHome(FileSystem& files, const Home& home);

}  // namespace corvalith::host

#endif  // CORVALITH_HOST_HOME_H_
