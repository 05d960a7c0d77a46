#include <gtest/gtest.h>

#include <limits>

#include "core/Error.h"
#include "values/Variant.h"

namespace ado {
namespace {

template <typename F>
int ErrorNumberOf(F&& f) {
  try {
    f();
  } catch (const core::Error& e) {
    return e.number();
  }
  return 0;
}

Decimal D(std::string_view text) { return Decimal::Parse(text).value(); }

Date DateOf(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  Date::Parts p;
  p.year = y, p.month = mo, p.day = d, p.hour = h, p.minute = mi, p.second = s;
  return Date::FromParts(p);
}

class FakeObject : public Object {
 public:
  std::string TypeName() const override { return "IADsLargeInteger"; }
  Variant GetProperty(std::string_view) const override {
    throw core::Error(core::kErrPropertyNotSupported, "FakeObject", "no property");
  }
};

TEST(Variant, DoubleTextHasFifteenDigitsAndExponentOutsidePlainRange) {
  const std::pair<double, const char*> cases[] = {{0.1, "0.1"},
                                                  {1.0 / 3, "0.333333333333333"},
                                                  {1e20, "1E+20"},
                                                  {1.5e-7, "1.5E-07"},
                                                  {-0.0, "0"},
                                                  {0.0, "0"},
                                                  {-12.5, "-12.5"},
                                                  {123456789012345.0, "123456789012345"},
                                                  {1e15, "1E+15"},
                                                  {999999999999999.9, "1E+15"},
                                                  {0.00001, "0.00001"},
                                                  {0.000001234, "1.234E-06"},
                                                  {2.0 / 3 * 1e-5, "6.66666666666667E-06"},
                                                  {-1e100, "-1E+100"},
                                                  {1e-300, "1E-300"},
                                                  {100.0, "100"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(Variant(value).ToText(), text) << value;
  EXPECT_EQ(Variant::Single(0.1f).ToText(), "0.1");
  EXPECT_EQ(Variant::Single(1.0f / 3).ToText(), "0.3333333");
  EXPECT_EQ(Variant::Single(1234567.0f).ToText(), "1234567");
  EXPECT_EQ(Variant::Single(16777216.0f).ToText(), "1.677722E+07");
}

TEST(Variant, TextOfOtherTypes) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant::Null().ToText(), "");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant(false).ToText(), "False");
  EXPECT_EQ(Variant(int32_t{-42}).ToText(), "-42");
  EXPECT_EQ(Variant(std::numeric_limits<int64_t>::min()).ToText(), "-9223372036854775808");
  EXPECT_EQ(Variant::UnsignedInteger(UINT64_MAX).ToText(), "18446744073709551615");
  EXPECT_EQ(Variant(Currency{26352300}).ToText(), "2635.23");
  EXPECT_EQ(Variant(Currency{180000}).ToText(), "18");
  EXPECT_EQ(Variant(D("18.00")).ToText(), "18");
  EXPECT_EQ(Variant(D("-0.0000000001")).ToText(), "-0.0000000001");
  EXPECT_EQ(Variant(DateOf(2023, 1, 2)).ToText(), "2023-01-02");
  EXPECT_EQ(Variant(DateOf(2023, 1, 2, 3, 4, 5)).ToText(), "2023-01-02 03:04:05");
  EXPECT_EQ(Variant(Date{0.25}).ToText(), "1899-12-30 06:00:00");
  EXPECT_EQ(Variant(Date{-1.25}).ToText(), "1899-12-29 06:00:00");
  EXPECT_EQ(Variant(DateOf(9999, 12, 31, 23, 59, 59)).ToText(), "9999-12-31 23:59:59");
  // Half a second or more rounds up, across midnight too.
  EXPECT_EQ(Variant(Date{1.0 - 0.4 / 86400}).ToText(), "1899-12-31");
  EXPECT_EQ(ErrorNumberOf([] { Variant(Bytes{1, 2}).ToText(); }), core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant(Array{}).ToText(); }), core::kErrTypeMismatch);
}

