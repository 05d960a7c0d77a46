#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "values/Decimal.h"

namespace ado {

class Variant;

// Variant type codes, numerically OLE's VARTYPE.
enum class VarType : uint16_t {
  kEmpty = 0,
  kNull = 1,
  kI2 = 2,
  kI4 = 3,
  kR4 = 4,
  kR8 = 5,
  kCurrency = 6,
  kDate = 7,
  kString = 8,
  kObject = 9,
  kBool = 11,
  kDecimal = 14,
  kI1 = 16,
  kUI1 = 17,
  kUI2 = 18,
  kUI4 = 19,
  kI8 = 20,
  kUI8 = 21,
  kBytes = 0x2011,  // VT_ARRAY | VT_UI1: a byte array
  kArray = 0x200C,  // VT_ARRAY | VT_VARIANT: an array of variants
};

// The values a whole-number type holds, for the types whose range fits int64_t (kI1 ..
// kI8, kUI1 .. kUI4); nothing for kUI8 and every other type.
struct WholeRange {
  int64_t min;
  int64_t max;
};
std::optional<WholeRange> WholeRangeOf(VarType type);

using Bytes = std::vector<uint8_t>;

// A one-dimensional array of variants with its lower bound (VB's LBound).
struct Array {
  int32_t lower_bound = 0;
  std::vector<Variant> items;

  int32_t UpperBound() const;
};

// An object reference held in a variant: values that come from outside as objects,
// such as a directory's 64-bit time stamp with HighPart and LowPart.
class Object {
 public:
  virtual ~Object() = default;
  virtual std::string TypeName() const = 0;
  // Throws core::Error 438 when the object has no property of that name.
  virtual Variant GetProperty(std::string_view name) const = 0;
};

// The value type of fields, registry values and the array routines: empty, null,
// whole numbers, floating numbers, exact decimals, currency, Booleans, texts (UTF-8),
// dates, byte arrays, arrays and object references.
//
// Conversions follow VB's rules and throw core::Error: 13 (type mismatch), 6 (overflow)
// or 94 (invalid use of null).
class Variant {
 public:
  Variant() = default;  // empty
  static Variant Null();

  Variant(bool value);
  Variant(int16_t value);  // kI2
  Variant(int32_t value);  // kI4
  Variant(int64_t value);  // kI8
  Variant(double value);   // kR8
  Variant(const char* text);
  Variant(std::string text);
  Variant(std::string_view text);
  Variant(Decimal value);
  Variant(Currency value);
  Variant(Date value);
  Variant(Bytes bytes);
  Variant(Array array);
  Variant(std::shared_ptr<Object> object);

  // A whole number stored as the given integer type (kI1 .. kUI8, kI2, kI4, kI8).
  static Variant Integer(VarType type, int64_t value);
  static Variant UnsignedInteger(uint64_t value);  // kUI8
  static Variant Single(float value);              // kR4
  // The float a double rounds to: nothing for a finite value that rounds beyond the
  // largest float (the largest float's shortest text reads as a double a little above it).
  static std::optional<float> NearestSingle(double value);

  VarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == VarType::kEmpty; }
  bool IsNull() const { return type_ == VarType::kNull; }
  bool IsString() const { return type_ == VarType::kString; }
  bool IsArray() const { return type_ == VarType::kArray || type_ == VarType::kBytes; }
  bool IsObject() const { return type_ == VarType::kObject; }
  // True for the numeric storage types: whole, floating, decimal and currency.
  bool IsNumberType() const;

  // Direct access; the caller has checked Type() (a wrong type throws type mismatch).
  // Whole numbers of any width and Booleans (True is -1) come out of AsInt64 (kUI8
  // above INT64_MAX throws overflow).
  int64_t AsInt64() const;
  uint64_t AsUInt64() const;
  double AsDouble() const;  // kR4, kR8
  const std::string& AsString() const;
  const Decimal& AsDecimal() const;
  Currency AsCurrency() const;
  Date AsDate() const;
  bool AsBool() const;
  const Bytes& AsBytes() const;
  const Array& AsArray() const;
  const std::shared_ptr<Object>& AsObject() const;

