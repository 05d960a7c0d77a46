#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "values/FieldDef.h"
#include "values/RecordStore.h"
#include "xmlformat/XmlWriter.h"

namespace core {
class AtomicFile;
}  // namespace core

namespace ado {
class QueryCursor;
}  // namespace ado

namespace qv {

// A query's result written to a file while its rows are read, a block at a time, with
// the bytes CQvXMLManip::SaveRSToXML writes for the recordset GetRS makes of the same
// rows. The rows go to a temporary beside the file; Commit renames it over the file,
// and a stream dropped before that removes it and leaves the file as it was. Every
// failure throws core::Error.
class XmlFileStream {
 public:
  XmlFileStream(const std::string& path, const std::vector<ado::FieldDef>& fields);
  ~XmlFileStream();
  XmlFileStream(const XmlFileStream&) = delete;
  XmlFileStream& operator=(const XmlFileStream&) = delete;

  void WriteRows(const ado::RecordStore& block);
  int64_t Rows() const { return rows_; }
  const std::vector<ado::FieldDef>& Fields() const { return fields_; }
  // Ends the file and puts it at the path; with `flush_to_disk` the file and the
  // rename reach the disk first.
  void Commit(bool flush_to_disk);

 private:
  class Sink;
  std::string path_;
  std::vector<ado::FieldDef> fields_;
  std::unique_ptr<core::AtomicFile> file_;
  std::unique_ptr<Sink> sink_;
  std::unique_ptr<ado::RecordsetXmlStream> stream_;
  int64_t rows_ = 0;
};

// Writes the cursor's rows to `path` as XmlFileStream does, reading the next block while
// one is written: memory holds a block or two whatever the result's size. Each block
// written is then handed to `also`, when given; what it throws fails the write. The rows
// written, or nothing after a failure reported to the error log as
// "CQvXMLManip.SaveQueryToXML, @Line#N" (the old file is then left as it was).
std::optional<int64_t> SaveQueryToXml(
    ado::QueryCursor& cursor, const std::string& path, bool flush_to_disk = true,
    const std::function<void(const ado::RecordStore&)>& also = {});

}  // namespace qv
