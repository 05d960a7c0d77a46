#include "values/Decimal.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "core/Error.h"
#include "core/Text.h"

namespace ado {

namespace {

constexpr std::array<Int128, 39> MakePowers() {
  std::array<Int128, 39> p{};
  p[0] = 1;
  for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}
constexpr std::array<Int128, 39> kPow10 = MakePowers();

Int128 Abs(Int128 v) { return v < 0 ? -v : v; }

[[noreturn]] void ThrowOverflow(const char* where) {
  throw core::Error(core::kErrOverflow, where, "Overflow");
}

// Divides by 10^digits, rounding half to even.
Int128 DivRoundHalfEven(Int128 value, int digits) {
  if (digits == 0) return value;
  const Int128 divisor = kPow10[static_cast<size_t>(digits)];
  Int128 quotient = value / divisor;
  const Int128 twice_rest = Abs(value % divisor) * 2;
  if (twice_rest > divisor || (twice_rest == divisor && quotient % 2 != 0)) {
    quotient += value < 0 ? -1 : 1;
  }
  return quotient;
}

std::string DigitsOf(Int128 magnitude) {
  if (magnitude == 0) return "0";
  std::string out;
  while (magnitude > 0) {
    out.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  }
  return std::string(out.rbegin(), out.rend());
}

}  // namespace

Decimal::Decimal(Int128 coefficient, int scale) {
  if (scale < 0 || scale > kMaxDigits || Abs(coefficient) >= kPow10[kMaxDigits]) {
    ThrowOverflow("Decimal");
  }
  coefficient_ = coefficient;
  scale_ = static_cast<uint8_t>(scale);
}

std::optional<Decimal> Decimal::Parse(std::string_view text) {
  text = core::Trim(text, " \t");
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  // Significant digits go into the coefficient; leading zeros are skipped and trailing
  // zeros are held back, to be added again below as far as 38 digits allow.
  Int128 coefficient = 0;
  int digit_count = 0;
  int pending_zeros = 0;
  int fraction_digits = 0;
  bool any_digit = false;
  bool in_fraction = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !in_fraction) {
      in_fraction = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    any_digit = true;
    if (in_fraction) ++fraction_digits;
    if (c == '0') {
      if (digit_count > 0) ++pending_zeros;
      continue;
    }
    if (digit_count + pending_zeros + 1 > kMaxDigits) return std::nullopt;
    coefficient = coefficient * kPow10[static_cast<size_t>(pending_zeros)] * 10 + (c - '0');
    digit_count += pending_zeros + 1;
    pending_zeros = 0;
  }
  if (!any_digit) return std::nullopt;

  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exp_negative = text[i++] == '-';
    const size_t start = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (i == start) return std::nullopt;
    if (exp_negative) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;
  if (coefficient == 0) {
    const long zero_scale = std::clamp<long>(fraction_digits - exponent, 0, kMaxDigits);
    return Decimal(0, static_cast<int>(zero_scale));
  }

  // value = coefficient * 10^(pending_zeros + exponent - fraction_digits). Keep the
  // written scale where 38 digits allow it, so "5.00" stays two places.
  long scale = std::max<long>(0, fraction_digits - exponent);
  long extra_zeros = pending_zeros + exponent - fraction_digits + scale;
  if (scale > kMaxDigits) {
    extra_zeros -= scale - kMaxDigits;
    scale = kMaxDigits;
  }
  const long room = kMaxDigits - digit_count;
  if (extra_zeros > room) {
    scale -= extra_zeros - room;
    extra_zeros = room;
  }
  if (extra_zeros < 0 || scale < 0) return std::nullopt;
  coefficient *= kPow10[static_cast<size_t>(extra_zeros)];
  return Decimal(negative ? -coefficient : coefficient, static_cast<int>(scale));
}

Decimal Decimal::FromDouble(double value) { return FromDoubleDigits(value, 15); }

