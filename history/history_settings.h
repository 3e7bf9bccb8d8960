// The history's settings, under HKEY_LOCAL_MACHINE\Software\Corvalith\History in the same
// registry file as the filter's: how long rows are kept and whether anything is recorded.
#ifndef CORVALITH_HISTORY_HISTORY_SETTINGS_H_
#define CORVALITH_HISTORY_HISTORY_SETTINGS_H_

#include <cstdint>

#include "history/verdict_history.h"
#include "platform/registry.h"

namespace corvalith::history {

inline constexpr char kHistorySettingsKey[] = "Software\\Corvalith\\History";

struct HistorySettings {
  int64_t keep_days = kDefaultKeepDays;  // "KeepDays" dword; 0 keeps every row
  bool disabled = false;                 // "Disabled" dword, non-zero: nothing is recorded
};

// A missing key or value, or one that is not a number, is the default.
HistorySettings ReadHistorySettings(Registry& registry);

}  // namespace corvalith::history

#endif  // CORVALITH_HISTORY_HISTORY_SETTINGS_H_
