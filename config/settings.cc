#include "config/settings.h"

#include <cstring>
#include <vector>

#include "platform/failure.h"
#include "platform/failure_styles.h"

namespace corvalith::Settings {

int32_t QueryRegistryValue(const RegistryKey& key, const std::string& name, Variant* value) {
  int32_t status = 0;
  StopAndLog(
      [&] {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        status = key.QueryValue(name, &type, &data);
        if (status != ERROR_SUCCESS) throw Failure::InvalidProcedureCall();
        if (type == REG_SZ) {
          // The size counts the terminating zero; the text is everything before it.
          if (data.empty()) throw Failure::InvalidProcedureCall();
          *value = Variant::String(std::string(data.begin(), data.end() - 1));
        } else if (type == REG_DWORD) {
          if (data.size() != 4) throw Failure::InvalidProcedureCall();
          uint32_t dword = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                           static_cast<uint32_t>(data[2]) << 16 |
                           static_cast<uint32_t>(data[3]) << 24;
          *value = Variant::Int32(static_cast<int32_t>(dword));
        } else {
          status = -1;
        }
      },
      [](const Failure&) {});
  return status;
}

Variant GetRegistrySetting(Registry& registry, const std::string& name) {
  Variant result;
  StopAndLog(
      [&] {
        std::unique_ptr<RegistryKey> key;
        if (registry.OpenKey(RegistryRoot::kLocalMachine, kSettingsKey, &key) != ERROR_SUCCESS) {
          return;
        }
        Variant v;
        if (QueryRegistryValue(*key, name, &v) == 0) result = v;
      },
      [](const Failure&) {});
  return result;
}

}  // namespace corvalith::Settings