TEST(Variant, ToLongRoundsHalfToEvenAndReadsText) {
  EXPECT_EQ(Variant("2.5").ToLong(), 2);
  EXPECT_EQ(Variant("3.5").ToLong(), 4);
  EXPECT_EQ(Variant(" -3.5 ").ToLong(), -4);
  EXPECT_EQ(Variant(2.5).ToLong(), 2);
  EXPECT_EQ(Variant(-2.5).ToLong(), -2);
  EXPECT_EQ(Variant(2.5000001).ToLong(), 3);
  EXPECT_EQ(Variant(D("4.5")).ToLong(), 4);
  EXPECT_EQ(Variant(Currency{25000}).ToLong(), 2);
  EXPECT_EQ(Variant("1e3").ToLong(), 1000);
  EXPECT_EQ(Variant("&H1F").ToLong(), 31);
  EXPECT_EQ(Variant("&hFFFF").ToLong(), -1);
  EXPECT_EQ(Variant("&O17").ToLong(), 15);
  EXPECT_EQ(Variant(true).ToLong(), -1);
  EXPECT_EQ(Variant().ToLong(), 0);
  EXPECT_EQ(Variant(Date{1.5}).ToLong(), 2);
  EXPECT_EQ(Variant("-2147483648.5").ToLong(), INT32_MIN);
  // Text converts exactly, not through a double.
  EXPECT_EQ(Variant("9223372036854775807").ToInt64(), INT64_MAX);
  EXPECT_EQ(Variant::UnsignedInteger(42).ToInt64(), 42);
}

TEST(Variant, ToLongErrors) {
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToLong(); }), core::kErrInvalidUseOfNull);
  EXPECT_EQ(ErrorNumberOf([] { Variant("abc").ToLong(); }), core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant("").ToLong(); }), core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant("12abc").ToLong(); }), core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant(Bytes{1}).ToLong(); }), core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant(2147483648.0).ToLong(); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Variant("2147483647.5").ToLong(); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Variant("1e300").ToInt64(); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Variant(9.3e18).ToInt64(); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Variant::UnsignedInteger(UINT64_MAX).ToInt64(); }),
            core::kErrOverflow);
}

TEST(Variant, OtherConversions) {
  EXPECT_EQ(Variant("12345678901234567890.1234567890").ToDecimal().ToStringFixed(),
            "12345678901234567890.1234567890");
  EXPECT_EQ(Variant(0.1).ToDecimal().ToString(), "0.1");
  EXPECT_EQ(Variant("&H10").ToDecimal().ToString(), "16");
  EXPECT_EQ(Variant::UnsignedInteger(UINT64_MAX).ToDecimal().ToString(), "18446744073709551615");
  EXPECT_EQ(Variant(" 1.5e2 ").ToDouble(), 150.0);
  EXPECT_EQ(Variant(Currency{15}).ToDouble(), 0.0015);
  EXPECT_EQ(Variant(true).ToDouble(), -1.0);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToDecimal(); }), core::kErrInvalidUseOfNull);
  EXPECT_EQ(ErrorNumberOf([] { Variant("x").ToDouble(); }), core::kErrTypeMismatch);

  EXPECT_TRUE(Variant("TRUE").ToBool());
  EXPECT_FALSE(Variant("fAlSe").ToBool());
  EXPECT_FALSE(Variant("0").ToBool());
  EXPECT_TRUE(Variant("-0.5").ToBool());
  EXPECT_FALSE(Variant(D("0.000")).ToBool());
  EXPECT_TRUE(Variant(Currency{1}).ToBool());
  EXPECT_FALSE(Variant().ToBool());
  EXPECT_EQ(ErrorNumberOf([] { Variant("yes").ToBool(); }), core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToBool(); }), core::kErrInvalidUseOfNull);

  EXPECT_EQ(Variant(1.5).ToDate().days, 1.5);
  EXPECT_EQ(Variant("2023-01-02").ToDate().days, DateOf(2023, 1, 2).days);
  EXPECT_EQ(ErrorNumberOf([] { Variant(1e9).ToDate(); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Variant("soon").ToDate(); }), core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Null().ToDate(); }), core::kErrInvalidUseOfNull);
}

