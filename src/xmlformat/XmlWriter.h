#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/File.h"
#include "xmlformat/XmlFormat.h"

namespace ado {

class RecordStore;
struct FieldDef;
struct PersistProperties;
struct RecordsetData;

// Where the XML writer sends its bytes. The writer buffers; sinks see large writes.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void Write(std::string_view bytes) = 0;
};

// A file (created or truncated) written through core::File; closed on every path.
class FileSink : public OutputSink {
 public:
  explicit FileSink(const std::string& path);
  void Write(std::string_view bytes) override;
  void Close() { file_.Close(); }

 private:
  core::File file_;
};

class StringSink : public OutputSink {
 public:
  void Write(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

// Writes records of `records` in ADO's XML persistence layout (persist format 1): the
// schema from `fields` and `properties`, then the records `order` names, pending changes
// (by each record's status) as rs:update / rs:insert / rs:delete blocks. Throws
// core::Error when the sink fails.
void WriteRecordsXml(const std::vector<FieldDef>& fields, const RecordStore& records,
                     const PersistProperties& properties, const std::vector<size_t>& order,
                     OutputSink& out);

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

}  // namespace ado
