// Every type the program writes: its bounds and specials, then seeded random values,
// written by the recordset writer and read back, equal bit for bit; and the fingerprints
// modes 4 and 7 compare are the same for the query's values and the file's.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "export/EntityIndex.h"
#include "support/TestFolder.h"
#include "values/RecordsetData.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlWriter.h"

namespace qv {
namespace {

using ado::Date;
using ado::Decimal;
using ado::FieldDef;
using ado::Int128;
using ado::RecordStore;
using ado::Variant;
using ado::VarType;

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kRandomValues = 100'000;  // the sanitizers are ten times slower
#else
constexpr size_t kRandomValues = 1'000'000;
#endif
// Rows per file: the values of one type go through several files.
constexpr size_t kRowsPerFile = 250'000;

using Rng = std::mt19937_64;
// Puts one value in the record's only field.
using Put = std::function<void(RecordStore&, size_t record)>;

struct TypeCase {
  const char* name;
  int32_t type;
  uint8_t precision = 0;
  uint8_t scale = 0;
  std::vector<Put> bounds;
  std::function<void(Rng&, RecordStore&, size_t record)> random;
};

Put Whole(VarType type, int64_t value) {
  return [=](RecordStore& r, size_t i) { r.SetInteger(i, 0, type, value); };
}
Put Floating(VarType type, double value) {
  return [=](RecordStore& r, size_t i) { r.SetDouble(i, 0, type, value); };
}
Put DecimalOf(Int128 coefficient, int scale) {
  return [=](RecordStore& r, size_t i) { r.SetDecimal(i, 0, Decimal(coefficient, scale)); };
}
Put DateOf(Date::Parts parts) {
  return [=](RecordStore& r, size_t i) { r.SetDate(i, 0, Date::FromParts(parts)); };
}
Put TextOf(std::string text) {
  return [=](RecordStore& r, size_t i) { r.SetText(i, 0, text); };
}

// A whole-number type: its bounds (and 0 and -1 where it has them), then random bit patterns.
template <typename T>
TypeCase WholeCase(const char* name, int32_t ado_type, uint8_t precision, VarType type) {
  using L = std::numeric_limits<T>;
  std::vector<Put> bounds = {Whole(type, L::min()), Whole(type, static_cast<int64_t>(L::max()))};
  if constexpr (std::is_signed_v<T>) bounds.insert(bounds.end(), {Whole(type, 0), Whole(type, -1)});
  return {
      name, ado_type, precision, 0, std::move(bounds), [type](Rng& g, RecordStore& r, size_t i) {
        r.SetInteger(i, 0, type, static_cast<T>(g()));
      }};
}

template <typename T>
std::vector<Put> FloatBounds(VarType type) {
  using L = std::numeric_limits<T>;
  std::vector<Put> bounds;
  for (const T value :
       {L::max(), L::lowest(), L::min(), -L::min(), L::denorm_min(), -L::denorm_min(), T{0}, -T{0},
        L::quiet_NaN(), L::infinity(), -L::infinity(), T{1}, static_cast<T>(0.1)}) {
    bounds.push_back(Floating(type, static_cast<double>(value)));
  }
  return bounds;
}

constexpr Int128 kMaxCoefficient =
    (Int128{10'000'000'000'000'000'000U} * 10'000'000'000'000'000'000U) - 1;

std::vector<Put> DecimalBounds() {
  std::vector<Put> bounds;
  for (int scale = 0; scale <= Decimal::kMaxDigits; ++scale) {
    bounds.push_back(DecimalOf(kMaxCoefficient, scale));
    bounds.push_back(DecimalOf(-kMaxCoefficient, scale));
    bounds.push_back(DecimalOf(1, scale));
  }
  return bounds;
}

Int128 RandomCoefficient(Rng& rng) {
  const Int128 wide = (Int128{static_cast<int64_t>(rng() >> 2)} << 64) | rng();
  // Fewer digits as often as many: a random number of them.
  Int128 limit = 1;
  for (int digits = static_cast<int>(rng() % 38) + 1; digits > 0; --digits) limit *= 10;
  const Int128 magnitude = (wide < 0 ? -wide : wide) % limit;
  return rng() & 1 ? -magnitude : magnitude;
}

Date::Parts RandomParts(Rng& rng) {
  Date::Parts parts;
  parts.year = 100 + static_cast<int>(rng() % 9900);
  parts.month = 1 + static_cast<int>(rng() % 12);
  parts.day = 1 + static_cast<int>(
                      rng() % static_cast<uint64_t>(ado::DaysInMonth(parts.year, parts.month)));
  parts.hour = static_cast<int>(rng() % 24);
  parts.minute = static_cast<int>(rng() % 60);
  parts.second = static_cast<int>(rng() % 60);
  parts.nanosecond = static_cast<int32_t>(rng() % 1'000'000'000);
  return parts;
}

// A code point XML can hold, from any plane.
uint32_t RandomCharacter(Rng& rng) {
  for (;;) {
    const uint32_t plane = static_cast<uint32_t>(rng() % 17);
    const uint32_t c = (plane << 16) | static_cast<uint32_t>(rng() & 0xFFFF);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) continue;
    return c;
  }
}

void AppendUtf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::vector<TypeCase> Cases() {
  std::string planes;
  for (uint32_t plane = 0; plane <= 16; ++plane) AppendUtf8((plane << 16) | 0x41, planes);
  return {
      WholeCase<int8_t>("i1", ado::adTinyInt, 3, VarType::kI1),
      WholeCase<int16_t>("i2", ado::adSmallInt, 5, VarType::kI2),
      WholeCase<int32_t>("i4", ado::adInteger, 10, VarType::kI4),
      WholeCase<int64_t>("i8", ado::adBigInt, 19, VarType::kI8),
      WholeCase<uint8_t>("ui1", ado::adUnsignedTinyInt, 3, VarType::kUI1),
      WholeCase<uint16_t>("ui2", ado::adUnsignedSmallInt, 5, VarType::kUI2),
      WholeCase<uint32_t>("ui4", ado::adUnsignedInt, 10, VarType::kUI4),
      {"ui8",
       ado::adUnsignedBigInt,
       20,
       0,
       {[](RecordStore& r, size_t i) { r.SetUnsigned(i, 0, std::numeric_limits<uint64_t>::max()); },
        [](RecordStore& r, size_t i) { r.SetUnsigned(i, 0, 0); }},
       [](Rng& g, RecordStore& r, size_t i) { r.SetUnsigned(i, 0, g()); }},
      {"r4", ado::adSingle, 7, 0, FloatBounds<float>(VarType::kR4),
       [](Rng& g, RecordStore& r, size_t i) {
         r.SetDouble(i, 0, VarType::kR4,
                     static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(g()))));
       }},
      {"r8", ado::adDouble, 15, 0, FloatBounds<double>(VarType::kR8),
       [](Rng& g, RecordStore& r, size_t i) {
         r.SetDouble(i, 0, VarType::kR8, std::bit_cast<double>(g()));
       }},
      {"currency",
       ado::adCurrency,
       19,
       0,
       {[](RecordStore& r, size_t i) {
          r.SetCurrency(i, 0, {std::numeric_limits<int64_t>::min()});
        },
        [](RecordStore& r, size_t i) {
          r.SetCurrency(i, 0, {std::numeric_limits<int64_t>::max()});
        },
        [](RecordStore& r, size_t i) { r.SetCurrency(i, 0, {1}); }},
       [](Rng& g, RecordStore& r, size_t i) { r.SetCurrency(i, 0, {static_cast<int64_t>(g())}); }},
      {"numeric(38)", ado::adNumeric, 38, 10, DecimalBounds(),
       [](Rng& g, RecordStore& r, size_t i) {
         r.SetDecimal(i, 0, Decimal(RandomCoefficient(g), static_cast<int>(g() % 39)));
       }},
      {"decimal(38)", ado::adDecimal, 38, 4, DecimalBounds(),
       [](Rng& g, RecordStore& r, size_t i) {
         r.SetDecimal(i, 0, Decimal(RandomCoefficient(g), static_cast<int>(g() % 39)));
       }},
      {"boolean",
       ado::adBoolean,
       0,
       0,
       {[](RecordStore& r, size_t i) { r.SetBool(i, 0, true); },
        [](RecordStore& r, size_t i) { r.SetBool(i, 0, false); }},
       [](Rng& g, RecordStore& r, size_t i) { r.SetBool(i, 0, g() & 1); }},
      {"timestamp",
       ado::adDBTimeStamp,
       29,
       9,
       {DateOf({100, 1, 1, 0, 0, 0, 0}), DateOf({9999, 12, 31, 23, 59, 59, 999'999'999}),
        DateOf({1899, 12, 30, 0, 0, 0, 0}), DateOf({1899, 12, 29, 23, 59, 59, 1})},
       [](Rng& g, RecordStore& r, size_t i) { r.SetDate(i, 0, Date::FromParts(RandomParts(g))); }},
      {"text",
       ado::adVarWChar,
       0,
       0,
       {TextOf(""), TextOf(planes), TextOf(" \t\r\n "), TextOf("<&>'\"")},
       [](Rng& g, RecordStore& r, size_t i) {
         std::string text;
         for (uint64_t n = g() % 12; n > 0; --n) AppendUtf8(RandomCharacter(g), text);
         r.SetText(i, 0, text);
       }},
      {"binary",
       ado::adVarBinary,
       0,
       0,
       {[](RecordStore& r, size_t i) { r.SetBytes(i, 0, std::vector<uint8_t>{}); },
        [](RecordStore& r, size_t i) { r.SetBytes(i, 0, std::vector<uint8_t>(300, 0xFF)); }},
       [](Rng& g, RecordStore& r, size_t i) {
         std::vector<uint8_t> bytes(g() % 20);
         for (uint8_t& b : bytes) b = static_cast<uint8_t>(g());
         r.SetBytes(i, 0, bytes);
       }},
  };
}

