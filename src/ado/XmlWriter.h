#pragma once

#include <string>
#include <string_view>

namespace ado {

class Recordset;
struct RecordsetData;

// Where the XML writer sends its bytes. The writer buffers; sinks see large writes.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void Write(std::string_view bytes) = 0;
};

// Writes the recordset in ADO's XML persistence layout (persist format 1): the schema
// from FieldDefs() and Properties(), then the records of RecordsToSave(), pending
// changes as rs:update / rs:insert / rs:delete blocks. Throws ado::Error when the sink
// fails.
void WriteRecordsetXml(const Recordset& recordset, OutputSink& out);

// The same into a file (created or truncated), streamed. Throws ado::Error with the
// path and the system's reason when the file cannot be written.
void WriteRecordsetXmlFile(const Recordset& recordset, const std::string& path);

// The same into a string, for streams and tests.
std::string RecordsetXmlToString(const Recordset& recordset);

// The same for data without a cursor (what ReadRecordsetXml returns or a loader
// builds): every record of data.records in store order, records marked adRecNew,
// adRecModified (with originals) or adRecDeleted as pending changes.
void WriteRecordsetDataXml(const RecordsetData& data, OutputSink& out);
std::string RecordsetDataXmlToString(const RecordsetData& data);

}  // namespace ado
