#include "TablePrinter.h"

#include <cstdio>
#include <vector>

#include "AdoNames.h"
#include "RecordsetFile.h"
#include "TextTable.h"
#include "ValueText.h"
#include "core/Text.h"
#include "values/FieldValue.h"

namespace rsfile {
namespace {

std::string EscapeControls(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  char hex[16];
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\t') {
      escaped += "\\t";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      escaped += hex;
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // C1 control characters (U+0080 to U+009F).
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(text[++i]));
      escaped += hex;
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

std::string PlainText(const ado::Variant& value) {
  switch (value.Type()) {
    case ado::VarType::kEmpty:
      return "";
    case ado::VarType::kNull:
      return "NULL";
    case ado::VarType::kBool:
      return value.AsBool() ? "true" : "false";
    case ado::VarType::kUI8:
      return std::to_string(value.AsUInt64());
    case ado::VarType::kI1:
    case ado::VarType::kI2:
    case ado::VarType::kI4:
    case ado::VarType::kI8:
    case ado::VarType::kUI1:
    case ado::VarType::kUI2:
    case ado::VarType::kUI4:
      return std::to_string(value.AsInt64());
    case ado::VarType::kR4:
      return SingleText(static_cast<float>(value.AsDouble()));
    case ado::VarType::kR8:
      return DoubleText(value.AsDouble());
    case ado::VarType::kDecimal:
      return value.AsDecimal().ToString();
    case ado::VarType::kCurrency:
      return value.AsCurrency().ToDecimal().ToString();
    case ado::VarType::kDate:
      return DateText(value.AsDate(), ' ');
    case ado::VarType::kString:
      return EscapeControls(value.AsString());
    case ado::VarType::kBytes:
      return HexText(value.AsBytes());
    case ado::VarType::kArray:
    case ado::VarType::kObject:
      break;
  }
  return "<" + value.TypeName() + ">";
}

void PrintFields(const ado::Fields& fields, std::ostream& out) {
  TextTable table({"#", "Name", "Type", "Size", "Precision", "Scale", "Attributes"});
  for (size_t column : {0u, 3u, 4u, 5u}) table.AlignRight(column);
  for (int32_t i = 0; i < fields.Count(); ++i) {
    ado::Field field = fields.Item(static_cast<size_t>(i));
    std::string attributes = std::to_string(field.Attributes());
    if (std::string names = AttributeNames(field.Attributes()); !names.empty()) {
      attributes += " (" + names + ")";
    }
    table.AddRow({std::to_string(i + 1), CellText(field.Name()), TypeLabel(field.Type()),
                  std::to_string(field.DefinedSize()), std::to_string(field.Precision()),
                  std::to_string(field.NumericScale()), attributes});
  }
  out << fields.Count() << (fields.Count() == 1 ? " field\n" : " fields\n");
  table.Print(out, "  ");
}

}  // namespace

std::string CellText(const ado::Variant& value) {
  std::string text = PlainText(value);
  if (core::CodePointCount(text) > kMaxCellWidth) {
    text = std::string(core::CodePointPrefix(text, kMaxCellWidth - 3)) + "...";
  }
  return text;
}

void PrintRecordset(ado::Recordset& recordset, std::ostream& out) {
  ado::Fields fields = recordset.Fields();
  PrintFields(fields, out);

  std::vector<std::string> header;
  const size_t field_count = static_cast<size_t>(fields.Count());
  for (size_t i = 0; i < field_count; ++i) header.push_back(CellText(fields.Item(i).Name()));
  TextTable records(std::move(header));
  for (size_t i = 0; i < field_count; ++i) {
    if (ado::IsNumericType(fields.Item(i).Type())) records.AlignRight(i);
  }
  ForEachRecord(recordset, [&](size_t) {
    std::vector<std::string> cells;
    cells.reserve(field_count);
    for (size_t i = 0; i < field_count; ++i) cells.push_back(CellText(fields.Item(i).Value()));
    records.AddRow(std::move(cells));
  });

  out << '\n';
  if (field_count > 0) {
    records.Print(out);
    out << '\n';
  }
  out << records.RowCount() << (records.RowCount() == 1 ? " record\n" : " records\n");

  // A change file's deletions: rows an ADO reader does not show, marked as such.
  const std::vector<std::vector<ado::Variant>> deleted = DeletedRows(recordset);
  if (deleted.empty()) return;
  std::vector<std::string> marked_header = {"(pending)"};
  for (size_t i = 0; i < field_count; ++i) marked_header.push_back(CellText(fields.Item(i).Name()));
  TextTable marked(std::move(marked_header));
  for (const std::vector<ado::Variant>& row : deleted) {
    std::vector<std::string> cells = {"deleted"};
    for (const ado::Variant& value : row) cells.push_back(CellText(value));
    marked.AddRow(std::move(cells));
  }
  out << '\n';
  marked.Print(out);
  out << '\n'
      << deleted.size() << (deleted.size() == 1 ? " record" : " records") << " pending deletion\n";
}

}  // namespace rsfile
