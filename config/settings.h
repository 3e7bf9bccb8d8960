// The Settings module: the component's settings read straight from the registry key
// HKEY_LOCAL_MACHINE\Software\Corvalith. Nothing here logs or fails: whatever goes wrong
// ends as "no value", because a missing setting is an ordinary state, not an error.
#ifndef CORVALITH_CONFIG_SETTINGS_H_
#define CORVALITH_CONFIG_SETTINGS_H_

#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "platform/variant.h"

namespace corvalith::Settings {

inline constexpr char kSettingsKey[] = "Software\\Corvalith";

// The setting's value: a 32-bit integer for a REG_DWORD, a string for a REG_SZ, empty when
// the key or value is missing, of another type, or unreadable.
Variant GetRegistrySetting(Registry& registry, const std::string& name);

// Reads one value of an open key into `value`: 0 on success, the registry's status, or -1
// for a type other than REG_SZ and REG_DWORD (then `value` is left as it was).
int32_t QueryRegistryValue(const RegistryKey& key, const std::string& name, Variant* value);

}  // namespace corvalith::Settings

#endif  // CORVALITH_CONFIG_SETTINGS_H_