TEST(Variant, IsNumericAndIsDate) {
  for (const Variant& v : {Variant(), Variant(true), Variant(int16_t{1}), Variant(1.5),
                           Variant(D("1")), Variant(Currency{1}), Variant("12"), Variant(" -3.5 "),
                           Variant("1e3"), Variant(".5"), Variant("&H1F")}) {
    EXPECT_TRUE(v.IsNumeric()) << v.ToText();
  }
  for (const Variant& v :
       {Variant::Null(), Variant(Date{1}), Variant(""), Variant("abc"), Variant("1e"),
        Variant("12abc"), Variant("1,5"), Variant("&HZZ"), Variant(Array{}), Variant(Bytes{1})}) {
    EXPECT_FALSE(v.IsNumeric()) << v.TypeName();
  }
  EXPECT_TRUE(Variant(Date{1}).IsDate());
  EXPECT_TRUE(Variant("2023-01-02 03:04").IsDate());
  EXPECT_FALSE(Variant("2023-02-30").IsDate());
  EXPECT_FALSE(Variant(45000.0).IsDate());
}

TEST(Variant, TypeNames) {
  EXPECT_EQ(Variant().TypeName(), "Empty");
  EXPECT_EQ(Variant::Null().TypeName(), "Null");
  EXPECT_EQ(Variant(int16_t{1}).TypeName(), "Integer");
  EXPECT_EQ(Variant(int32_t{1}).TypeName(), "Long");
  EXPECT_EQ(Variant::Integer(VarType::kUI4, 1).TypeName(), "Long");
  EXPECT_EQ(Variant(int64_t{1}).TypeName(), "LongLong");
  EXPECT_EQ(Variant::Integer(VarType::kUI1, 255).TypeName(), "Byte");
  EXPECT_EQ(Variant::Single(1).TypeName(), "Single");
  EXPECT_EQ(Variant(1.0).TypeName(), "Double");
  EXPECT_EQ(Variant(Currency{}).TypeName(), "Currency");
  EXPECT_EQ(Variant(Date{}).TypeName(), "Date");
  EXPECT_EQ(Variant("").TypeName(), "String");
  EXPECT_EQ(Variant(false).TypeName(), "Boolean");
  EXPECT_EQ(Variant(Decimal()).TypeName(), "Decimal");
  EXPECT_EQ(Variant(Bytes{}).TypeName(), "Byte()");
  EXPECT_EQ(Variant(Array{}).TypeName(), "Variant()");
  EXPECT_EQ(Variant(std::make_shared<FakeObject>()).TypeName(), "IADsLargeInteger");
  EXPECT_EQ(Variant(std::shared_ptr<Object>()).TypeName(), "Nothing");
}

TEST(Variant, IntegerChecksTheRangeOfItsType) {
  EXPECT_EQ(Variant::Integer(VarType::kI1, -128).AsInt64(), -128);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Integer(VarType::kI1, 128); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Integer(VarType::kUI2, -1); }), core::kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Integer(VarType::kI4, 1LL << 31); }), core::kErrOverflow);
  EXPECT_EQ(Variant::Integer(VarType::kUI8, 7).Type(), VarType::kUI8);
  EXPECT_EQ(ErrorNumberOf([] { Variant::Integer(VarType::kR8, 1); }),
            core::kErrInvalidProcedureCall);
}

