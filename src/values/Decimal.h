#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ado {

__extension__ typedef __int128 Int128;

// An exact decimal number: a signed coefficient of up to 38 digits and a scale
// (digits after the point, 0 to 38). Never goes through a double, so NUMERIC(38,10)
// survives a round trip.
class Decimal {
 public:
  static constexpr int kMaxDigits = 38;

  constexpr Decimal() = default;
  // Throws core::Error (overflow) when the coefficient has more than 38 digits.
  Decimal(Int128 coefficient, int scale);
  static Decimal FromInt64(int64_t value) { return Decimal(value, 0); }

  // Parses [+-]digits[.digits][E[+-]digits]; surrounding blanks are allowed.
  // Returns nothing for text that is not such a number or does not fit 38 digits.
  static std::optional<Decimal> Parse(std::string_view text);
  // Nearest decimal with at most 15 significant digits, as VB's CDec does.
  static Decimal FromDouble(double value);
  // The same with the given number of significant digits (7 for a Single).
  static Decimal FromDoubleDigits(double value, int significant_digits);

  Int128 coefficient() const { return coefficient_; }
  int scale() const { return scale_; }

  // Plain decimal text with '.', no exponent, no trailing zeros after the point
  // ("2635.23", "18", "-0.5").
  std::string ToString() const;
  // Plain decimal text keeping every digit of the scale ("5.00").
  std::string ToStringFixed() const;
  double ToDouble() const;
  // Rounded half to even; throws core::Error (overflow) when out of range.
  int64_t ToInt64Rounded() const;
  // The same value without trailing zeros after the point.
  Decimal Normalized() const;
  // Rounded half to even to at most `scale` places (a smaller scale is kept).
  Decimal Rounded(int scale) const;

  // Numeric comparison, whatever the scales.
  friend std::strong_ordering operator<=>(const Decimal& a, const Decimal& b);
  friend bool operator==(const Decimal& a, const Decimal& b) { return (a <=> b) == 0; }

 private:
  Int128 coefficient_ = 0;
  uint8_t scale_ = 0;
};

// VB's Currency: a 64-bit count of ten-thousandths.
struct Currency {
  int64_t scaled = 0;  // value * 10000

  static Currency FromDecimal(const Decimal& d);  // rounds half to even; throws on overflow
  Decimal ToDecimal() const { return Decimal(scaled, 4); }
  friend auto operator<=>(const Currency&, const Currency&) = default;
};

// Days in the month (0 for a month outside 1..12).
int DaysInMonth(int year, int month);

// An OLE date: days since 1899-12-30 00:00; the fraction is the time of day.
// Negative values count back by whole days with a positive time part, as OLE does.
// A date made from parts with a fraction of a second keeps that fraction exact beside
// the day value, which far from 1899 cannot carry microseconds.
struct Date {
  double days = 0;
  // The fraction of the second in nanoseconds, exact, for a date made from parts that
  // had one; -1 otherwise (a whole second, or a date from arithmetic on `days`).
  int32_t nanosecond = -1;

  struct Parts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
    int32_t nanosecond = 0;
  };
  // Day values of 0100-01-01 and 9999-12-31.
  static constexpr double kMinDays = -657434;
  static constexpr double kMaxDays = 2958465;

  // Throws core::Error (overflow) for dates outside 100-01-01 .. 9999-12-31, and
  // core::Error 5 for parts that name no date or time (2023-02-30, 24:00).
  static Date FromParts(const Parts& parts);
  // True when the parts name a date in range and a time of day.
  static bool IsValid(const Parts& parts);
  // True when the day value lies within 100-01-01 .. 9999-12-31 (time included).
  static bool InRange(double days);
  // The exact fraction when the date keeps one; otherwise rounded to the microsecond, or
  // to 10 or 100 us where the day value is too large to carry microseconds. Throws
  // core::Error (overflow) out of range.
  Parts ToParts() const;
  // Rounded to whole units (1 = seconds, 1000000 = microseconds).
  Parts ToPartsRounded(int64_t units_per_second) const;
  bool HasTime() const;
  friend auto operator<=>(const Date&, const Date&) = default;
};

}  // namespace ado
