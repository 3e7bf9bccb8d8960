// What the save pipeline does with the data layout: keep one directory per mail domain
// (announcing each new one in the event log), admit users in provider mode, and hand a new
// user the manual. None of the file calls here ends an event; only a failing log does.
#ifndef CORVALITH_PROVISIONING_USER_INIT_H_
#define CORVALITH_PROVISIONING_USER_INIT_H_

#include <functional>
#include <string>

#include "logging/logger.h"
#include "platform/event_log.h"
#include "platform/file_system.h"
#include "store/record.h"

namespace corvalith {

struct UserPaths {
  std::string domain_directory;
  std::string user_data_path;
};

enum class Admission {
  kRefused,    // provider mode: neither data file nor creation marker; the event ends
  kAdmitted,   // provider mode off, or a known user
  kAnnounced,  // provider mode: admitted on the creation marker alone
};

// Creates the domain directory when missing (appending " (Create User/Domain)" to the summary
// and writing the event-log entry) and, when provider_mode is not 0, decides admission. A new
// mail of an announced user logs "New user found"; the marker stays until
// RetireCreationMarker, so that an event that fails before the engine has created the data
// file does not lose the announcement and lock the user out for good.
Admission PrepareDomainAndUser(FileSystem& files, EventLog& event_log, Logger& logger,
                               const std::string& domain, const UserPaths& paths,
                               int32_t provider_mode, bool new_mail_event, std::string* summary);

// Deletes an announced user's creation marker once the user's data file exists; while it
// does not, the announcement stands for the next mail. Only new-mail classification calls
// it, after the engine call: a user move stores nothing for the user.
void RetireCreationMarker(FileSystem& files, Logger& logger, const UserPaths& paths);

// A user without a data file gets the manual in the folder the new mail arrives in; the
// connection is asked for only then.
void DeliverManualToNewUser(FileSystem& files, Logger& logger, const UserPaths& paths,
                            const std::string& item_url, const std::string& data_directory,
                            const std::function<store::Connection&()>& event_connection);

}  // namespace corvalith

#endif  // CORVALITH_PROVISIONING_USER_INIT_H_
