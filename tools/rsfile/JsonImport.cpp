#include "JsonImport.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AdoNames.h"
#include "ToolError.h"
#include "ValueText.h"
#include "core/Error.h"
#include "core/Text.h"
#include "values/FieldValue.h"

namespace rsfile {
namespace {

using nlohmann::json;

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Integral doubles are whole numbers only while they are exact.
constexpr double kMaxExactDouble = 9007199254740992.0;  // 2^53

struct FieldInput {
  std::string name;
  int32_t type = ado::adVarWChar;
  int64_t defined_size = 0;
  int32_t attributes = ado::adFldUnspecified;
  std::optional<uint8_t> precision;
  std::optional<uint8_t> numeric_scale;
};

// A short rendering of a JSON value for messages.
std::string Shown(const json& value) {
  std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
  if (core::CodePointCount(text) > 40) text = std::string(core::CodePointPrefix(text, 37)) + "...";
  return text;
}

bool IsSupportedType(int32_t type) {
  return ado::IsNumericType(type) || ado::IsDateType(type) || ado::IsTextType(type) ||
         ado::IsBinaryType(type) || type == ado::adBoolean || type == ado::adGUID;
}

// A JSON number that is a whole number, as a signed 64-bit value.
std::optional<int64_t> WholeNumber(const json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<int64_t>();
  if (value.is_number_unsigned()) {
    uint64_t number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (std::trunc(number) == number && std::fabs(number) <= kMaxExactDouble) {
      return static_cast<int64_t>(number);
    }
  }
  return std::nullopt;
}

int64_t ReadInteger(const json& object, const char* key, int64_t min, int64_t max,
                    const std::string& context) {
  const json& value = object.at(key);
  std::optional<int64_t> number = WholeNumber(value);
  if (!number || *number < min || *number > max) {
    throw ToolError(context + ": \"" + key + "\" must be a whole number from " +
                    std::to_string(min) + " to " + std::to_string(max) + ", not " + Shown(value));
  }
  return *number;
}

FieldInput ReadFieldInput(const json& object, size_t number) {
  std::string context = "field " + std::to_string(number);
  if (!object.is_object()) throw ToolError(context + ": expected an object, not " + Shown(object));
  static const std::set<std::string> kKeys = {"name",      "type",         "definedSize",
                                              "precision", "numericScale", "attributes"};
  for (const auto& [key, value] : object.items()) {
    if (kKeys.count(key) == 0) throw ToolError(context + ": unknown property \"" + key + "\"");
  }
  FieldInput input;
  if (!object.contains("name") || !object["name"].is_string() ||
      object["name"].get_ref<const std::string&>().empty()) {
    throw ToolError(context + ": \"name\" must be a non-empty text");
  }
  input.name = object["name"].get<std::string>();
  context += " ('" + input.name + "')";

  if (object.contains("type")) {
    input.type = static_cast<int32_t>(ReadInteger(object, "type", 0, INT32_MAX, context));
    if (!IsSupportedType(input.type)) {
      throw ToolError(context + ": type " + TypeLabel(input.type) + " is not supported");
    }
  } else if (!object.contains("definedSize")) {
    input.defined_size = 255;
  }
  if (object.contains("definedSize")) {
    input.defined_size = ReadInteger(object, "definedSize", -1, INT64_MAX, context);
  }
  if (object.contains("attributes")) {
    input.attributes =
        static_cast<int32_t>(ReadInteger(object, "attributes", INT32_MIN, INT32_MAX, context));
  }
  if (object.contains("precision")) {
    input.precision = static_cast<uint8_t>(ReadInteger(object, "precision", 0, 255, context));
  }
  if (object.contains("numericScale")) {
    input.numeric_scale =
        static_cast<uint8_t>(ReadInteger(object, "numericScale", 0, 255, context));
  }
  return input;
}

// `type` is one of the whole-number types ado::WholeRangeOf knows.
ado::Variant ReadWhole(const json& value, ado::VarType type) {
  const ado::WholeRange range = *ado::WholeRangeOf(type);
  std::optional<int64_t> number = WholeNumber(value);
  if (!number || *number < range.min || *number > range.max) {
    throw ToolError("expected a whole number from " + std::to_string(range.min) + " to " +
                    std::to_string(range.max) + ", not " + Shown(value));
  }
  return ado::Variant::Integer(type, *number);
}

ado::Variant ReadUnsigned64(const json& value) {
  if (value.is_number_unsigned()) return ado::Variant::UnsignedInteger(value.get<uint64_t>());
  std::optional<int64_t> number = WholeNumber(value);
  if (!number || *number < 0) {
    throw ToolError("expected a whole number from 0 to 18446744073709551615, not " + Shown(value));
  }
  return ado::Variant::UnsignedInteger(static_cast<uint64_t>(*number));
}

double ReadFloating(const json& value) {
  if (value.is_number()) return value.get<double>();
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (text == "Infinity") return std::numeric_limits<double>::infinity();
    if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
  }
  throw ToolError("expected a number, not " + Shown(value));
}

// Decimals and currency are written as text to keep every digit; a JSON number is
// taken by its shortest text, which is what a person typed for up to 15 digits.
ado::Decimal ReadDecimal(const json& value) {
  std::optional<ado::Decimal> number;
  if (value.is_string()) {
    number = ado::Decimal::Parse(value.get_ref<const std::string&>());
  } else if (value.is_number_integer()) {
    number = ado::Decimal::Parse(value.dump());
  } else if (value.is_number_float()) {
    number = ado::Decimal::Parse(DoubleText(value.get<double>()));
  }
  if (!number) {
    throw ToolError("expected a decimal number of up to 38 digits (as text), not " + Shown(value));
  }
  return *number;
}

// Digits before the decimal point, leading zeros not counted.
int IntegerDigits(const ado::Decimal& number) {
  std::string text = number.ToString();
  size_t begin = text.find_first_not_of("-0");
  size_t point = text.find('.');
  if (point == std::string::npos) point = text.size();
  return begin == std::string::npos || begin >= point ? 0 : static_cast<int>(point - begin);
}

ado::Variant ReadExactDecimal(const json& value, const ado::Field& field) {
  ado::Decimal number = ReadDecimal(value);
  int precision = field.Precision();
  int scale = field.NumericScale();
  if (precision > 0 && scale <= precision) {
    if (IntegerDigits(number) > precision - scale) {
      throw ToolError(Shown(value) + " has more than " + std::to_string(precision - scale) +
                      " digits before the point (precision " + std::to_string(precision) +
                      ", scale " + std::to_string(scale) + ")");
    }
    if (number.scale() > scale) {
      // Trailing zeros beyond the scale are harmless; other digits would be lost.
      std::string text = number.ToString();
      size_t point = text.find('.');
      int decimals = point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
      if (decimals > scale) {
        throw ToolError(Shown(value) + " has more than " + std::to_string(scale) +
                        " digits after the point (scale " + std::to_string(scale) + ")");
      }
    }
  }
  return number;
}

// The first character XML 1.0 cannot carry (controls other than TAB, LF and CR; U+FFFE,
// U+FFFF), as "U+0001"; empty when there is none. A file cannot hold such a text.
std::string CharacterXmlCannotHold(std::string_view text) {
  char name[16];
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      std::snprintf(name, sizeof name, "U+%04X", c);
      return name;
    }
    if (c == 0xEF && text.substr(i + 1, 1) == "\xBF" && i + 2 < text.size() &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      return text[i + 2] == '\xBE' ? "U+FFFE" : "U+FFFF";
    }
  }
  return {};
}