TEST(Variant, ComparesNumbersByValueWhateverTheirType) {
  const Variant five[] = {Variant(int32_t{5}), Variant(5.0),
                          Variant(D("5.0")),   Variant(Currency{50000}),
                          Variant::Single(5),  Variant::UnsignedInteger(5)};
  for (const Variant& a : five) {
    for (const Variant& b : five) EXPECT_TRUE(ValuesEqual(a, b)) << a.TypeName() << b.TypeName();
  }
  EXPECT_EQ(Compare(Variant(int32_t{5}), Variant(D("5.0000000001"))), CompareResult::kLess);
  EXPECT_EQ(Compare(Variant(D("-0.5")), Variant(int32_t{-1})), CompareResult::kGreater);
  EXPECT_TRUE(ValuesEqual(Variant(D("0.1")), Variant(0.1)));
  EXPECT_TRUE(ValuesEqual(Variant(true), Variant(int32_t{-1})));
  EXPECT_TRUE(ValuesEqual(Variant(Date{1.5}), Variant(1.5)));
  EXPECT_EQ(Compare(Variant(Date{2}), Variant(Date{1.5})), CompareResult::kGreater);
  // Wide whole numbers compare exactly, not through a double.
  EXPECT_EQ(Compare(Variant::UnsignedInteger(UINT64_MAX), Variant(INT64_MAX)),
            CompareResult::kGreater);
  EXPECT_EQ(Compare(Variant::UnsignedInteger(UINT64_MAX), Variant(18446744073709551616.0)),
            CompareResult::kLess);
  EXPECT_EQ(Compare(Variant(int64_t{9007199254740993}), Variant(9007199254740992.0)),
            CompareResult::kGreater);
  EXPECT_EQ(Compare(Variant(int64_t{3}), Variant(3.25)), CompareResult::kLess);
  EXPECT_EQ(Compare(Variant(int64_t{-3}), Variant(-3.25)), CompareResult::kGreater);
}

TEST(Variant, ComparesTextsNullAndEmpty) {
  // A number is never equal to a text and sorts before it.
  EXPECT_EQ(Compare(Variant(int32_t{5}), Variant("5")), CompareResult::kLess);
  EXPECT_EQ(Compare(Variant("1"), Variant(99.0)), CompareResult::kGreater);
  EXPECT_FALSE(ValuesEqual(Variant(D("5")), Variant("5")));
  // Texts by code point, case-sensitive.
  EXPECT_EQ(Compare(Variant("B"), Variant("a")), CompareResult::kLess);
  EXPECT_EQ(Compare(Variant("\xC3\xA9"), Variant("z")), CompareResult::kGreater);  // é
  EXPECT_EQ(Compare(Variant("ab"), Variant("abc")), CompareResult::kLess);
  EXPECT_FALSE(ValuesEqual(Variant("Paris"), Variant("PARIS")));
  // Null against anything.
  EXPECT_EQ(Compare(Variant::Null(), Variant::Null()), CompareResult::kNull);
  EXPECT_EQ(Compare(Variant(int32_t{1}), Variant::Null()), CompareResult::kNull);
  EXPECT_FALSE(ValuesEqual(Variant::Null(), Variant::Null()));
  EXPECT_FALSE(ValuesEqual(Variant::Null(), Variant()));
  // Empty is 0 against a number and "" against a text.
  EXPECT_TRUE(ValuesEqual(Variant(), Variant(int32_t{0})));
  EXPECT_TRUE(ValuesEqual(Variant(), Variant("")));
  EXPECT_TRUE(ValuesEqual(Variant(), Variant()));
  EXPECT_TRUE(ValuesEqual(Variant(), Variant(false)));
  EXPECT_EQ(Compare(Variant(), Variant(-1.0)), CompareResult::kGreater);
  EXPECT_EQ(Compare(Variant(), Variant("a")), CompareResult::kLess);
  EXPECT_FALSE(ValuesEqual(Variant(), Variant("0")));
  EXPECT_EQ(ErrorNumberOf([] { Compare(Variant(Array{}), Variant(int32_t{1})); }),
            core::kErrTypeMismatch);
  EXPECT_EQ(ErrorNumberOf([] { Compare(Variant("a"), Variant(Bytes{1})); }),
            core::kErrTypeMismatch);
}

