#include "values/Variant.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/Error.h"
#include "core/Text.h"

namespace ado {

namespace {

[[noreturn]] void ThrowTypeMismatch() {
  throw core::Error(core::kErrTypeMismatch, "Variant", "Type mismatch");
}
[[noreturn]] void ThrowOverflow() { throw core::Error(core::kErrOverflow, "Variant", "Overflow"); }
[[noreturn]] void ThrowInvalidUseOfNull() {
  throw core::Error(core::kErrInvalidUseOfNull, "Variant", "Invalid use of Null");
}

bool IsWholeType(VarType type) {
  switch (type) {
    case VarType::kI1:
    case VarType::kUI1:
    case VarType::kI2:
    case VarType::kUI2:
    case VarType::kI4:
    case VarType::kUI4:
    case VarType::kI8:
    case VarType::kUI8:
      return true;
    default:
      return false;
  }
}

// Text of a double with at most `digits` significant digits: plain notation while
// the decimal exponent lies in -5 .. digits-1, "d.dddE+xx" otherwise.
std::string FormatFloating(double value, int digits) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return "0";
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                     std::chars_format::scientific, digits - 1);
  const std::string_view text(buffer, static_cast<size_t>(written.ptr - buffer));
  const size_t e = text.find('e');
  const bool negative = text.front() == '-';
  std::string mantissa;  // significant digits without trailing zeros
  for (size_t k = negative ? 1 : 0; k < e; ++k) {
    if (text[k] != '.') mantissa.push_back(text[k]);
  }
  while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);

  std::string out = negative ? "-" : "";
  if (exponent >= -5 && exponent < digits) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out += mantissa;
    } else if (static_cast<size_t>(exponent) + 1 >= mantissa.size()) {
      out += mantissa;
      out.append(static_cast<size_t>(exponent) + 1 - mantissa.size(), '0');
    } else {
      out += mantissa.substr(0, static_cast<size_t>(exponent) + 1);
      out += '.';
      out += mantissa.substr(static_cast<size_t>(exponent) + 1);
    }
    return out;
  }
  out += mantissa[0];
  if (mantissa.size() > 1) {
    out += '.';
    out += mantissa.substr(1);
  }
  char exp_text[16];
  std::snprintf(exp_text, sizeof exp_text, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  out += exp_text;
  return out;
}

std::string FormatDate(Date date) {
  const Date::Parts p = date.ToPartsRounded(1);
  char buffer[32];
  if (p.hour == 0 && p.minute == 0 && p.second == 0) {
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", p.year, p.month, p.day);
  } else {
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second);
  }
  return buffer;
}

// Rounds half to even and checks the 64-bit range.
int64_t RoundToInt64(double value) {
  if (std::isnan(value)) ThrowOverflow();
  const double rounded = std::nearbyint(value);  // default mode: half to even
  if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) ThrowOverflow();
  return static_cast<int64_t>(rounded);
}

// A number as either an exact decimal or a double.
struct Number {
  bool exact = true;
  Decimal decimal;
  double floating = 0;
};

int Sign(std::strong_ordering o) { return o < 0 ? -1 : (o > 0 ? 1 : 0); }

// Exact for whole decimals against any double; otherwise through the double.
int CompareDecimalDouble(const Decimal& a, double b) {
  if (std::isnan(b)) ThrowTypeMismatch();
  if (a.scale() == 0) {
    constexpr double kTwo127 = 170141183460469231731687303715884105728.0;
    if (b >= kTwo127) return -1;
    if (b < -kTwo127) return 1;
    const double whole = std::floor(b);
    const Int128 b_whole = static_cast<Int128>(whole);
    if (a.coefficient() != b_whole) return a.coefficient() < b_whole ? -1 : 1;
    return b > whole ? -1 : 0;
  }
  const double ad = a.ToDouble();
  return ad < b ? -1 : (ad > b ? 1 : 0);
}

int CompareNumbers(const Number& a, const Number& b) {
  if (a.exact && b.exact) return Sign(a.decimal <=> b.decimal);
  if (!a.exact && !b.exact) {
    if (std::isnan(a.floating) || std::isnan(b.floating)) ThrowTypeMismatch();
    return a.floating < b.floating ? -1 : (a.floating > b.floating ? 1 : 0);
  }
  if (a.exact) return CompareDecimalDouble(a.decimal, b.floating);
  return -CompareDecimalDouble(b.decimal, a.floating);
}

}  // namespace

