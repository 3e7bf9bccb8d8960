#include "config/shared_settings.h"

#include <map>
#include <mutex>

#include "config/settings.h"
#include "logging/control_characters.h"
#include "platform/failure_styles.h"
#include "platform/no_destructor.h"

namespace corvalith {
namespace {

// The first lookup of a name creates its property and only then reads the registry; a caller
// arriving in between would find the property and answer its still empty value. Every lookup
// therefore holds the name's lock from creation until the value is stored: create-and-load is
// one step. One lock per name, so that loading one setting never waits for another.
std::mutex& LoadingLock(const std::string& name) {
  static NoDestructor<std::mutex> locks_mutex;
  static NoDestructor<std::map<std::string, std::mutex>> locks;
  std::lock_guard lock(*locks_mutex);
  return (*locks)[name];
}

}  // namespace

Variant LookUpSharedSetting(SharedPropertyManager& properties, Registry& registry, Logger& logger,
                            const std::string& name) {
  Variant result = Variant::Int16(0);
  StopAndLog(
      [&] {
        bool group_existed = false;
        SharedPropertyGroup& group =
            properties.CreatePropertyGroup(kSettingsGroup, LockSetGet, Process, &group_existed);
        Variant v;
        {
          std::lock_guard loading(LoadingLock(name));
          bool existed = false;
          SharedProperty& property = group.CreateProperty(name, &existed);
          if (existed) {
            result = property.Value();
            return;
          }
          v = Settings::GetRegistrySetting(registry, name);
          if (v.DiffersFromEmpty()) {
            property.SetValue(v);
            result = v;
          }
        }
        // Outside the lock: the other callers wait for the value, not for the log file.
        if (logger.debug_level() != 0) {
          logger.Log("Loading " + name + " (" +
                     (v.DiffersFromEmpty() ? EscapeControlCharacters(v.ToString()) : "NOT SET") +
                     ") from registry.");
        }
      },
      [&](const Failure& failure) {
        logger.Log_Err("Get Settings for " + name + " failed: " + failure.description(),
                       failure.number(), "");
      });
  return result;
}

}  // namespace corvalith