TEST(Variant, IdentityNeedsSameTypeAndValue) {
  EXPECT_EQ(Variant(int32_t{5}), Variant(int32_t{5}));
  EXPECT_NE(Variant(int32_t{5}), Variant(int64_t{5}));
  EXPECT_NE(Variant(int32_t{5}), Variant(5.0));
  EXPECT_NE(Variant("a"), Variant("A"));
  EXPECT_EQ(Variant::Null(), Variant::Null());
  EXPECT_NE(Variant::Null(), Variant());
  const Array a{1, {Variant("x"), Variant(int32_t{2})}};
  Array b = a;
  EXPECT_EQ(Variant(a), Variant(b));
  b.items[1] = Variant(int32_t{3});
  EXPECT_NE(Variant(a), Variant(b));
  b = a;
  b.lower_bound = 0;
  EXPECT_NE(Variant(a), Variant(b));
  const Variant shared(a);
  const Variant copy = shared;
  EXPECT_EQ(&copy.AsArray(), &shared.AsArray());
}

TEST(ParseVbNumber, ReadsVbNumberForms) {
  EXPECT_EQ(ParseVbNumber("12"), 12.0);
  EXPECT_EQ(ParseVbNumber("\t-3.5 "), -3.5);
  EXPECT_EQ(ParseVbNumber("+1E-2"), 0.01);
  EXPECT_EQ(ParseVbNumber("5."), 5.0);
  EXPECT_EQ(ParseVbNumber("&H7FFFFFFF"), 2147483647.0);
  EXPECT_EQ(ParseVbNumber("&HFFFFFFFF"), -1.0);
  EXPECT_EQ(ParseVbNumber("1e-400"), 0.0);
  EXPECT_EQ(ParseVbNumber("0.001e-99999999999999999999"), 0.0);
  for (const char* text : {"", " ", "-", ".", "e5", "1e", "1.2.3", "1 2", "&H", "&HG", "&X1",
                           "1e400", "0.001e400", "Infinity", "nan", "0x1F"}) {
    EXPECT_FALSE(ParseVbNumber(text).has_value()) << text;
  }
}

TEST(ParseVbDate, ReadsTheAcceptedForms) {
  EXPECT_EQ(ParseVbDate("2023-01-02")->days, DateOf(2023, 1, 2).days);
  EXPECT_EQ(ParseVbDate(" 2023-1-2 ")->days, DateOf(2023, 1, 2).days);
  EXPECT_EQ(ParseVbDate("2023-01-02 03:04")->days, DateOf(2023, 1, 2, 3, 4).days);
  EXPECT_EQ(ParseVbDate("2023-01-02 03:04:05")->days, DateOf(2023, 1, 2, 3, 4, 5).days);
  EXPECT_EQ(ParseVbDate("2023-01-02T03:04:05Z")->days, DateOf(2023, 1, 2, 3, 4, 5).days);
  EXPECT_EQ(ParseVbDate("2023-01-02T03:04:05+02:00")->days, DateOf(2023, 1, 2, 3, 4, 5).days);
  EXPECT_EQ(ParseVbDate("2023-01-02T03:04:05.250")->ToParts().nanosecond, 250000000);
  EXPECT_EQ(ParseVbDate("2023-01-02 03:04:05.5")->ToParts().nanosecond, 500000000);
  EXPECT_EQ(ParseVbDate("18:00")->days, 0.75);
  EXPECT_EQ(ParseVbDate("06:00:30")->days, DateOf(1899, 12, 30, 6, 0, 30).days);
  EXPECT_EQ(ParseVbDate("0100-01-01")->days, Date::kMinDays);
}

TEST(ParseVbDate, RejectsEverythingElse) {
  for (const char* text : {"",
                           "tomorrow",
                           "2023-02-30",
                           "2023-13-01",
                           "2023-00-10",
                           "2023-01-01 24:00",
                           "12:60",
                           "25:00",
                           "2023/01/02",
                           "02-01-2023",
                           "01.02.2023",
                           "2023-01-02T03:04",
                           "2023-01-02T03:04:05+25:00",
                           "2023-01-02T03:04:05X",
                           "2023-01-02 03:04:05Z",
                           "0099-12-31",
                           "10000-01-01",
                           "2023-01-02x",
                           "2023-01-02 03:04:05.5-05:00",
                           "1:2",
                           "45000"}) {
    EXPECT_FALSE(ParseVbDate(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace ado