const std::string& ReadText(const json& value, const char* what) {
  if (!value.is_string())
    throw ToolError(std::string("expected ") + what + ", not " + Shown(value));
  return value.get_ref<const std::string&>();
}

ado::Variant ReadValue(const json& value, const ado::Field& field) {
  if (value.is_null()) {
    // As with Fields.Append, only a field appended as nullable takes null.
    if ((field.Attributes() & (ado::adFldIsNullable | ado::adFldMayBeNull)) == 0) {
      throw ToolError(
          "null, but the field is not nullable (add 32, IsNullable, to its "
          "\"attributes\")");
    }
    return ado::Variant::Null();
  }
  const int32_t type = field.Type();
  const int64_t size = field.DefinedSize();
  const bool is_long = (field.Attributes() & ado::adFldLong) != 0 || type == ado::adLongVarChar ||
                       type == ado::adLongVarWChar || type == ado::adLongVarBinary;
  switch (type) {
    case ado::adTinyInt:
      return ReadWhole(value, ado::VarType::kI1);
    case ado::adUnsignedTinyInt:
      return ReadWhole(value, ado::VarType::kUI1);
    case ado::adSmallInt:
      return ReadWhole(value, ado::VarType::kI2);
    case ado::adUnsignedSmallInt:
      return ReadWhole(value, ado::VarType::kUI2);
    case ado::adInteger:
      return ReadWhole(value, ado::VarType::kI4);
    case ado::adUnsignedInt:
      return ReadWhole(value, ado::VarType::kUI4);
    case ado::adBigInt:
      return ReadWhole(value, ado::VarType::kI8);
    case ado::adUnsignedBigInt:
      return ReadUnsigned64(value);
    case ado::adSingle: {
      const std::optional<float> single = ado::Variant::NearestSingle(ReadFloating(value));
      if (!single) throw ToolError(Shown(value) + " is out of range for a single");
      return ado::Variant::Single(*single);
    }
    case ado::adDouble:
      return ReadFloating(value);
    case ado::adCurrency:
      try {
        return ado::Currency::FromDecimal(ReadDecimal(value));
      } catch (const core::Error&) {
        throw ToolError(Shown(value) + " is out of range for currency");
      }
    case ado::adDecimal:
    case ado::adNumeric:
    case ado::adVarNumeric:
      return ReadExactDecimal(value, field);
    case ado::adBoolean:
      if (!value.is_boolean()) throw ToolError("expected true or false, not " + Shown(value));
      return value.get<bool>();
    case ado::adDate:
    case ado::adDBDate:
    case ado::adDBTime:
    case ado::adDBTimeStamp:
    case ado::adFileTime: {
      std::optional<ado::Date> date = ParseDateText(ReadText(value, "a date as text"));
      if (!date) {
        throw ToolError("expected a date as yyyy-mm-ddThh:mm:ss[.fraction], not " + Shown(value));
      }
      return *date;
    }
    case ado::adGUID: {
      std::optional<std::string> guid = NormalizeGuid(ReadText(value, "a GUID as text"));
      if (!guid) throw ToolError("expected a GUID such as {0A1B...}, not " + Shown(value));
      return *guid;
    }
    case ado::adBinary:
    case ado::adVarBinary:
    case ado::adLongVarBinary: {
      std::optional<ado::Bytes> bytes = ParseHexText(ReadText(value, "bytes as hex text"));
      if (!bytes) throw ToolError("expected bytes as hex digits, not " + Shown(value));
      if (!is_long && size > 0 && static_cast<int64_t>(bytes->size()) > size) {
        throw ToolError(std::to_string(bytes->size()) + " bytes do not fit the field's size " +
                        std::to_string(size));
      }
      return std::move(*bytes);
    }
    default: {
      const std::string& text = ReadText(value, "text");
      if (std::string bad = CharacterXmlCannotHold(text); !bad.empty()) {
        throw ToolError("the text holds " + bad + ", which a recordset file cannot hold");
      }
      int64_t length = static_cast<int64_t>(core::CodePointCount(text));
      if (!is_long && size > 0 && length > size) {
        throw ToolError("text of " + std::to_string(length) +
                        " characters does not fit the field's size " + std::to_string(size));
      }
      return text;
    }
  }
}

