#include "db/CellStore.h"

#include <unicode/ustring.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "core/Error.h"
#include "core/Text.h"
#include "db/RowNaming.h"
#include "values/Decimal.h"
#include "xmlformat/FileValues.h"
#include "xmlformat/XmlFormat.h"

namespace ado::cells {

void RethrowForColumn(const core::Error& error, const std::string& column, int64_t row,
                      const RowRest& rest) {
  // Only names the row; the value that failed is what is reported.
  for (size_t field = rest.from; field < rest.to; ++field) {
    try {
      rest.store_value(field);
    } catch (const core::Error&) {
      rest.store.SetNull(rest.record, field);
    }
  }
  throw CellError(error, column, row);
}

size_t IcuUtf16ToUtf8(const char* data, size_t units, std::string& out) {
  std::u16string text(units, u'\0');  // aligned copy for ICU
  std::memcpy(text.data(), data, units * sizeof(char16_t));
  out.assign(units * 3, '\0');
  int32_t length = 0;
  int32_t substitutions = 0;
  UErrorCode status = U_ZERO_ERROR;
  // Unpaired surrogates from a broken value become U+FFFD rather than failing the row.
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                     static_cast<int32_t>(text.size()), 0xFFFD, &substitutions, &status);
  if (U_FAILURE(status)) {
    throw core::Error(core::kErrDataConversion, "ODBC", "Text from the driver is not valid UTF-16");
  }
  out.resize(static_cast<size_t>(length));
  return static_cast<size_t>(substitutions);
}

void GuidText(std::string& text) {
  const bool braced = text.size() == 38 && text.front() == '{' && text.back() == '}';
  if (!braced && text.size() != 36) return;
  if (!braced) {
    text.insert(text.begin(), '{');
    text.push_back('}');
  }
  for (size_t i = 1; i < 37; ++i) {
    char& c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

size_t CheckedUtf8(const char* data, size_t bytes, std::string& out) {
  out.assign(data, bytes);
  if (core::IsValidUtf8(out)) return 0;
  std::u16string wide(bytes + 1, u'\0');
  int32_t length = 0;
  int32_t substitutions = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &length, data,
                       static_cast<int32_t>(bytes), 0xFFFD, &substitutions, &status);
  if (U_FAILURE(status)) {
    throw core::Error(core::kErrDataConversion, "ODBC", "Text from the driver is not valid UTF-8");
  }
  IcuUtf16ToUtf8(reinterpret_cast<const char*>(wide.data()), static_cast<size_t>(length), out);
  return static_cast<size_t>(substitutions);
}

void StoreInteger(RecordStore& store, size_t record, size_t field, VarType type, int64_t v) {
  int64_t lo = std::numeric_limits<int64_t>::min();
  int64_t hi = std::numeric_limits<int64_t>::max();
  switch (type) {
    case VarType::kI1:
      lo = -128, hi = 127;
      break;
    case VarType::kI2:
      lo = -32768, hi = 32767;
      break;
    case VarType::kI4:
      lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
      break;
    default:
      break;
  }
  if (v < lo || v > hi) {
    throw core::Error(core::kErrOverflow, "ODBC",
                      "Value " + std::to_string(v) + " out of the field's range");
  }
  store.SetInteger(record, field, type, v);
}

void StoreUnsigned(RecordStore& store, size_t record, size_t field, VarType type, uint64_t v) {
  uint64_t hi = std::numeric_limits<uint64_t>::max();
  switch (type) {
    case VarType::kUI1:
      hi = 255;
      break;
    case VarType::kUI2:
      hi = 65535;
      break;
    case VarType::kUI4:
      hi = std::numeric_limits<uint32_t>::max();
      break;
    default:
      break;
  }
  if (v > hi) {
    throw core::Error(core::kErrOverflow, "ODBC",
                      "Value " + std::to_string(v) + " out of the field's range");
  }
  if (type == VarType::kUI8) {
    store.SetUnsigned(record, field, v);
  } else {
    store.SetInteger(record, field, type, static_cast<int64_t>(v));
  }
}

void StoreDecimal(RecordStore& store, size_t record, size_t field, std::string_view text) {
  auto value = Decimal::Parse(text);
  if (!value) {
    throw core::Error(core::kErrDataConversion, "ODBC",
                      "Numeric value '" + std::string(text) + "' does not fit an exact decimal");
  }
  store.SetDecimal(record, field, *value);
}

void StoreDate(RecordStore& store, size_t record, size_t field, int32_t ado_type,
               const Date::Parts& parts) {
  Date date;
  try {
    date = Date::FromParts(parts);
    // A whole second in a field that keeps the date and the time reads back from the
    // file as it is: only other values go through the file's text.
    const xml::ValueKind kind = xml::LayoutOf(ado_type).kind;
    if (parts.nanosecond != 0 || kind == xml::ValueKind::kDate || kind == xml::ValueKind::kTime) {
      date = FileDate(date, ado_type);
    }
  } catch (const core::Error& error) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%09d", parts.year, parts.month,
                  parts.day, parts.hour, parts.minute, parts.second, parts.nanosecond);
    core::ErrorRecord record_error = error.record();
    record_error.description += ": value " + std::string(text);
    throw core::Error(std::move(record_error));
  }
  store.SetDate(record, field, date);
}

}  // namespace ado::cells
