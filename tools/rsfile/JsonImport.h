#pragma once

#include <memory>
#include <string_view>

#include "ado/Recordset.h"

namespace rsfile {

// Builds a recordset from the JSON that WriteRecordsetJson writes (a UTF-8 BOM is
// allowed). A field without "type" is 202 (adVarWChar) of size 255; other missing
// properties take Fields.Append's defaults, so only a field whose attributes say
// IsNullable or MayBeNull takes null. Rows are committed (UpdateBatch), none pending. Throws
// ToolError for JSON that cannot be read, a field definition that is not valid, a row of the wrong
// length, or a value that does not fit its field's type; the message names the row and field.
std::shared_ptr<ado::Recordset> ReadRecordsetJson(std::string_view text);

}  // namespace rsfile
