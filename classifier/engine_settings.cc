#include "classifier/engine_settings.h"

#include <memory>

#include "config/settings.h"
#include "platform/failure.h"

namespace corvalith {

SiteScope ReadSiteScope(Registry& registry) {
  std::unique_ptr<RegistryKey> key;
  if (registry.OpenKey(RegistryRoot::kLocalMachine, kEngineSettingsKey, &key) != ERROR_SUCCESS) {
    return EngineOptions().site_scope;
  }
  Variant value;
  if (Settings::QueryRegistryValue(*key, kSiteModelSetting, &value) != 0) {
    return EngineOptions().site_scope;
  }
  int32_t number = -1;
  try {
    number = value.ToInt32();
  } catch (const Failure&) {
    // Text that is no number: the default, like a missing value.
  }
  switch (number) {
    case 0:
      return SiteScope::kOff;
    case 1:
      return SiteScope::kDataDirectory;
    case 2:
      return SiteScope::kDomain;
    default:
      return EngineOptions().site_scope;
  }
}

std::string DataDirectoryOfKey(const std::string& key) {
  const size_t user_slash = key.rfind('/');
  if (user_slash == std::string::npos || user_slash == 0) return {};
  // D ends with "/" or is empty: the domain directory is whatever follows it.
  const size_t domain_slash = key.rfind('/', user_slash - 1);
  return domain_slash == std::string::npos ? std::string() : key.substr(0, domain_slash + 1);
}

std::string SiteModelPath(const std::string& key, SiteScope scope) {
  if (scope == SiteScope::kOff) return {};
  const size_t user_slash = key.rfind('/');
  if (user_slash == std::string::npos) return {};
  if (scope == SiteScope::kDomain) return key.substr(0, user_slash + 1) + kSiteModelFileName;
  return DataDirectoryOfKey(key) + kSiteModelFileName;
}

}  // namespace corvalith
