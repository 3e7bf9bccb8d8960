// The host's home directory: the persistent store, the settings, the data directory of the
// component and the event-log copy, in one place an administrator can back up or delete.
//
//   HOME/store.db       the mailbox store, unless store.conf names another
//   HOME/store.conf     written by `init --maildir ROOT`: one line "maildir ROOT", the absolute
//                       directory under which the mailboxes are Maildirs
//                       (ROOT/<domain>/<user>/Maildir, as Dovecot's mail location names them)
//   HOME/registry.reg   the settings (used unless CORVALITH_REGISTRY is set)
//   HOME/data/          the component's data directory (the default constructor string)
//   HOME/events.jsonl   every event-log entry, one JSON object per line
//   HOME/trained.db     what `corvalith train` taught each user's model (training_record.h)
//   HOME/history.db     what the filter did with each delivery and move (history/verdict_history.h)
#ifndef CORVALITH_MAILHOST_HOME_H_
#define CORVALITH_MAILHOST_HOME_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "store/store.h"

namespace corvalith::host {

inline constexpr char kDefaultHome[] = "/var/lib/corvalith";

struct Home {
  std::string directory;

  std::string StorePath() const { return directory + "/store.db"; }
  std::string StoreChoicePath() const { return directory + "/store.conf"; }
  std::string RegistryPath() const { return directory + "/registry.reg"; }
  std::string DataDirectory() const { return directory + "/data"; }
  std::string EventLogPath() const { return directory + "/events.jsonl"; }
  std::string TrainingRecordPath() const { return directory + "/trained.db"; }
  std::string HistoryPath() const { return directory + "/history.db"; }
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

// The Maildir root that store.conf names; nullopt when the home keeps its mail in store.db.
// Throws Failure for a store.conf that is not as init writes it.
std::optional<std::string> MaildirRoot(FileSystem& files, const Home& home);

// Records in store.conf that the home keeps its mailboxes under the Maildir root `root` and
// creates the root's missing directories; answers the paths created. Choosing the root the
// home has already is harmless. Throws Failure, changing nothing, for a root that is not
// absolute or holds a control character, a home whose store.db has mailboxes (they would
// vanish from sight) and a home that has another root.
std::vector<std::string> ChooseMaildirStore(FileSystem& files, const Home& home,
                                            const std::string& root);

// The home's store: the Maildir store under the root store.conf names, else store.db
// (created when missing). Throws Failure.
std::unique_ptr<store::Store> OpenHomeStore(FileSystem& files, const Home& home);

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_HOME_H_
