// Delivery of the user manual: a message item "Corvalith_Manual.eml" in the folder where a new
// user's mail arrives, its content the template's bytes unchanged, marked as an unread
// received note. A second delivery replaces the first, so a folder holds one manual at most.
#ifndef CORVALITH_PROVISIONING_USER_MANUAL_H_
#define CORVALITH_PROVISIONING_USER_MANUAL_H_

#include <string>

#include "logging/logger.h"
#include "platform/file_system.h"
#include "store/record.h"

namespace corvalith {

// Neither read (1) nor unsent (8): shows as an unread received message.
inline constexpr int16_t kManualMessageFlags = 2;
// The template is a file anyone with access to the data directory can replace; a manual is
// a few kilobytes, and every new user's mail would copy a larger file into the store.
inline constexpr size_t kMaxManualTemplateBytes = 1 << 20;

// Stop-and-log: a failure writes "Creation of user manual failed: " with the folder URL. The
// template is read before the item is touched, so a missing, unreadable or oversized
// template leaves the folder as it was, an earlier manual included.
void CreateUserManual(FileSystem& files, store::Connection& connection,
                      const std::string& folder_url, const std::string& data_directory,
                      Logger& logger);

}  // namespace corvalith

#endif  // CORVALITH_PROVISIONING_USER_MANUAL_H_