Variant Variant::Null() {
  Variant v;
  v.type_ = VarType::kNull;
  return v;
}

Variant::Variant(bool value) : type_(VarType::kBool), data_(int64_t{value ? -1 : 0}) {}
Variant::Variant(int16_t value) : type_(VarType::kI2), data_(int64_t{value}) {}
Variant::Variant(int32_t value) : type_(VarType::kI4), data_(int64_t{value}) {}
Variant::Variant(int64_t value) : type_(VarType::kI8), data_(value) {}
Variant::Variant(double value) : type_(VarType::kR8), data_(value) {}
Variant::Variant(const char* text) : type_(VarType::kString), data_(std::string(text)) {}
Variant::Variant(std::string text) : type_(VarType::kString), data_(std::move(text)) {}
Variant::Variant(std::string_view text) : type_(VarType::kString), data_(std::string(text)) {}
Variant::Variant(Decimal value) : type_(VarType::kDecimal), data_(value) {}
Variant::Variant(Currency value) : type_(VarType::kCurrency), data_(value.scaled) {}
Variant::Variant(Date value) : type_(VarType::kDate), data_(value) {}
Variant::Variant(Bytes bytes) : type_(VarType::kBytes), data_(std::move(bytes)) {}
Variant::Variant(Array array)
    : type_(VarType::kArray), data_(std::make_shared<const Array>(std::move(array))) {}
Variant::Variant(std::shared_ptr<Object> object)
    : type_(VarType::kObject), data_(std::move(object)) {}

std::optional<WholeRange> WholeRangeOf(VarType type) {
  switch (type) {
    case VarType::kI1:
      return WholeRange{INT8_MIN, INT8_MAX};
    case VarType::kUI1:
      return WholeRange{0, UINT8_MAX};
    case VarType::kI2:
      return WholeRange{INT16_MIN, INT16_MAX};
    case VarType::kUI2:
      return WholeRange{0, UINT16_MAX};
    case VarType::kI4:
      return WholeRange{INT32_MIN, INT32_MAX};
    case VarType::kUI4:
      return WholeRange{0, UINT32_MAX};
    case VarType::kI8:
      return WholeRange{INT64_MIN, INT64_MAX};
    default:
      return std::nullopt;
  }
}

Variant Variant::Integer(VarType type, int64_t value) {
  if (type == VarType::kUI8) {
    if (value < 0) ThrowOverflow();
    return UnsignedInteger(static_cast<uint64_t>(value));
  }
  const std::optional<WholeRange> range = WholeRangeOf(type);
  if (!range)
    throw core::Error(core::kErrInvalidProcedureCall, "Variant", "Not a whole-number type");
  if (value < range->min || value > range->max) ThrowOverflow();
  Variant v;
  v.type_ = type;
  v.data_ = value;
  return v;
}

Variant Variant::UnsignedInteger(uint64_t value) {
  Variant v;
  v.type_ = VarType::kUI8;
  v.data_ = value;
  return v;
}

std::optional<float> Variant::NearestSingle(double value) {
  constexpr auto kLargest = static_cast<double>(std::numeric_limits<float>::max());
  constexpr double kRoundsAway = 0x1.ffffffp127;  // halfway from the largest float to 2^128
  if (std::isfinite(value) && std::fabs(value) >= kRoundsAway) return std::nullopt;
  if (std::isfinite(value) && std::fabs(value) > kLargest) {
    return std::signbit(value) ? -std::numeric_limits<float>::max()
                               : std::numeric_limits<float>::max();
  }
  return static_cast<float>(value);
}

Variant Variant::Single(float value) {
  Variant v;
  v.type_ = VarType::kR4;
  v.data_ = static_cast<double>(value);
  return v;
}

bool Variant::IsNumberType() const {
  return IsWholeType(type_) || type_ == VarType::kR4 || type_ == VarType::kR8 ||
         type_ == VarType::kCurrency || type_ == VarType::kDecimal;
}

int64_t Variant::AsInt64() const {
  if (type_ == VarType::kUI8) {
    const uint64_t value = std::get<uint64_t>(data_);
    if (value > static_cast<uint64_t>(INT64_MAX)) ThrowOverflow();
    return static_cast<int64_t>(value);
  }
  if (!IsWholeType(type_) && type_ != VarType::kBool) ThrowTypeMismatch();
  return std::get<int64_t>(data_);
}

uint64_t Variant::AsUInt64() const {
  if (type_ == VarType::kUI8) return std::get<uint64_t>(data_);
  const int64_t value = AsInt64();
  if (value < 0) ThrowOverflow();
  return static_cast<uint64_t>(value);
}