  // VB conversions.
  // Text form: numbers in plain form ("12", "3.5", "1E+20"), Booleans "True"/"False",
  // dates "yyyy-mm-dd hh:mm:ss" (date only without a time part), decimals exact.
  // Empty and null give "". Arrays and objects throw type mismatch.
  std::string ToText() const;
  int32_t ToLong() const;     // CLng: rounds half to even; text is parsed
  int64_t ToInt64() const;    // as CLng, 64 bits
  double ToDouble() const;    // CDbl
  bool ToBool() const;        // CBool: numbers (0 is false), "True"/"False" any case, numeric text
  Decimal ToDecimal() const;  // CDec
  Date ToDate() const;        // CDate: dates, numbers, and text that reads as a date
  // VB's TypeName: "Empty", "Null", "Integer", "Long", "Single", "Double", "Currency",
  // "Date", "String", "Boolean", "Decimal", "Byte", "LongLong", "Byte()", "Variant()", or
  // the object's own type name ("Nothing" for a null reference). Types VB lacks take the
  // name of their width: kI1 and kUI2 "Integer", kUI4 "Long", kUI8 "LongLong".
  std::string TypeName() const;

  // VB's IsNumeric: numeric storage types, Booleans, empty, and text that reads as a number.
  bool IsNumeric() const;
  // VB's IsDate: dates, and text that reads as a date.
  bool IsDate() const;

  // Identity: same type and same value (texts compared exactly, arrays element by
  // element, objects by reference). For VB's comparison rules use Compare below.
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  using Storage =
      std::variant<std::monostate, int64_t, uint64_t, double, Date, std::string, Decimal, Bytes,
                   std::shared_ptr<const Array>, std::shared_ptr<Object>>;
  VarType type_ = VarType::kEmpty;
  Storage data_;
};

// Result of VB's comparison of two variants.
enum class CompareResult { kLess, kEqual, kGreater, kNull };

// VB's comparison rules: numbers (whole, floating, decimal, currency, Boolean, date)
// compare by value whatever their storage type; texts compare by code, case-sensitive;
// a number is less than a text; empty is 0 against a number and "" against a text;
// null against anything gives kNull. Arrays and objects throw type mismatch.
// Whole numbers, currency and decimals compare exactly; against a double a whole
// number compares exactly and a fraction through the double.
CompareResult Compare(const Variant& a, const Variant& b);

// Compare(a, b) == kEqual; false whenever either side is null.
bool ValuesEqual(const Variant& a, const Variant& b);

// Reads text as VB reads a number ("12", " -3.5 ", "1e3", "&H1F"); nothing when it does not.
// Blanks around the number are allowed; "&H"/"&O" literals up to &HFFFF and &HFFFFFFFF
// are 16- and 32-bit two's complement (&HFFFF is -1); a value beyond a double is not a
// number, one too small for a double reads as 0.
std::optional<double> ParseVbNumber(std::string_view text);
// Reads text as VB's CDate reads a date: "yyyy-mm-dd", "yyyy-mm-dd hh:mm[:ss[.fff]]",
// "yyyy-mm-ddThh:mm:ss[.fff][Z|+hh:mm|-hh:mm]" (the zone is ignored), "hh:mm[:ss]" (on
// 1899-12-30); blanks around the text are allowed. Nothing for any other text or for a
// date or time that does not exist (2023-02-30, 24:00).
std::optional<Date> ParseVbDate(std::string_view text);

// Defined here, where Variant is complete.
inline int32_t Array::UpperBound() const {
  return lower_bound + static_cast<int32_t>(items.size()) - 1;
}

}  // namespace ado
