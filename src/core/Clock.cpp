#include "core/Clock.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <utility>

namespace core {

LocalTime SystemClock::Now() const {
  // localtime_r does not look at TZ again by itself; a changed zone must count.
  tzset();
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,  parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     parts.tm_gmtoff};
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
