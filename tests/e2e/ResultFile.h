#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "values/FieldDef.h"

namespace qv::e2e {

// A recordset file as the tests look at it: its field definitions and every value as
// text ("NULL" for a null value, lower-case hex for bytes).
struct ResultFile {
  std::vector<ado::FieldDef> fields;
  std::vector<std::vector<std::string>> rows;
  // The rows pending deletion (rs:delete), which a walk of the rows does not show.
  std::vector<std::vector<std::string>> deleted;

  // Opens the file through the recordset library. Throws core::Error when it is not a
  // recordset file.
  static ResultFile Read(const std::filesystem::path& path);

  // The values of one field, in record order. Throws std::out_of_range for an unknown
  // field.
  std::vector<std::string> Column(const std::string& name) const;
  // The same of the rows pending deletion.
  std::vector<std::string> DeletedColumn(const std::string& name) const;
};

// The s:datatype element of the field `name` in a recordset file's text, with every
// line break and the indentation after it turned into one space; empty when the field
// is not there.
std::string DatatypeElement(const std::string& xml, const std::string& name);

}  // namespace qv::e2e
