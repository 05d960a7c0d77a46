#include "e2e/ResultFile.h"

#include <stdexcept>

#include "ado/Recordset.h"
#include "values/Variant.h"
#include "xmlformat/XmlReader.h"

namespace qv::e2e {
namespace {

std::string Text(const ado::Variant& value) {
  if (value.IsNull()) return "NULL";
  if (value.Type() != ado::VarType::kBytes) return value.ToText();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : value.AsBytes()) hex += {kHex[byte >> 4], kHex[byte & 15]};
  return hex;
}

}  // namespace

ResultFile ResultFile::Read(const std::filesystem::path& path) {
  ado::Recordset rs;
  rs.Open(ado::Variant(path.string()));
  ResultFile file;
  file.fields = rs.FieldDefs();
  for (; !rs.Eof(); rs.MoveNext()) {
    std::vector<std::string> row;
    for (int32_t i = 0; i < rs.Fields().Count(); ++i) {
      const ado::Variant value = rs.Fields().Item(static_cast<size_t>(i)).Value();
      row.push_back(Text(value));
    }
    file.rows.push_back(std::move(row));
  }
  const ado::RecordsetData data = ado::ReadRecordsetXmlFile(path.string());
  for (size_t record = 0; record < data.records.RecordCount(); ++record) {
    if (!(data.records.Status(record) & ado::adRecDeleted)) continue;
    std::vector<std::string> row;
    for (size_t field = 0; field < data.fields.size(); ++field) {
      row.push_back(Text(data.records.Get(record, field)));
    }
    file.deleted.push_back(std::move(row));
  }
  return file;
}

namespace {

std::vector<std::string> ColumnOf(const std::vector<ado::FieldDef>& fields,
                                  const std::vector<std::vector<std::string>>& rows,
                                  const std::string& name) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name != name) continue;
    std::vector<std::string> values;
    for (const auto& row : rows) values.push_back(row.at(i));
    return values;
  }
  throw std::out_of_range("no field " + name);
}

}  // namespace

std::vector<std::string> ResultFile::Column(const std::string& name) const {
  return ColumnOf(fields, rows, name);
}

std::vector<std::string> ResultFile::DeletedColumn(const std::string& name) const {
  return ColumnOf(fields, deleted, name);
}

std::string DatatypeElement(const std::string& xml, const std::string& name) {
  for (const char quote : {'\'', '"'}) {
    const std::string start = std::string("<s:AttributeType name=") + quote + name + quote;
    const size_t field = xml.find(start);
    if (field == std::string::npos) continue;
    const size_t begin = xml.find("<s:datatype", field);
    const size_t end = xml.find("/>", begin);
    if (begin == std::string::npos || end == std::string::npos) return {};
    std::string element;
    bool blank = false;
    for (size_t i = begin; i < end + 2; ++i) {
      const char c = xml[i];
      if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
        blank = true;
        continue;
      }
      if (blank) element += ' ';
      blank = false;
      element += c;
    }
    return element;
  }
  return {};
}

}  // namespace qv::e2e
