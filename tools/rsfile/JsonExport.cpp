#include "JsonExport.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "RecordsetFile.h"
#include "ToolError.h"
#include "ValueText.h"
#include "core/Error.h"

namespace rsfile {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// JSON has no NaN or infinities; they travel as text, which the import reads back.
json NonFiniteText(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "Infinity" : "-Infinity";
}

json ValueToJson(const ado::Variant& value) {
  switch (value.Type()) {
    case ado::VarType::kEmpty:
    case ado::VarType::kNull:
      return nullptr;
    case ado::VarType::kBool:
      return value.AsBool();
    case ado::VarType::kI1:
    case ado::VarType::kI2:
    case ado::VarType::kI4:
    case ado::VarType::kI8:
    case ado::VarType::kUI1:
    case ado::VarType::kUI2:
    case ado::VarType::kUI4:
      return value.AsInt64();
    case ado::VarType::kUI8:
      return value.AsUInt64();
    case ado::VarType::kR4: {
      float single = static_cast<float>(value.AsDouble());
      if (!std::isfinite(single)) return NonFiniteText(single);
      // The shortest text of the single, so that 1.1f comes out as 1.1.
      return std::strtod(SingleText(single).c_str(), nullptr);
    }
    case ado::VarType::kR8:
      if (!std::isfinite(value.AsDouble())) return NonFiniteText(value.AsDouble());
      return value.AsDouble();
    case ado::VarType::kDecimal:
      return value.AsDecimal().ToString();
    case ado::VarType::kCurrency:
      return value.AsCurrency().ToDecimal().ToString();
    case ado::VarType::kDate:
      return DateText(value.AsDate());
    case ado::VarType::kString:
      return value.AsString();
    case ado::VarType::kBytes:
      return HexText(value.AsBytes());
    case ado::VarType::kArray:
    case ado::VarType::kObject:
      break;
  }
  throw ToolError("a value of type " + value.TypeName() + " has no JSON form");
}

std::string Dump(const auto& value) {
  // Strict: text that is not UTF-8 is an error rather than silently replaced.
  return value.dump(-1, ' ', false, json::error_handler_t::strict);
}

}  // namespace

void WriteRecordsetJson(ado::Recordset& recordset, std::ostream& out) {
  ado::Fields fields = recordset.Fields();
  const size_t field_count = static_cast<size_t>(fields.Count());

  out << "{\n  \"fields\": [";
  for (size_t i = 0; i < field_count; ++i) {
    ado::Field field = fields.Item(i);
    ordered_json definition = {{"name", field.Name()},
                               {"type", field.Type()},
                               {"definedSize", field.DefinedSize()},
                               {"precision", field.Precision()},
                               {"numericScale", field.NumericScale()},
                               {"attributes", field.Attributes()}};
    std::string line;
    try {
      line = Dump(definition);
    } catch (const json::exception&) {
      throw ToolError("field " + std::to_string(i + 1) + ": name is not valid UTF-8");
    }
    out << (i == 0 ? "\n    " : ",\n    ") << line;
  }
  out << (field_count == 0 ? "],\n" : "\n  ],\n");

  out << "  \"rows\": [";
  bool any_row = false;
  ForEachRecord(recordset, [&](size_t number) {
    json row = json::array();
    for (size_t i = 0; i < field_count; ++i) {
      ado::Field field = fields.Item(i);
      try {
        row.push_back(ValueToJson(field.Value()));
      } catch (const ToolError& e) {
        throw ToolError("row " + std::to_string(number + 1) + ", field '" + field.Name() +
                        "': " + e.what());
      } catch (const core::Error& e) {
        throw ToolError("row " + std::to_string(number + 1) + ", field '" + field.Name() +
                        "': " + e.record().description);
      }
    }
    std::string line;
    try {
      line = Dump(row);
    } catch (const json::exception&) {
      throw ToolError("row " + std::to_string(number + 1) + ": text that is not valid UTF-8");
    }
    out << (any_row ? ",\n    " : "\n    ") << line;
    any_row = true;
  });
  out << (any_row ? "\n  ]" : "]");
  // Rows pending deletion only where there are some: other files read as before.
  const std::vector<std::vector<ado::Variant>> deleted = DeletedRows(recordset);
  if (!deleted.empty()) {
    out << ",\n  \"deleted\": [";
    for (size_t number = 0; number < deleted.size(); ++number) {
      json row = json::array();
      for (size_t i = 0; i < field_count; ++i) {
        try {
          row.push_back(ValueToJson(deleted[number][i]));
        } catch (const ToolError& e) {
          throw ToolError("deleted row " + std::to_string(number + 1) + ", field '" +
                          fields.Item(i).Name() + "': " + e.what());
        }
      }
      std::string line;
      try {
        line = Dump(row);
      } catch (const json::exception&) {
        throw ToolError("deleted row " + std::to_string(number + 1) +
                        ": text that is not valid UTF-8");
      }
      out << (number == 0 ? "\n    " : ",\n    ") << line;
    }
    out << "\n  ]";
  }
  out << "\n}\n";
}

}  // namespace rsfile
