#pragma once

#include <ostream>
#include <string>

#include "ado/Recordset.h"
#include "values/Variant.h"

namespace rsfile {

// Longest cell of the records table, in code points; longer values end in "...".
inline constexpr size_t kMaxCellWidth = 40;

// Prints the field definitions (ordinal, name, type as "202 adVarWChar", defined size,
// precision, scale, attributes), the records the recordset shows as an aligned table,
// and a line with the number of records.
void PrintRecordset(ado::Recordset& recordset, std::ostream& out);

// A value as the table shows it: null as NULL, control characters escaped (\t, \n,
// \r, \xNN, \u0085), at most kMaxCellWidth code points.
std::string CellText(const ado::Variant& value);

}  // namespace rsfile
