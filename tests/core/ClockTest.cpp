#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "core/Clock.h"

namespace {

// Sets TZ for the test and restores it after.
class ClockZone : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* zone = ::getenv("TZ")) old_ = zone;
  }
  void TearDown() override {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
  }
  std::optional<std::string> old_;
};

TEST_F(ClockZone, ConvertsBetweenEpochSecondsAndLocalTime) {
  struct Case {
    const char* zone;
    int64_t seconds;
    const char* local;
    long offset;
  };
  for (const Case& c : {Case{"UTC", 0, "1970-01-01 00:00:00", 0},
                        Case{"Europe/Berlin", 1719835200, "2024-07-01 14:00:00", 7200},
                        Case{"Europe/Berlin", 1704110400, "2024-01-01 13:00:00", 3600},
                        Case{"America/New_York", 1704110400, "2024-01-01 07:00:00", -18000}}) {
    ::setenv("TZ", c.zone, 1);
    const core::LocalTime local = core::ToLocalTime(c.seconds);
    EXPECT_EQ(core::FormatDateTime(local), c.local) << c.zone;
    EXPECT_EQ(local.utc_offset_seconds, c.offset) << c.zone;
    EXPECT_EQ(core::ToUnixSeconds(local), c.seconds) << c.zone;
  }
}

TEST(Clock, ReadsTheWallClock) {
  const int64_t system = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  EXPECT_LT(std::abs(core::UnixNanoseconds() - system), int64_t{1000000000});
}

}  // namespace
