#pragma once

#include <ostream>

#include "ado/Recordset.h"

namespace rsfile {

// Writes the recordset's fields and the records it shows as UTF-8 JSON, one field and
// one row per line:
//   {"fields":[{"name":..,"type":202,"definedSize":..,"precision":..,"numericScale":..,
//   "attributes":..}],"rows":[[..],..]}
// Values: null, true/false, numbers for whole-number and floating values, text for
// the rest (decimals and currency exact, dates "yyyy-mm-ddThh:mm:ss[.fraction]",
// bytes as lower-case hex). Throws ToolError naming the row and field for a value
// JSON cannot carry (text that is not UTF-8, an array or object value).
void WriteRecordsetJson(ado::Recordset& recordset, std::ostream& out);

}  // namespace rsfile