// Equal bit for bit; a NaN only as a NaN, its payload having no text.
bool SameValue(const Variant& a, const Variant& b) {
  if (a.Type() != b.Type()) return false;
  if (a.Type() == VarType::kR4 || a.Type() == VarType::kR8) {
    const double x = a.AsDouble();
    const double y = b.AsDouble();
    if (std::isnan(x)) return std::isnan(y);
    if (a.Type() == VarType::kR4) {
      return std::bit_cast<uint32_t>(static_cast<float>(x)) ==
             std::bit_cast<uint32_t>(static_cast<float>(y));
    }
    return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
  }
  if (a.Type() == VarType::kDate) {
    return a.AsDate().days == b.AsDate().days && a.AsDate().nanosecond == b.AsDate().nanosecond;
  }
  return a == b;
}

// A file's rows as the last-data reader hands them over, fingerprinted.
class FingerprintRows : public ado::XmlRowHandler {
 public:
  void Fields(const std::vector<FieldDef>& fields) override { reader = RowReader({}, {0}, fields); }
  void Row(std::span<const char* const> values) override {
    prints.push_back(reader.Fingerprint(values));
  }
  RowReader reader;
  std::vector<RowFingerprint> prints;
};

class ValueRoundTrip : public ::testing::TestWithParam<TypeCase> {
 protected:
  // Writes the records, reads them back, and checks every value and fingerprint;
  // the number of values that came back different.
  size_t Check(ado::RecordsetData& data) {
    const std::string path = folder.File("values.xml");
    test::WriteBytes(path, ado::RecordsetDataXmlToString(data));
    const ado::RecordsetData back = ado::ReadRecordsetXmlFile(path);
    EXPECT_EQ(back.records.RecordCount(), data.records.RecordCount());
    FingerprintRows rows;
    ado::ReadRecordsetXmlFileRows(path, rows);
    RowReader query({}, {0}, data.fields);
    RowReader last({}, {0}, back.fields);
    size_t different = 0;
    for (size_t i = 0; i < data.records.RecordCount() && i < back.records.RecordCount(); ++i) {
      const Variant sent = data.records.Get(i, 0);
      const Variant read = back.records.Get(i, 0);
      const RowFingerprint print = query.Fingerprint(data.records, i);
      const bool same = SameValue(sent, read) && print == last.Fingerprint(back.records, i) &&
                        print == rows.prints.at(i);
      if (!same && ++different <= 5) {
        ADD_FAILURE() << GetParam().name << " row " << i << ": wrote " << sent.ToText()
                      << ", read back " << read.ToText();
      }
    }
    return different;
  }

