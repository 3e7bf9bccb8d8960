// The engine's own settings and where its files live. The engine reads one value from its own
// registry key, apart from the filter's settings:
//   [HKEY_LOCAL_MACHINE\Software\Corvalith\Engine] "SiteModel"
//     0  no site model: each user's own database decides alone
//     1  one site model for the whole data directory (the default)
//     2  one site model per mail domain
// A missing, unreadable or other value means the default. docs/settings.md tells the same.
#ifndef CORVALITH_CLASSIFIER_ENGINE_SETTINGS_H_
#define CORVALITH_CLASSIFIER_ENGINE_SETTINGS_H_

#include <string>

#include "classifier/model.h"
#include "platform/registry.h"

namespace corvalith {

enum class SiteScope { kOff, kDataDirectory, kDomain };

struct EngineOptions {
  ModelOptions model;
  // Whole-directory is the default: measured against one model per domain, more users
  // teaching one model made fewer errors (classifier/README.md).
  SiteScope site_scope = SiteScope::kDataDirectory;
};

inline constexpr char kEngineSettingsKey[] = "Software\\Corvalith\\Engine";
inline constexpr char kSiteModelSetting[] = "SiteModel";

// The file's name, in the data directory or in a domain's directory. The blanks make it no
// mail domain's name, so never a domain directory; it ends in none of the suffixes of the
// per-user files (".dat", ".dat.create", ".wlt"), so it is never a user's file either.
inline constexpr char kSiteModelFileName[] = "Corvalith site model";

// The scope "SiteModel" sets; the default when the key or value is missing or not 0, 1, 2.
SiteScope ReadSiteScope(Registry& registry);

// The data directory D of a user's key D + domain + "/" + user + ".dat", ending in its
// separator; empty when the key names no directory above the domain's.
std::string DataDirectoryOfKey(const std::string& key);

// The site model's path for a user's key D + domain + "/" + user + ".dat": D + the file name,
// or D + domain + "/" + the file name. Empty when the scope is off or the key names no
// domain directory.
std::string SiteModelPath(const std::string& key, SiteScope scope);

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_ENGINE_SETTINGS_H_
