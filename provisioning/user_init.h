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

// Creates the domain directory when missing (appending " (Create User/Domain)" to the summary
// and writing the event-log entry) and, when provider_mode is not 0, decides admission:
// a user with a data file is admitted; a user with neither data file nor creation marker is
// refused (answers false); an announced user is admitted, and in a new-mail event, which goes
// on to create the data file, the marker is deleted. A user-move event keeps the marker, so
// that the announcement is not lost before the user's first mail.
bool PrepareDomainAndUser(FileSystem& files, EventLog& event_log, Logger& logger,
                          const std::string& domain, const UserPaths& paths, int32_t provider_mode,
                          bool new_mail_event, std::string* summary);

// A user without a data file gets the manual in the folder the new mail arrives in; the
// connection is asked for only then.
void DeliverManualToNewUser(FileSystem& files, Logger& logger, const UserPaths& paths,
                            const std::string& item_url, const std::string& data_directory,
                            const std::function<store::Connection&()>& event_connection);

}  // namespace corvalith

#endif  // CORVALITH_PROVISIONING_USER_INIT_H_
