#include "platform/Clock.h"

#include <cstdio>
#include <ctime>

namespace qv::platform {

LocalTime SystemClock::Now() const {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

std::string FormatDateTime(const LocalTime& moment) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", moment.year, moment.month,
                moment.day, moment.hour, moment.minute, moment.second);
  return buffer;
}

}  // namespace qv::platform
