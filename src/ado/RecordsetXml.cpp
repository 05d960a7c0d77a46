#include "ado/RecordsetXml.h"

#include <utility>

#include "ado/Recordset.h"

namespace ado {

void WriteRecordsetXml(const Recordset& recordset, OutputSink& out) {
  WriteRecordsXml(recordset.FieldDefs(), recordset.Records(), recordset.Properties(),
                  recordset.RecordsToSave(), out);
}

void WriteRecordsetXmlFile(const Recordset& recordset, const std::string& path) {
  FileSink sink(path);
  WriteRecordsetXml(recordset, sink);
  sink.Close();
}

std::string RecordsetXmlToString(const Recordset& recordset) {
  StringSink sink;
  WriteRecordsetXml(recordset, sink);
  return std::move(sink.text);
}

}  // namespace ado
