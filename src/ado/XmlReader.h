#pragma once

#include <string>
#include <string_view>

#include "ado/Recordset.h"

namespace ado {

// Reads a persisted recordset (ADO's XML format) into fields, records and properties.
// Rows inside rs:insert come back with adRecNew, rs:update with adRecModified and their
// original values, rs:delete with adRecDeleted. Never resolves DTDs or entities.
// Throws ado::Error kErrInvalidPersistedFile with a one-line reason (not well-formed,
// not a recordset, a DOCTYPE, a truncated file ...), kErrFileNotFound when the file
// does not exist.
RecordsetData ReadRecordsetXmlFile(const std::string& path);
RecordsetData ReadRecordsetXml(std::string_view text);

}  // namespace ado