std::vector<FieldInput> ReadFieldInputs(const json& document) {
  if (!document.contains("fields") || !document["fields"].is_array()) {
    throw ToolError("\"fields\" must be an array of field definitions");
  }
  std::vector<FieldInput> inputs;
  std::vector<std::string> folded_names;
  for (const json& object : document["fields"]) {
    inputs.push_back(ReadFieldInput(object, inputs.size() + 1));
    std::string folded = core::FoldCase(inputs.back().name);
    for (const std::string& other : folded_names) {
      if (other == folded) {
        throw ToolError("field " + std::to_string(inputs.size()) + ": the name '" +
                        inputs.back().name + "' is used twice");
      }
    }
    folded_names.push_back(std::move(folded));
  }
  if (inputs.empty()) throw ToolError("\"fields\" is empty: a recordset needs a field");
  return inputs;
}

void AppendFields(ado::Recordset& recordset, const std::vector<FieldInput>& inputs) {
  ado::Fields fields = recordset.Fields();
  for (size_t i = 0; i < inputs.size(); ++i) {
    const FieldInput& input = inputs[i];
    try {
      fields.Append(input.name, input.type, input.defined_size, input.attributes);
      ado::Field field = fields.Item(i);
      if (input.precision) field.SetPrecision(*input.precision);
      if (input.numeric_scale) field.SetNumericScale(*input.numeric_scale);
    } catch (const core::Error& e) {
      throw ToolError("field " + std::to_string(i + 1) + " ('" + input.name +
                      "'): " + e.record().description);
    }
  }
}

