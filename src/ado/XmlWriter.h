#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ado/XmlFormat.h"

namespace ado {

class Recordset;
class RecordStore;
struct FieldDef;
struct PersistProperties;
class QueryCursor;
struct RecordsetData;

// Where the XML writer sends its bytes. The writer buffers; sinks see large writes.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void Write(std::string_view bytes) = 0;
};

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

// The same for data without a cursor (what ReadRecordsetXml returns or a loader
// builds): every record of data.records in store order, records marked adRecNew,
// adRecModified (with originals) or adRecDeleted as pending changes.
void WriteRecordsetDataXml(const RecordsetData& data, OutputSink& out);

std::string RecordsetDataXmlToString(const RecordsetData& data);

// Appends to `out` the text the row attribute of `field` holds for record `record` once
// XML has read it back (unescaped; bin.hex without line breaks), the field being of
// `kind`. False, appending nothing, when the file leaves the value out (a null).
bool AppendFileText(const RecordStore& store, size_t record, size_t field, xml::ValueKind kind,
                    std::string& out);

// A result written as it is read, a block of rows at a time: the bytes are those
// WriteRecordsetDataXml writes for the same fields, properties and rows held at once
// (every row unchanged). The schema goes out on construction, Finish writes the end;
// the sink sees nothing more after a throw.
class RecordsetXmlStream {
 public:
  RecordsetXmlStream(const std::vector<FieldDef>& fields, const PersistProperties& properties,
                     OutputSink& out);
  ~RecordsetXmlStream();
  RecordsetXmlStream(const RecordsetXmlStream&) = delete;
  RecordsetXmlStream& operator=(const RecordsetXmlStream&) = delete;

  void WriteRows(const RecordStore& block);
  void Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes the rest of a query's result to a file (created or truncated) through
// RecordsetXmlStream, a block of rows at a time, so memory holds one block whatever
// the result's size. Returns the rows written. Throws core::Error for a failed read or
// write (the file is then incomplete: write to a temporary and rename).
int64_t WriteQueryXmlFile(QueryCursor& cursor, const PersistProperties& properties,
                          const std::string& path);

}  // namespace ado
