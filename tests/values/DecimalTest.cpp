#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "core/Error.h"
#include "values/Decimal.h"

namespace ado {
namespace {

Decimal D(std::string_view text) {
  auto parsed = Decimal::Parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(Decimal());
}

template <typename F>
int ErrorNumberOf(F&& f) {
  try {
    f();
  } catch (const core::Error& e) {
    return e.number();
  }
  return 0;
}

TEST(Decimal, Numeric38_10ExtremesSurviveParseAndFormat) {
  for (const char* text :
       {"9999999999999999999999999999.9999999999", "-9999999999999999999999999999.9999999999",
        "0.0000000001", "-0.0000000001", "12345678901234567890.1234567890", "5.00", "0"}) {
    EXPECT_EQ(D(text).ToStringFixed(), text);
  }
  EXPECT_EQ(D("12345678901234567890.1234567890").ToString(), "12345678901234567890.123456789");
  EXPECT_EQ(D("2635.2300").ToString(), "2635.23");
  EXPECT_EQ(D("18.000").ToString(), "18");
  EXPECT_EQ(D("-0.50").ToString(), "-0.5");
  EXPECT_EQ(D("0.00").ToStringFixed(), "0.00");
}

TEST(Decimal, ParseReadsSignsBlanksAndExponents) {
  EXPECT_EQ(D(" +12 ").ToString(), "12");
  EXPECT_EQ(D("-.5").ToString(), "-0.5");
  EXPECT_EQ(D("1.5E3").ToString(), "1500");
  EXPECT_EQ(D("1e-3").ToStringFixed(), "0.001");
  EXPECT_EQ(D("12.5e-1").ToStringFixed(), "1.25");
  // Trailing zeros beyond 38 digits are dropped rather than rejected.
  EXPECT_EQ(D("1." + std::string(45, '0')).ToString(), "1");
  EXPECT_EQ(D("1e37").ToString(), "1" + std::string(37, '0'));
}

TEST(Decimal, ParseRejectsMalformedOrTooWideText) {
  for (const std::string& text : std::initializer_list<std::string>{
           "", " ", "abc", "1.2.3", "1e", "1e+", "--1", "+", ".", "1 2", "1,5", "0x10", "1e38",
           std::string(39, '9'), "0." + std::string(38, '0') + "1"}) {
    EXPECT_FALSE(Decimal::Parse(text).has_value()) << text;
  }
}

TEST(Decimal, ConstructorChecksDigitsAndScale) {
  const Int128 max38 = D(std::string(38, '9')).coefficient();
  EXPECT_EQ(ErrorNumberOf([&] { Decimal(max38, 0); }), 0);
  EXPECT_EQ(ErrorNumberOf([&] { Decimal(max38 + 1, 0); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([&] { Decimal(-max38 - 1, 0); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Decimal(1, 39); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Decimal(1, -1); }), core::kErrOverflow);
}

TEST(Decimal, ComparesAcrossScales) {
  EXPECT_EQ(D("5.0"), D("5"));
  EXPECT_EQ(D("0.10"), D("0.1"));
  EXPECT_LT(D("1.05"), D("1.5"));
  EXPECT_LT(D("-1.5"), D("-1.25"));
  EXPECT_LT(D("-0.5"), D("0.25"));
  EXPECT_GT(D("-0.25"), D("-0.5"));
  // Rescaling either side to the other's scale would need 76 digits.
  const Decimal huge = D(std::string(38, '9'));
  const Decimal tiny(1, 38);
  EXPECT_GT(huge, tiny);
  EXPECT_LT(Decimal(-huge.coefficient(), 0), tiny);
  EXPECT_GT(D("0." + std::string(37, '0') + "2"), tiny);
}

TEST(Decimal, FromDoubleKeepsFifteenSignificantDigits) {
  EXPECT_EQ(Decimal::FromDouble(0.1).ToString(), "0.1");
  EXPECT_EQ(Decimal::FromDouble(1.0 / 3).ToString(), "0.333333333333333");
  EXPECT_EQ(Decimal::FromDouble(-2.5).ToString(), "-2.5");
  EXPECT_EQ(Decimal::FromDouble(123456789.123456789).ToString(), "123456789.123457");
  EXPECT_EQ(Decimal::FromDouble(1e20).ToString(), "100000000000000000000");
  EXPECT_EQ(Decimal::FromDouble(1e-40).ToString(), "0");
  EXPECT_EQ(Decimal::FromDoubleDigits(static_cast<double>(0.1f), 7).ToString(), "0.1");
  EXPECT_EQ(ErrorNumberOf([] { Decimal::FromDouble(1e39); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Decimal::FromDouble(std::numeric_limits<double>::quiet_NaN()); }),
            core::kErrOverflow);
}

TEST(Decimal, ToInt64RoundsHalfToEven) {
  EXPECT_EQ(D("2.5").ToInt64Rounded(), 2);
  EXPECT_EQ(D("3.5").ToInt64Rounded(), 4);
  EXPECT_EQ(D("-2.5").ToInt64Rounded(), -2);
  EXPECT_EQ(D("-3.5").ToInt64Rounded(), -4);
  EXPECT_EQ(D("2.5000000001").ToInt64Rounded(), 3);
  EXPECT_EQ(D("9223372036854775807").ToInt64Rounded(), INT64_MAX);
  EXPECT_EQ(D("-9223372036854775808.4").ToInt64Rounded(), INT64_MIN);
  EXPECT_EQ(ErrorNumberOf([] { D("9223372036854775807.5").ToInt64Rounded(); }), core::kErrOverflow);
  EXPECT_EQ(D("0.1").ToDouble(), 0.1);
  EXPECT_EQ(D("1.2345678901234567890123456789012345678").ToDouble(), 1.2345678901234568);
  EXPECT_EQ(D("-9999999999999999999999999999.9999999999").ToDouble(), -1e28);
}

TEST(Currency, FromDecimalRoundsToFourPlacesAndChecksRange) {
  EXPECT_EQ(Currency::FromDecimal(D("5")).scaled, 50000);
  EXPECT_EQ(Currency::FromDecimal(D("1.23455")).scaled, 12346);
  EXPECT_EQ(Currency::FromDecimal(D("1.23445")).scaled, 12344);
  EXPECT_EQ(Currency::FromDecimal(D("-1.23455")).scaled, -12346);
  EXPECT_EQ(Currency::FromDecimal(D("922337203685477.5807")).scaled, INT64_MAX);
  EXPECT_EQ(Currency::FromDecimal(D("-922337203685477.5808")).scaled, INT64_MIN);
  EXPECT_EQ(ErrorNumberOf([] { Currency::FromDecimal(D("922337203685477.5808")); }),
            core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Currency::FromDecimal(D(std::string(38, '9'))); }),
            core::kErrOverflow);
  EXPECT_EQ(Currency{26352300}.ToDecimal().ToString(), "2635.23");
}

Date::Parts P(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int32_t ns = 0) {
  Date::Parts p;
  p.year = y, p.month = mo, p.day = d, p.hour = h, p.minute = mi, p.second = s, p.nanosecond = ns;
  return p;
}

void ExpectParts(const Date::Parts& p, const Date::Parts& want) {
  EXPECT_EQ(std::tie(p.year, p.month, p.day, p.hour, p.minute, p.second, p.nanosecond),
            std::tie(want.year, want.month, want.day, want.hour, want.minute, want.second,
                     want.nanosecond));
}

TEST(Date, FromPartsCountsOleDays) {
  EXPECT_EQ(Date::FromParts(P(1899, 12, 30)).days, 0);
  EXPECT_EQ(Date::FromParts(P(1900, 1, 1)).days, 2);
  EXPECT_EQ(Date::FromParts(P(1900, 3, 1)).days, 61);     // 1900 is no leap year
  EXPECT_EQ(Date::FromParts(P(2000, 3, 1)).days, 36586);  // 2000 is one
  EXPECT_EQ(Date::FromParts(P(100, 1, 1)).days, Date::kMinDays);
  EXPECT_EQ(Date::FromParts(P(9999, 12, 31)).days, Date::kMaxDays);
  EXPECT_EQ(Date::FromParts(P(1899, 12, 30, 18)).days, 0.75);
  // Before the epoch the time still runs forward from the day's start.
  EXPECT_EQ(Date::FromParts(P(1899, 12, 29, 6)).days, -1.25);
  EXPECT_EQ(Date::FromParts(P(1899, 12, 28, 18)).days, -2.75);
}

TEST(Date, ToPartsReversesFromParts) {
  ExpectParts(Date{-1.25}.ToParts(), P(1899, 12, 29, 6));
  ExpectParts(Date{-0.5}.ToParts(), P(1899, 12, 30, 12));
  ExpectParts(Date{Date::kMinDays}.ToParts(), P(100, 1, 1));
  for (const Date::Parts& p : {P(9999, 12, 31, 23, 59, 59), P(2024, 2, 29, 12, 34, 56, 123456000),
                               P(1850, 6, 15, 1, 2, 3), P(1899, 12, 30, 0, 0, 1)}) {
    ExpectParts(Date::FromParts(p).ToParts(), p);
  }
  // Rounding to the microsecond may carry into the next day.
  ExpectParts(Date{1.0 - 1e-12}.ToParts(), P(1899, 12, 31));
  EXPECT_TRUE(Date{-1.25}.HasTime());
  EXPECT_FALSE(Date{-3}.HasTime());
  EXPECT_FALSE(Date{45000.0 + 1e-12}.HasTime());
}

TEST(Date, RejectsPartsOutOfRange) {
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(P(10000, 1, 1)); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(P(99, 12, 31)); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(P(2023, 2, 29)); }), core::kErrInvalidProcedureCall);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(P(2023, 4, 31)); }), core::kErrInvalidProcedureCall);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(P(2023, 1, 1, 24)); }),
            core::kErrInvalidProcedureCall);
  EXPECT_EQ(ErrorNumberOf([] { Date::FromParts(P(2024, 2, 29)); }), 0);
  EXPECT_EQ(ErrorNumberOf([] { Date{Date::kMaxDays + 1}.ToParts(); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Date{Date::kMinDays - 1}.ToParts(); }), core::kErrOverflow);
}

}  // namespace
}  // namespace ado