Decimal Decimal::FromDoubleDigits(double value, int significant_digits) {
  if (!std::isfinite(value) || std::fabs(value) >= 1e38) ThrowOverflow("Decimal");
  if (value == 0) return Decimal();
  // [-]d.ddddde[+-]xx, independent of the locale.
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                     std::chars_format::scientific, significant_digits - 1);
  const std::string_view text(buffer, static_cast<size_t>(written.ptr - buffer));
  const size_t e = text.find('e');
  Int128 coefficient = 0;
  int fraction_digits = 0;
  bool in_fraction = false;
  for (size_t k = 0; k < e; ++k) {
    const char c = text[k];
    if (c == '.') {
      in_fraction = true;
    } else if (c >= '0' && c <= '9') {
      coefficient = coefficient * 10 + (c - '0');
      if (in_fraction) ++fraction_digits;
    }
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  int scale = fraction_digits - exponent;
  while (scale > 0 && coefficient % 10 == 0) {
    coefficient /= 10;
    --scale;
  }
  if (scale < 0) {
    coefficient *= kPow10[static_cast<size_t>(-scale)];
    scale = 0;
  } else if (scale > kMaxDigits) {
    const int drop = scale - kMaxDigits;
    coefficient = drop > kMaxDigits ? 0 : DivRoundHalfEven(coefficient, drop);
    scale = kMaxDigits;
  }
  if (text.front() == '-') coefficient = -coefficient;
  return Decimal(coefficient, scale).Normalized();
}

Decimal Decimal::Normalized() const {
  Decimal out = *this;
  while (out.scale_ > 0 && out.coefficient_ % 10 == 0) {
    out.coefficient_ /= 10;
    --out.scale_;
  }
  return out;
}

Decimal Decimal::Rounded(int scale) const {
  if (scale >= scale_) return *this;
  if (scale < 0) scale = 0;
  Decimal out;
  out.coefficient_ = DivRoundHalfEven(coefficient_, scale_ - scale);
  out.scale_ = static_cast<uint8_t>(scale);
  return out;
}

std::string Decimal::ToString() const { return Normalized().ToStringFixed(); }

std::string Decimal::ToStringFixed() const {
  std::string digits = DigitsOf(Abs(coefficient_));
  if (scale_ > 0) {
    if (digits.size() <= scale_) digits.insert(0, scale_ + 1 - digits.size(), '0');
    digits.insert(digits.size() - scale_, 1, '.');
  }
  if (coefficient_ < 0) digits.insert(0, 1, '-');
  return digits;
}

double Decimal::ToDouble() const {
  // Reading the exact text rounds correctly; dividing by 10^scale would not.
  const std::string text = ToStringFixed();
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

int64_t Decimal::ToInt64Rounded() const {
  const Int128 whole = DivRoundHalfEven(coefficient_, scale_);
  if (whole > INT64_MAX || whole < INT64_MIN) ThrowOverflow("Decimal");
  return static_cast<int64_t>(whole);
}

std::strong_ordering operator<=>(const Decimal& a, const Decimal& b) {
  if (a.scale_ == b.scale_) return a.coefficient_ <=> b.coefficient_;
  // Rescaling one side could need 76 digits: compare the whole parts first, then the
  // fractions brought to 38 places (truncation keeps each part's sign).
  const Int128 div_a = kPow10[a.scale_];
  const Int128 div_b = kPow10[b.scale_];
  const Int128 whole_a = a.coefficient_ / div_a;
  const Int128 whole_b = b.coefficient_ / div_b;
  if (whole_a != whole_b) return whole_a <=> whole_b;
  const Int128 frac_a = (a.coefficient_ % div_a) * kPow10[Decimal::kMaxDigits - a.scale_];
  const Int128 frac_b = (b.coefficient_ % div_b) * kPow10[Decimal::kMaxDigits - b.scale_];
  return frac_a <=> frac_b;
}

Currency Currency::FromDecimal(const Decimal& d) {
  const Decimal rounded = d.Rounded(4);
  Int128 scaled = rounded.coefficient();
  // Below 4 places the coefficient only grows; checking first keeps the product in range.
  if (scaled > INT64_MAX || scaled < INT64_MIN) ThrowOverflow("Currency");
  scaled *= kPow10[static_cast<size_t>(4 - rounded.scale())];
  if (scaled > INT64_MAX || scaled < INT64_MIN) ThrowOverflow("Currency");
  return Currency{static_cast<int64_t>(scaled)};
}

namespace {

constexpr int64_t kMicrosPerDay = 86400LL * 1000000LL;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

const int64_t kOleEpoch = DaysFromCivil(1899, 12, 30);

}  // namespace

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))) return 29;
  return kDays[month - 1];
}