double Variant::AsDouble() const {
  if (type_ != VarType::kR4 && type_ != VarType::kR8) ThrowTypeMismatch();
  return std::get<double>(data_);
}

const std::string& Variant::AsString() const {
  if (type_ != VarType::kString) ThrowTypeMismatch();
  return std::get<std::string>(data_);
}

const Decimal& Variant::AsDecimal() const {
  if (type_ != VarType::kDecimal) ThrowTypeMismatch();
  return std::get<Decimal>(data_);
}

Currency Variant::AsCurrency() const {
  if (type_ != VarType::kCurrency) ThrowTypeMismatch();
  return Currency{std::get<int64_t>(data_)};
}

Date Variant::AsDate() const {
  if (type_ != VarType::kDate) ThrowTypeMismatch();
  return std::get<Date>(data_);
}

bool Variant::AsBool() const {
  if (type_ != VarType::kBool) ThrowTypeMismatch();
  return std::get<int64_t>(data_) != 0;
}

const Bytes& Variant::AsBytes() const {
  if (type_ != VarType::kBytes) ThrowTypeMismatch();
  return std::get<Bytes>(data_);
}

const Array& Variant::AsArray() const {
  if (type_ != VarType::kArray) ThrowTypeMismatch();
  return *std::get<std::shared_ptr<const Array>>(data_);
}

const std::shared_ptr<Object>& Variant::AsObject() const {
  if (type_ != VarType::kObject) ThrowTypeMismatch();
  return std::get<std::shared_ptr<Object>>(data_);
}

std::string Variant::ToText() const {
  switch (type_) {
    case VarType::kEmpty:
    case VarType::kNull:
      return "";
    case VarType::kBool:
      return AsBool() ? "True" : "False";
    case VarType::kUI8:
      return std::to_string(std::get<uint64_t>(data_));
    case VarType::kR4:
      return FormatFloating(std::get<double>(data_), 7);
    case VarType::kR8:
      return FormatFloating(std::get<double>(data_), 15);
    case VarType::kCurrency:
      return AsCurrency().ToDecimal().ToString();
    case VarType::kDecimal:
      return AsDecimal().ToString();
    case VarType::kDate:
      return FormatDate(AsDate());
    case VarType::kString:
      return AsString();
    default:
      if (IsWholeType(type_)) return std::to_string(std::get<int64_t>(data_));
      ThrowTypeMismatch();
  }
}

int32_t Variant::ToLong() const {
  const int64_t value = ToInt64();
  if (value < INT32_MIN || value > INT32_MAX) ThrowOverflow();
  return static_cast<int32_t>(value);
}

int64_t Variant::ToInt64() const {
  switch (type_) {
    case VarType::kEmpty:
      return 0;
    case VarType::kNull:
      ThrowInvalidUseOfNull();
    case VarType::kBool:
      return std::get<int64_t>(data_);
    case VarType::kR4:
    case VarType::kR8:
      return RoundToInt64(std::get<double>(data_));
    case VarType::kDate:
      return RoundToInt64(std::get<Date>(data_).days);
    case VarType::kCurrency:
      return AsCurrency().ToDecimal().ToInt64Rounded();
    case VarType::kDecimal:
      return AsDecimal().ToInt64Rounded();
    case VarType::kString: {
      // Decimal text converts exactly; only hex and huge exponents go through a double.
      if (auto exact = Decimal::Parse(AsString())) return exact->ToInt64Rounded();
      if (auto number = ParseVbNumber(AsString())) return RoundToInt64(*number);
      ThrowTypeMismatch();
    }
    default:
      if (IsWholeType(type_)) return AsInt64();
      ThrowTypeMismatch();
  }
}

double Variant::ToDouble() const {
  switch (type_) {
    case VarType::kEmpty:
      return 0;
    case VarType::kNull:
      ThrowInvalidUseOfNull();
    case VarType::kBool:
      return static_cast<double>(std::get<int64_t>(data_));
    case VarType::kUI8:
      return static_cast<double>(std::get<uint64_t>(data_));
    case VarType::kR4:
    case VarType::kR8:
      return std::get<double>(data_);
    case VarType::kDate:
      return std::get<Date>(data_).days;
    case VarType::kCurrency:
      return AsCurrency().ToDecimal().ToDouble();
    case VarType::kDecimal:
      return AsDecimal().ToDouble();
    case VarType::kString:
      if (auto number = ParseVbNumber(AsString())) return *number;
      ThrowTypeMismatch();
    default:
      if (IsWholeType(type_)) return static_cast<double>(std::get<int64_t>(data_));
      ThrowTypeMismatch();
  }
}

