#pragma once

#include <cstdint>
#include <string>

#include "values/AdoEnums.h"

namespace ado {

// The definition of one field: what Fields.Append takes, plus what a persisted file
// carries about the field's origin so that opening and saving keeps it.
struct FieldDef {
  std::string name;
  int32_t type = adVarWChar;  // DataTypeEnum
  int64_t defined_size = 0;   // characters for text, bytes for binary
  int32_t attributes = 0;     // FieldAttributeEnum bits
  uint8_t precision = 0;
  uint8_t numeric_scale = 0;

  // Origin of the column, written as rs:basecatalog ... when known.
  std::string base_catalog;
  std::string base_schema;
  std::string base_table;
  std::string base_column;
  bool autoincrement = false;
  bool hidden = false;  // a column the cursor keeps for itself; not in Fields

  friend bool operator==(const FieldDef&, const FieldDef&) = default;
};

}  // namespace ado
