#include "history/history_settings.h"

#include <memory>
#include <optional>

#include "config/settings.h"
#include "platform/failure.h"

namespace corvalith::history {

namespace {

std::optional<int32_t> NumberValue(const RegistryKey& key, const char* name) {
  Variant value;
  if (Settings::QueryRegistryValue(key, name, &value) != 0) return std::nullopt;
  try {
    return value.ToInt32();
  } catch (const Failure&) {
    return std::nullopt;  // text that is no number: the default, like a missing value
  }
}

}  // namespace

HistorySettings ReadHistorySettings(Registry& registry) {
  HistorySettings settings;
  std::unique_ptr<RegistryKey> key;
  if (registry.OpenKey(RegistryRoot::kLocalMachine, kHistorySettingsKey, &key) != ERROR_SUCCESS) {
    return settings;
  }
  if (auto days = NumberValue(*key, "KeepDays"); days && *days >= 0) settings.keep_days = *days;
  if (auto disabled = NumberValue(*key, "Disabled")) settings.disabled = *disabled != 0;
  return settings;
}

}  // namespace corvalith::history