bool Variant::ToBool() const {
  switch (type_) {
    case VarType::kEmpty:
      return false;
    case VarType::kNull:
      ThrowInvalidUseOfNull();
    case VarType::kBool:
      return AsBool();
    case VarType::kR4:
    case VarType::kR8:
      return std::get<double>(data_) != 0;
    case VarType::kDate:
      return std::get<Date>(data_).days != 0;
    case VarType::kUI8:
      return std::get<uint64_t>(data_) != 0;
    case VarType::kDecimal:
      return AsDecimal().coefficient() != 0;
    case VarType::kString: {
      const std::string& text = AsString();
      auto equals_word = [&text](std::string_view word) {
        if (text.size() != word.size()) return false;
        for (size_t i = 0; i < text.size(); ++i) {
          const char c =
              text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
          if (c != word[i]) return false;
        }
        return true;
      };
      if (equals_word("true")) return true;
      if (equals_word("false")) return false;
      if (auto number = ParseVbNumber(text)) return *number != 0;
      ThrowTypeMismatch();
    }
    default:
      if (IsWholeType(type_) || type_ == VarType::kCurrency) return std::get<int64_t>(data_) != 0;
      ThrowTypeMismatch();
  }
}

Decimal Variant::ToDecimal() const {
  switch (type_) {
    case VarType::kEmpty:
      return Decimal();
    case VarType::kNull:
      ThrowInvalidUseOfNull();
    case VarType::kBool:
      return Decimal::FromInt64(std::get<int64_t>(data_));
    case VarType::kUI8:
      return Decimal(static_cast<Int128>(std::get<uint64_t>(data_)), 0);
    case VarType::kR4:
      return Decimal::FromDoubleDigits(std::get<double>(data_), 7);
    case VarType::kR8:
      return Decimal::FromDouble(std::get<double>(data_));
    case VarType::kDate:
      return Decimal::FromDouble(std::get<Date>(data_).days);
    case VarType::kCurrency:
      return AsCurrency().ToDecimal();
    case VarType::kDecimal:
      return AsDecimal();
    case VarType::kString:
      if (auto exact = Decimal::Parse(AsString())) return *exact;
      if (auto number = ParseVbNumber(AsString())) return Decimal::FromDouble(*number);
      ThrowTypeMismatch();
    default:
      if (IsWholeType(type_)) return Decimal::FromInt64(std::get<int64_t>(data_));
      ThrowTypeMismatch();
  }
}

Date Variant::ToDate() const {
  switch (type_) {
    case VarType::kNull:
      ThrowInvalidUseOfNull();
    case VarType::kDate:
      return AsDate();
    case VarType::kString:
      if (auto date = ParseVbDate(AsString())) return *date;
      ThrowTypeMismatch();
    default: {
      if (!IsNumberType() && type_ != VarType::kBool && type_ != VarType::kEmpty) {
        ThrowTypeMismatch();
      }
      const double days = ToDouble();
      if (!Date::InRange(days)) ThrowOverflow();
      return Date{days};
    }
  }
}

std::string Variant::TypeName() const {
  switch (type_) {
    case VarType::kEmpty:
      return "Empty";
    case VarType::kNull:
      return "Null";
    case VarType::kI1:
    case VarType::kI2:
    case VarType::kUI2:
      return "Integer";
    case VarType::kI4:
    case VarType::kUI4:
      return "Long";
    case VarType::kI8:
    case VarType::kUI8:
      return "LongLong";
    case VarType::kUI1:
      return "Byte";
    case VarType::kR4:
      return "Single";
    case VarType::kR8:
      return "Double";
    case VarType::kCurrency:
      return "Currency";
    case VarType::kDate:
      return "Date";
    case VarType::kString:
      return "String";
    case VarType::kBool:
      return "Boolean";
    case VarType::kDecimal:
      return "Decimal";
    case VarType::kBytes:
      return "Byte()";
    case VarType::kArray:
      return "Variant()";
    case VarType::kObject: {
      const auto& object = AsObject();
      return object ? object->TypeName() : "Nothing";
    }
  }
  return "Unknown";
}

bool Variant::IsNumeric() const {
  if (type_ == VarType::kString) return ParseVbNumber(AsString()).has_value();
  return IsNumberType() || type_ == VarType::kBool || type_ == VarType::kEmpty;
}

