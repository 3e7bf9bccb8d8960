// Delivery of the user manual: a message item "Corvalith_Manual.eml" in the folder where a new
// user's mail arrives, its content the template's bytes unchanged, marked as an unread
// received note. A second delivery replaces the first, so a folder holds one manual at most.
#ifndef CORVALITH_PROVISIONING_USER_MANUAL_H_
#define CORVALITH_PROVISIONING_USER_MANUAL_H_

#include <string>

#include "logging/logger.h"
#include "store/record.h"

namespace corvalith {

inline constexpr char kMessageClassNote[] = "IPM.Note";
// Neither read (1) nor unsent (8): shows as an unread received message.
inline constexpr int16_t kManualMessageFlags = 2;

// Stop-and-log: a failure writes "Creation of user manual failed: " with the folder URL.
void CreateUserManual(store::Connection& connection, const std::string& folder_url,
                      const std::string& data_directory, Logger& logger);

}  // namespace corvalith

#endif  // CORVALITH_PROVISIONING_USER_MANUAL_H_
