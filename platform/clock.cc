#include "platform/clock.h"

#include <cstdio>

namespace corvalith {

std::string FormatLocalTime(const LocalTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace corvalith
