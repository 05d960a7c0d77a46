#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace core {

// A moment in local time, as a calendar shows it.
struct LocalTime {
  int year = 1970;
  int month = 1;  // 1 .. 12
  int day = 1;    // 1 .. 31
  int hour = 0;   // 0 .. 23
  int minute = 0;
  int second = 0;
  long utc_offset_seconds = 0;  // east of UTC
};

// Source of the current local time, so that code that stamps or names things by time
// can be tested at a fixed moment.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

// The system clock in the process's time zone, as TZ names it at the time of reading.
class SystemClock final : public Clock {
 public:
  LocalTime Now() const override;
};

// Always the moment it was given.
class FixedClock final : public Clock {
 public:
  explicit FixedClock(LocalTime moment) : moment_(moment) {}
  LocalTime Now() const override { return moment_; }

 private:
  LocalTime moment_;
};

// The process's clock: whatever stamps or names things by the local time reads it here,
// so that tests can fix the moment. The system clock until replaced.
LocalTime LocalNow();
// Replaces the process's clock; null restores the system clock.
void SetProcessClock(std::shared_ptr<const Clock> clock);

// Reads the process's clock, for code that takes a Clock.
class ProcessClock final : public Clock {
 public:
  LocalTime Now() const override { return LocalNow(); }
};

// The wall clock, in nanoseconds since the epoch, for times compared with file stamps
// or reported as such; not replaced by SetProcessClock. Durations take a steady clock.
int64_t UnixNanoseconds();

// `unix_seconds` as local time, in the zone TZ names at the time of the call.
LocalTime ToLocalTime(int64_t unix_seconds);

// The seconds since the epoch of the local time `moment` (whether summer time holds is
// found out); nothing when it cannot be represented.
std::optional<int64_t> ToUnixSeconds(const LocalTime& moment);

// "yyyy-mm-dd hh:mm:ss".
std::string FormatDateTime(const LocalTime& moment);

}  // namespace core