  static ado::RecordsetData Empty() {
    ado::RecordsetData data;
    FieldDef field;
    field.name = "v";
    field.type = GetParam().type;
    field.defined_size =
        GetParam().type == ado::adVarWChar || GetParam().type == ado::adVarBinary ? 1000 : 16;
    field.precision = GetParam().precision;
    field.numeric_scale = GetParam().scale;
    field.attributes = ado::adFldIsNullable | ado::adFldMayBeNull;
    data.fields = {field};
    data.records = RecordStore(1);
    return data;
  }

  test::TestFolder folder;
};

TEST_P(ValueRoundTrip, BoundsAndRandomValuesReadBackEqual) {
  ado::RecordsetData bounds = Empty();
  for (const Put& put : GetParam().bounds) {
    put(bounds.records, bounds.records.AppendRecord());
    bounds.records.SetNull(bounds.records.AppendRecord(), 0);
  }
  EXPECT_EQ(Check(bounds), 0u);

  Rng rng(0x5EED0000 + static_cast<uint64_t>(GetParam().type));
  size_t different = 0;
  for (size_t done = 0; done < kRandomValues; done += kRowsPerFile) {
    ado::RecordsetData data = Empty();
    data.records.Reserve(kRowsPerFile);
    for (size_t i = 0; i < kRowsPerFile && done + i < kRandomValues; ++i) {
      GetParam().random(rng, data.records, data.records.AppendRecord());
    }
    different += Check(data);
  }
  EXPECT_EQ(different, 0u) << "of " << kRandomValues << " random values";
}

INSTANTIATE_TEST_SUITE_P(EveryType, ValueRoundTrip, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TypeCase>& param) {
                           std::string name = param.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace qv
