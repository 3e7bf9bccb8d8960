#include "provisioning/data_layout.h"

#include "logging/control_characters.h"
#include "platform/failure.h"

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

std::string UserWhiteListPath(const std::string& user_data_path) {
  return user_data_path + kWhiteListSuffix;
}

std::string DomainWhiteListPath(const std::string& domain_directory) {
  return domain_directory + "/" + kDomainWhiteListName + kWhiteListSuffix;
}

std::string ManualTemplatePath(const std::string& data_directory) {
  return data_directory + kManualTemplateName;
}

void CheckPathComponent(const std::string& what, const std::string& name) {
  bool unsafe = name.empty() || name == "." || name == ".." ||
                name.find_first_of("/\\") != std::string::npos || HasControlCharacter(name);
  if (unsafe) {
    throw Failure(
        "Unsafe " + what + " name '" + EscapeControlCharacters(name) + "' in the item URL",
        kErrInvalidProcedureCall);
  }
}

}  // namespace corvalith
