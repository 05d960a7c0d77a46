#include "core/Clock.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>

namespace core {

LocalTime SystemClock::Now() const { return ToLocalTime(std::time(nullptr)); }

int64_t UnixNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

LocalTime ToLocalTime(int64_t unix_seconds) {
  // localtime_r does not look at TZ again by itself; a changed zone must count.
  tzset();
  const std::time_t seconds = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,  parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     parts.tm_gmtoff};
}

std::optional<int64_t> ToUnixSeconds(const LocalTime& moment) {
  std::tm parts{};
  parts.tm_year = moment.year - 1900;
  parts.tm_mon = moment.month - 1;
  parts.tm_mday = moment.day;
  parts.tm_hour = moment.hour;
  parts.tm_min = moment.minute;
  parts.tm_sec = moment.second;
  parts.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&parts);
  if (seconds == -1) return std::nullopt;
  return int64_t{seconds};
}

namespace {

struct ProcessClockState {
  std::mutex mutex;
  std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>();
};

ProcessClockState& State() {
  static ProcessClockState state;
  return state;
}

}  // namespace

LocalTime LocalNow() {
  std::shared_ptr<const Clock> clock;
  {
    ProcessClockState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    clock = state.clock;
  }
  return clock->Now();
}

void SetProcessClock(std::shared_ptr<const Clock> clock) {
  if (!clock) clock = std::make_shared<SystemClock>();
  ProcessClockState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.clock = std::move(clock);
}

std::string FormatDateTime(const LocalTime& moment) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", moment.year, moment.month,
                moment.day, moment.hour, moment.minute, moment.second);
  return buffer;
}

}  // namespace core
