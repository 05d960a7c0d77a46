#pragma once

#include <string>

#include "xmlformat/XmlWriter.h"

namespace ado {

class Recordset;

// Writes the recordset in ADO's XML persistence layout (persist format 1): the schema
// from FieldDefs() and Properties(), then the records of RecordsToSave(), pending
// changes as rs:update / rs:insert / rs:delete blocks. Throws core::Error when the sink
// fails.
void WriteRecordsetXml(const Recordset& recordset, OutputSink& out);

// The same into a file (created or truncated), streamed. Throws core::Error with the
// path and the system's reason when the file cannot be written.
void WriteRecordsetXmlFile(const Recordset& recordset, const std::string& path);

// The same into a string, for streams and tests.
std::string RecordsetXmlToString(const Recordset& recordset);

}  // namespace ado
