#include "provisioning/user_init.h"

#include <cerrno>

#include "logging/log_event.h"
#include "mailbox_ops/filter_operations.h"
#include "provisioning/data_layout.h"
#include "provisioning/user_manual.h"

namespace corvalith {

Admission PrepareDomainAndUser(FileSystem& files, EventLog& event_log, Logger& logger,
                               const std::string& domain, const UserPaths& paths,
                               int32_t provider_mode, bool new_mail_event, std::string* summary) {
  if (!files.CreateDirectory(paths.domain_directory)) {
    int error = files.LastError();
    if (error != EEXIST && logger.debug_level() != 0) {
      logger.Log("ERROR while checking " + paths.domain_directory +
                 " ,LastDllErr Code: " + std::to_string(error));
    }
  } else {
    if (logger.debug_level() != 0) *summary += " (Create User/Domain)";
    LogEvent::WriteEventLog(event_log,
                            "Database for Exchange Domain " + domain + " successfully created.",
                            EVENTLOG_INFORMATION_TYPE, 0);
  }

  if (provider_mode == 0 || files.Exists(paths.user_data_path)) return Admission::kAdmitted;
  if (!files.Exists(CreationMarkerPath(paths.user_data_path))) return Admission::kRefused;
  if (new_mail_event && logger.debug_level() != 0) {
    logger.Log("New user found, initialize database " + paths.user_data_path);
  }
  return Admission::kAnnounced;
}

void RetireCreationMarker(FileSystem& files, Logger& logger, const UserPaths& paths) {
  if (!files.Exists(paths.user_data_path)) return;
  std::string marker = CreationMarkerPath(paths.user_data_path);
  if (!files.DeleteFile(marker) && logger.debug_level() != 0) {
    logger.Log("Cannot delete " + marker +
               " ,LastDllErr Code: " + std::to_string(files.LastError()));
  }
}

void DeliverManualToNewUser(FileSystem& files, Logger& logger, const UserPaths& paths,
                            const std::string& item_url, const std::string& data_directory,
                            const std::function<store::Connection&()>& event_connection) {
  if (files.Exists(paths.user_data_path)) return;
  if (logger.debug_level() != 0) {
    logger.Log("dat file does not exist, create the manual for the user.");
  }
  store::Connection& connection = event_connection();
  std::string folder_url = GetInbox(item_url, logger);
  CreateUserManual(files, connection, folder_url, data_directory, logger);
}

}  // namespace corvalith
