#include "db/postgres/PostgresText.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <vector>

namespace ado::postgres {
namespace {

std::vector<int> Fields(const std::optional<Date::Parts>& parts) {
  if (!parts) return {};
  return {parts->year,   parts->month,  parts->day,       parts->hour,
          parts->minute, parts->second, parts->nanosecond};
}

// The server's own layout and the other shapes the general reading takes give the same
// parts; an empty list is text that is not read.
TEST(PostgresText, DatesAndTimesReadInEveryShape) {
  struct Case {
    std::optional<Date::Parts> (*read)(std::string_view);
    std::string_view text;
    std::vector<int> fields;
  };
  const Case cases[] = {
      {TimestampParts, "2024-02-29 13:14:15", {2024, 2, 29, 13, 14, 15, 0}},
      {TimestampParts, "2024-02-29 13:14:15.123456+05:30", {2024, 2, 29, 13, 14, 15, 123456000}},
      {TimestampParts, "0044-03-15 00:00:01 BC", {-44, 3, 15, 0, 0, 1, 0}},
      {TimestampParts, "10000-01-01 10:00:00", {10000, 1, 1, 10, 0, 0, 0}},
      {TimestampParts, "2024-2-5 1:2:3", {2024, 2, 5, 1, 2, 3, 0}},
      {TimestampParts, "2024-02-290 13:14:150", {2024, 2, 290, 13, 14, 150, 0}},
      {TimestampParts, "infinity", {9999, 12, 31, 23, 59, 59, 0}},
      {TimestampParts, "2024-02-29T13:14:15", {}},
      {TimestampParts, "2024-02-29 13:14", {}},
      {TimestampParts, "2024-02-29 13:14:15 AD", {}},
      {TimestampParts, "2024-02-", {}},
      {DateParts, "2024-02-29", {2024, 2, 29, 0, 0, 0, 0}},
      {DateParts, "0001-01-01 BC", {-1, 1, 1, 0, 0, 0, 0}},
      {DateParts, "2024-02-29x", {}},
      {TimeParts, "13:14:15.5", {1899, 12, 30, 13, 14, 15, 0}},
      {TimeParts, "13:14:155", {1899, 12, 30, 13, 14, 155, 0}},
      {TimeParts, "13:14:1", {1899, 12, 30, 13, 14, 1, 0}},
      {TimeParts, "13:14:15+02", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Fields(c.read(c.text)), c.fields) << c.text;
}

}  // namespace
}  // namespace ado::postgres