void AddRows(ado::Recordset& recordset, const json& rows) {
  ado::Fields fields = recordset.Fields();
  const size_t field_count = static_cast<size_t>(fields.Count());
  size_t number = 0;
  for (const json& row : rows) {
    ++number;
    std::string context = "row " + std::to_string(number);
    if (!row.is_array()) throw ToolError(context + ": expected an array of values");
    if (row.size() != field_count) {
      throw ToolError(context + " has " + std::to_string(row.size()) +
                      (row.size() == 1 ? " value" : " values") + ", but there are " +
                      std::to_string(field_count) + (field_count == 1 ? " field" : " fields"));
    }
    recordset.AddNew();
    for (size_t i = 0; i < field_count; ++i) {
      ado::Field field = fields.Item(i);
      try {
        field.SetValue(ReadValue(row[i], field));
      } catch (const ToolError& e) {
        throw ToolError(context + ", field '" + field.Name() + "' (" + TypeLabel(field.Type()) +
                        "): " + e.what());
      } catch (const core::Error& e) {
        throw ToolError(context + ", field '" + field.Name() + "' (" + TypeLabel(field.Type()) +
                        "): " + e.record().description);
      }
    }
    try {
      recordset.Update();
    } catch (const core::Error& e) {
      throw ToolError(context + ": " + e.record().description);
    }
  }
}

}  // namespace

std::shared_ptr<ado::Recordset> ReadRecordsetJson(std::string_view text) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  json document;
  try {
    document = json::parse(text);
  } catch (const json::exception& e) {
    // A syntax error, or a number beyond a double. Drop the library's
    // "[json.exception.parse_error.101] " tag.
    std::string reason = e.what();
    if (size_t tag_end = reason.find("] ");
        reason.starts_with("[") && tag_end != std::string::npos) {
      reason.erase(0, tag_end + 2);
    }
    throw ToolError("not valid JSON: " + reason);
  }
  if (!document.is_object()) throw ToolError("expected a JSON object with \"fields\" and \"rows\"");
  for (const auto& [key, value] : document.items()) {
    if (key == "deleted") {
      throw ToolError("rows pending deletion (\"deleted\") cannot be made from JSON");
    }
    if (key != "fields" && key != "rows") throw ToolError("unknown property \"" + key + "\"");
  }
  if (document.contains("rows") && !document["rows"].is_array()) {
    throw ToolError("\"rows\" must be an array of rows");
  }

  std::vector<FieldInput> inputs = ReadFieldInputs(document);
  auto recordset = std::make_shared<ado::Recordset>();
  AppendFields(*recordset, inputs);
  try {
    recordset->SetCursorLocation(ado::adUseClient);
    recordset->SetLockType(ado::adLockBatchOptimistic);
    recordset->Open();
  } catch (const core::Error& e) {
    throw ToolError("cannot build the recordset: " + e.record().description);
  }
  if (document.contains("rows")) AddRows(*recordset, document["rows"]);
  try {
    recordset->UpdateBatch();
  } catch (const core::Error& e) {
    throw ToolError("cannot commit the rows: " + e.record().description);
  }
  return recordset;
}

}  // namespace rsfile
