#include "config/shared_settings.h"

#include "config/settings.h"
#include "platform/failure_styles.h"

namespace corvalith {

Variant LookUpSharedSetting(SharedPropertyManager& properties, Registry& registry, Logger& logger,
                            const std::string& name) {
  Variant result = Variant::Int16(0);
  StopAndLog(
      [&] {
        bool group_existed = false;
        SharedPropertyGroup& group =
            properties.CreatePropertyGroup(kSettingsGroup, LockSetGet, Process, &group_existed);
        bool existed = false;
        SharedProperty& property = group.CreateProperty(name, &existed);
        if (existed) {
          result = property.Value();
          return;
        }
        Variant v = Settings::GetRegistrySetting(registry, name);
        if (v.DiffersFromEmpty()) {
          property.SetValue(v);
          result = v;
          if (logger.debug_level() != 0) {
            logger.Log("Loading " + name + " (" + v.ToString() + ") from registry.");
          }
        } else if (logger.debug_level() != 0) {
          logger.Log("Loading " + name + " (NOT SET) from registry.");
        }
      },
      [&](const Failure& failure) {
        logger.Log_Err("Get Settings for " + name + " failed: " + failure.description(),
                       failure.number(), "");
      });
  return result;
}

}  // namespace corvalith