bool Variant::IsDate() const {
  if (type_ == VarType::kDate) return true;
  return type_ == VarType::kString && ParseVbDate(AsString()).has_value();
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.type_ != b.type_) return false;
  if (a.type_ == VarType::kArray) {
    const Array& x = a.AsArray();
    const Array& y = b.AsArray();
    return x.lower_bound == y.lower_bound && x.items == y.items;
  }
  return a.data_ == b.data_;
}

namespace {

enum class Kind { kEmpty, kNumber, kText };

Kind KindOf(const Variant& v) {
  switch (v.Type()) {
    case VarType::kEmpty:
      return Kind::kEmpty;
    case VarType::kString:
      return Kind::kText;
    case VarType::kBool:
    case VarType::kDate:
      return Kind::kNumber;
    default:
      if (v.IsNumberType()) return Kind::kNumber;
      ThrowTypeMismatch();
  }
}

Number NumberOf(const Variant& v) {
  Number n;
  switch (v.Type()) {
    case VarType::kEmpty:
      break;
    case VarType::kR4:
    case VarType::kR8:
      n.exact = false;
      n.floating = v.AsDouble();
      break;
    case VarType::kDate:
      n.exact = false;
      n.floating = v.AsDate().days;
      break;
    case VarType::kUI8:
      n.decimal = Decimal(static_cast<Int128>(v.AsUInt64()), 0);
      break;
    case VarType::kCurrency:
      n.decimal = v.AsCurrency().ToDecimal();
      break;
    case VarType::kDecimal:
      n.decimal = v.AsDecimal();
      break;
    default:
      n.decimal = Decimal::FromInt64(v.AsInt64());
  }
  return n;
}

CompareResult FromSign(int sign) {
  return sign < 0 ? CompareResult::kLess
                  : (sign > 0 ? CompareResult::kGreater : CompareResult::kEqual);
}

}  // namespace

CompareResult Compare(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) {
    // Null propagates, but an array or object still cannot take part.
    if (a.IsArray() || a.IsObject() || b.IsArray() || b.IsObject()) ThrowTypeMismatch();
    return CompareResult::kNull;
  }
  Kind ka = KindOf(a);
  Kind kb = KindOf(b);
  if (ka == Kind::kEmpty && kb == Kind::kEmpty) return CompareResult::kEqual;
  // Empty takes the other side's kind: 0 against a number, "" against a text.
  if (ka == Kind::kEmpty) ka = kb;
  if (kb == Kind::kEmpty) kb = ka;
  if (ka == Kind::kText && kb == Kind::kText) {
    const std::string_view x = a.IsString() ? std::string_view(a.AsString()) : std::string_view();
    const std::string_view y = b.IsString() ? std::string_view(b.AsString()) : std::string_view();
    const int c = x.compare(y);
    return FromSign(c < 0 ? -1 : (c > 0 ? 1 : 0));
  }
  if (a.Type() == VarType::kDate && b.Type() == VarType::kDate) {
    // Two timestamps on the same day value may still differ in their exact fractions.
    const Date x = a.AsDate();
    const Date y = b.AsDate();
    if (x.days == y.days && x.nanosecond >= 0 && y.nanosecond >= 0) {
      return FromSign(x.nanosecond < y.nanosecond ? -1 : (x.nanosecond > y.nanosecond ? 1 : 0));
    }
  }
  if (ka == Kind::kNumber && kb == Kind::kNumber) {
    return FromSign(CompareNumbers(NumberOf(a), NumberOf(b)));
  }
  return ka == Kind::kNumber ? CompareResult::kLess : CompareResult::kGreater;
}

bool ValuesEqual(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return false;
  return Compare(a, b) == CompareResult::kEqual;
}

