#include "provisioning/data_layout.h"

#include "platform/failure.h"
#include "whitelist/whitelist.h"

namespace corvalith {

std::string DomainDirectory(const std::string& data_directory, const std::string& domain) {
  return data_directory + domain;
}

std::string UserDataPath(const std::string& data_directory, const std::string& domain,
                         const std::string& user) {
  return DomainDirectory(data_directory, domain) + "/" + user + kUserDataSuffix;
}

std::string CreationMarkerPath(const std::string& user_data_path) {
  return user_data_path + kCreationMarkerSuffix;
}

std::string DomainWhiteListBase(const std::string& domain_directory) {
  return domain_directory + "/" + kDomainWhiteListName;
}

std::string ManualTemplatePath(const std::string& data_directory) {
  return data_directory + kManualTemplateName;
}

void CheckPathComponent(const std::string& what, const std::string& name) {
  bool unsafe = name.empty() || name == "." || name == ".." ||
                name.find_first_of(std::string("/\\\0", 3)) != std::string::npos;
  if (unsafe) {
    std::string shown;
    for (char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    throw Failure("Unsafe " + what + " name '" + shown + "' in the item URL",
                  kErrInvalidProcedureCall);
  }
}

}  // namespace corvalith
