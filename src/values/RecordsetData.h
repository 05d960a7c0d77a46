#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "values/FieldDef.h"
#include "values/RecordStore.h"

namespace ado {

// Recordset-level properties that a persisted file carries on its row definition.
struct PersistProperties {
  bool updatable = true;                   // rs:updatable='true'
  std::optional<int32_t> command_timeout;  // rs:CommandTimeout
  std::string reshape_name;                // rs:ReshapeName
  friend bool operator==(const PersistProperties&, const PersistProperties&) = default;
};

// Everything a recordset holds: what the file reader and the query layer produce and
// what the file writer consumes.
struct RecordsetData {
  std::vector<FieldDef> fields;
  RecordStore records;
  PersistProperties properties;
};

}  // namespace ado