std::optional<double> ParseVbNumber(std::string_view text) {
  text = core::Trim(text);
  if (text.size() > 2 && text[0] == '&') {
    // Hex and octal literals take the width of the smallest signed type that
    // holds their digits, so &HFFFF is -1 as a 16-bit number.
    const char base_letter = static_cast<char>(text[1] | 0x20);
    if (base_letter != 'h' && base_letter != 'o') return std::nullopt;
    const int base = base_letter == 'h' ? 16 : 8;
    uint64_t value = 0;
    const std::string_view digits = text.substr(2);
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (value <= 0xFFFF) return static_cast<double>(static_cast<int16_t>(value));
    if (value <= 0xFFFFFFFF) return static_cast<double>(static_cast<int32_t>(value));
    return static_cast<double>(static_cast<int64_t>(value));
  }
  // [+-]digits[.digits][(E|D)[+-]digits] with at least one mantissa digit.
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const size_t mantissa_start = i;
  bool any_digit = false;
  bool seen_point = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      any_digit = true;
    } else if (text[i] == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
  }
  if (!any_digit) return std::nullopt;
  std::string normal(text.substr(mantissa_start, i - mantissa_start));
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
    normal += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) normal += text[i++];
    const size_t exp_start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') normal += text[i++];
    if (i == exp_start) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too small reads as zero; too large is not a number. The exponent plus the
    // count of whole digits tells the two apart.
    const size_t e = normal.find('e');
    const std::string_view whole = std::string_view(normal).substr(0, normal.find('.'));
    const size_t first = whole.find_first_not_of('0');
    const long whole_digits =
        first == std::string_view::npos ? 0 : static_cast<long>(std::min(whole.size(), e) - first);
    long exponent = 0;
    if (e != std::string::npos) {
      const char* begin = normal.data() + e + 1 + (normal[e + 1] == '+' ? 1 : 0);
      if (std::from_chars(begin, normal.data() + normal.size(), exponent).ec != std::errc()) {
        exponent = normal[e + 1] == '-' ? -1000000 : 1000000;
      }
    }
    if (whole_digits + exponent > 0) return std::nullopt;
    value = 0;
  } else if (ec != std::errc() || end != normal.data() + normal.size()) {
    return std::nullopt;
  }
  return text[0] == '-' ? -value : value;
}

namespace {

// Reads `min` to `max` digits at `pos`.
bool ReadDigits(std::string_view text, size_t& pos, size_t min, size_t max, int& value) {
  size_t n = 0;
  value = 0;
  while (pos < text.size() && n < max && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos++] - '0');
    ++n;
  }
  return n >= min;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

// hh:mm[:ss[.fraction]] into parts; `need_seconds` for the ISO form.
bool ReadTime(std::string_view text, size_t& pos, bool need_seconds, bool allow_fraction,
              Date::Parts& p) {
  if (!ReadDigits(text, pos, 1, 2, p.hour) || !Expect(text, pos, ':') ||
      !ReadDigits(text, pos, 2, 2, p.minute)) {
    return false;
  }
  if (!Expect(text, pos, ':')) return !need_seconds;
  if (!ReadDigits(text, pos, 2, 2, p.second)) return false;
  if (allow_fraction && Expect(text, pos, '.')) {
    int64_t nanos = 0;
    int64_t scale = 100000000;
    const size_t start = pos;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
      nanos += (text[pos] - '0') * scale;
      scale /= 10;
    }
    if (pos == start) return false;
    p.nanosecond = static_cast<int32_t>(nanos);
  }
  return true;
}

}  // namespace

std::optional<Date> ParseVbDate(std::string_view text) {
  text = core::Trim(text);
  Date::Parts p;
  size_t pos = 0;
  const size_t colon = text.find(':');
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos || (colon != std::string_view::npos && colon < dash)) {
    // Time alone, on the day 0.
    if (!ReadTime(text, pos, false, false, p) || pos != text.size()) return std::nullopt;
  } else {
    if (!ReadDigits(text, pos, 4, 4, p.year) || !Expect(text, pos, '-') ||
        !ReadDigits(text, pos, 1, 2, p.month) || !Expect(text, pos, '-') ||
        !ReadDigits(text, pos, 1, 2, p.day)) {
      return std::nullopt;
    }
    if (Expect(text, pos, 'T')) {
      if (!ReadTime(text, pos, true, true, p)) return std::nullopt;
      // The zone is read and ignored.
      if (Expect(text, pos, 'Z')) {
      } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        ++pos;
        int zone_hour = 0;
        int zone_minute = 0;
        if (!ReadDigits(text, pos, 2, 2, zone_hour) || !Expect(text, pos, ':') ||
            !ReadDigits(text, pos, 2, 2, zone_minute) || zone_hour > 23 || zone_minute > 59) {
          return std::nullopt;
        }
      }
    } else if (Expect(text, pos, ' ')) {
      while (Expect(text, pos, ' ')) {
      }
      if (!ReadTime(text, pos, false, true, p)) return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
  }
  if (!Date::IsValid(p)) return std::nullopt;
  return Date::FromParts(p);
}

}  // namespace ado
