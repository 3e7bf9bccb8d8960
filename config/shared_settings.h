// The process-wide settings cache: every setting is read from the registry once per process,
// at its first lookup, and answered from the shared property group "SPGCorvalith" ever after.
// A registry change therefore needs a restart of the host process, on purpose: the store
// calls the filter on every save and must not pay for a registry read each time.
#ifndef CORVALITH_CONFIG_SHARED_SETTINGS_H_
#define CORVALITH_CONFIG_SHARED_SETTINGS_H_

#include <string>

#include "logging/logger.h"
#include "platform/registry.h"
#include "platform/shared_properties.h"
#include "platform/variant.h"

namespace corvalith {

inline constexpr char kSettingsGroup[] = "SPGCorvalith";

// Setting names.
inline constexpr char kDebugLevel[] = "DebugLevel";
inline constexpr char kHideSpam[] = "HideSpam";
inline constexpr char kProviderMode[] = "ProviderMode";
inline constexpr char kUseJunkMailFolder[] = "UseJunkMailFolder";
inline constexpr char kUseWhiteList[] = "UseWhiteList";
inline constexpr char kAutoWhiteList[] = "AutoWhiteList";

// The body of GetSharedProp: the cached value of a setting, loading it on its first lookup
// with a loading line when the logger's DebugLevel is not 0. Stop-and-log: a failure writes
// "Get Settings for <name> failed: ..." and answers what the result held at that point.
// Lookups of a name that arrive while its first lookup is loading it wait for that value.
Variant LookUpSharedSetting(SharedPropertyManager& properties, Registry& registry, Logger& logger,
                            const std::string& name);

}  // namespace corvalith

#endif  // CORVALITH_CONFIG_SHARED_SETTINGS_H_