bool Date::IsValid(const Parts& p) {
  return p.year >= 100 && p.year <= 9999 && p.month >= 1 && p.month <= 12 && p.day >= 1 &&
         p.day <= DaysInMonth(p.year, p.month) && p.hour >= 0 && p.hour <= 23 && p.minute >= 0 &&
         p.minute <= 59 && p.second >= 0 && p.second <= 59 && p.nanosecond >= 0 &&
         p.nanosecond <= 999999999;
}

bool Date::InRange(double days) { return days > kMinDays - 1 && days < kMaxDays + 1; }

Date Date::FromParts(const Parts& parts) {
  if (parts.year < 100 || parts.year > 9999) ThrowOverflow("Date");
  if (!IsValid(parts)) throw core::Error(core::kErrInvalidProcedureCall, "Date", "Invalid date");
  const int64_t day = DaysFromCivil(parts.year, parts.month, parts.day) - kOleEpoch;
  const double time =
      (parts.hour * 3600.0 + parts.minute * 60.0 + parts.second + parts.nanosecond / 1e9) / 86400.0;
  // Before the epoch the whole part counts back while the time still runs forward.
  const double days = day >= 0 ? static_cast<double>(day) + time : static_cast<double>(day) - time;
  const int32_t exact = parts.nanosecond != 0 ? parts.nanosecond : -1;
  // On the first and the last day a time just before midnight may round to a day that
  // does not exist.
  if (days >= kMaxDays + 1) return Date{std::nextafter(kMaxDays + 1, 0.0), exact};
  if (days <= kMinDays - 1) return Date{std::nextafter(kMinDays - 1, 0.0), exact};
  return Date{days, exact};
}

Date::Parts Date::ToPartsRounded(int64_t units_per_second) const {
  if (!std::isfinite(days) || !InRange(days)) ThrowOverflow("Date");
  const double whole = std::trunc(days);
  const double fraction = std::fabs(days - whole);
  const int64_t units_per_day = 86400 * units_per_second;
  // Far from the epoch a double cannot carry microseconds (at year 9999 it steps by
  // about 40 us); round to a power of ten above its step so that the noise is dropped.
  const double ulp_units = (std::nextafter(std::fabs(days), HUGE_VAL) - std::fabs(days)) *
                           static_cast<double>(units_per_day);
  int64_t step = 1;
  while (static_cast<double>(step) < ulp_units) step *= 10;
  int64_t units =
      std::llround(fraction * static_cast<double>(units_per_day) / static_cast<double>(step)) *
      step;
  int64_t day = static_cast<int64_t>(whole);
  if (units >= units_per_day) {
    if (static_cast<double>(day) >= kMaxDays) {
      units = units_per_day - step;  // 9999-12-31 has no next day: its last moment instead
    } else {
      units -= units_per_day;
      ++day;
    }
  }
  Parts p;
  CivilFromDays(day + kOleEpoch, p.year, p.month, p.day);
  const int64_t seconds = units / units_per_second;
  p.hour = static_cast<int>(seconds / 3600);
  p.minute = static_cast<int>(seconds / 60 % 60);
  p.second = static_cast<int>(seconds % 60);
  p.nanosecond = static_cast<int32_t>(units % units_per_second * (1000000000 / units_per_second));
  return p;
}

Date::Parts Date::ToParts() const {
  if (nanosecond < 0) return ToPartsRounded(kMicrosPerDay / 86400);
  if (!std::isfinite(days) || !InRange(days)) ThrowOverflow("Date");
  const double whole = std::trunc(days);
  const double fraction = std::fabs(days - whole);
  // The whole seconds are what the day value holds without the exact fraction; its
  // rounding error is far below half a second. A time just before midnight may have
  // rounded the day value up to the next day (back, before 1899-12-30).
  int64_t seconds = std::llround(fraction * 86400.0 - nanosecond / 1e9);
  int64_t day = static_cast<int64_t>(whole);
  if (seconds < 0) {
    seconds += 86400;
    day += days < 0 ? 1 : -1;
  }
  seconds = std::min<int64_t>(seconds, 86399);
  Parts p;
  CivilFromDays(day + kOleEpoch, p.year, p.month, p.day);
  p.hour = static_cast<int>(seconds / 3600);
  p.minute = static_cast<int>(seconds / 60 % 60);
  p.second = static_cast<int>(seconds % 60);
  p.nanosecond = nanosecond;
  return p;
}

bool Date::HasTime() const {
  const Parts p = ToParts();
  return p.hour != 0 || p.minute != 0 || p.second != 0 || p.nanosecond != 0;
}

}  // namespace ado
