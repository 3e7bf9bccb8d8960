// Every path in the data directory, built in one place. D is the data directory (it ends
// with the separator); domain and user come from the item URL.
//
//   D + domain                         the domain directory
//   D + domain/user.dat                the user's data file (the engine's database); its
//                                      existence marks a known user
//   D + domain/user.dat.create         creation marker: announces a user in provider mode
//   D + domain/user.dat.wlt            the user's whitelist
//   D + domain/global.wlt              the domain whitelist
//   D + cvusrmnl.sys                   the user-manual template
//   D + Corvalith.log                  the log file
#ifndef CORVALITH_PROVISIONING_DATA_LAYOUT_H_
#define CORVALITH_PROVISIONING_DATA_LAYOUT_H_

#include <string>

namespace corvalith {

inline constexpr char kManualTemplateName[] = "cvusrmnl.sys";
inline constexpr char kUserDataSuffix[] = ".dat";
inline constexpr char kCreationMarkerSuffix[] = ".create";
inline constexpr char kWhiteListSuffix[] = ".wlt";
inline constexpr char kDomainWhiteListName[] = "global";

std::string DomainDirectory(const std::string& data_directory, const std::string& domain);
std::string UserDataPath(const std::string& data_directory, const std::string& domain,
                         const std::string& user);
std::string CreationMarkerPath(const std::string& user_data_path);
std::string UserWhiteListPath(const std::string& user_data_path);
std::string DomainWhiteListPath(const std::string& domain_directory);
std::string ManualTemplatePath(const std::string& data_directory);

// Throws Failure naming the name (its control characters escaped) when a domain or user
// taken from a URL could not safely be part of a path or a log record: empty, "." or "..",
// or holding "/", "\" or a control character (NUL, CR, LF, ...).
void CheckPathComponent(const std::string& what, const std::string& name);

}  // namespace corvalith

#endif  // CORVALITH_PROVISIONING_DATA_LAYOUT_H_
