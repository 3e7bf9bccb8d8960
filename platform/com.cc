#include "platform/com.h"

#include <cstdio>

namespace corvalith {

std::string GuidToString(const GUID& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

std::optional<GUID> GuidFromString(const std::string& text) {
  GUID g{};
  unsigned d2, d3, b[8];
  int consumed = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &g.data1, &d2, &d3,
                  &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &consumed) != 11 ||
      consumed != 38) {
    return std::nullopt;
  }
  g.data2 = static_cast<uint16_t>(d2);
  g.data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(b[i]);
  return g;
}

namespace {
thread_local std::string error_info;
}

void SetErrorInfo(std::string description) { error_info = std::move(description); }

std::string TakeErrorInfo() { return std::exchange(error_info, std::string()); }

Failure FailureFromStatus(HRESULT hr) {
  std::string description = TakeErrorInfo();
  if (description.empty()) {
    char text[64];
    std::snprintf(text, sizeof text, "Failure status 0x%08X", static_cast<uint32_t>(hr));
    description = text;
  }
  return Failure(description, hr);
}

}  // namespace corvalith
