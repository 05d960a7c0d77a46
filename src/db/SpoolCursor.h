#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/File.h"
#include "db/QueryCursor.h"

namespace ado {

// A query's rows read out whole and handed out from there: whatever the database holds
// for the query (a read lock, a cursor) can be let go before the caller works on the
// rows. A few megabytes stay in memory; beyond them the rows go to an unnamed temporary
// file, so memory stays flat whatever the rows. The file has no name: it goes with the
// cursor, or with the process when that is killed.
class SpoolCursor : public QueryCursor {
 public:
  // A file, when one is needed, is made in `folder`; messages name it `name`. Rows
  // beyond `memory_bytes` go to the file, which is read and written in pieces of that size.
  static constexpr size_t kMemoryBytes = size_t{2} << 20;
  SpoolCursor(std::vector<FieldDef> fields, const std::string& folder, const std::string& name,
              size_t memory_bytes = kMemoryBytes);

  // Writes the records of `block`. Throws core::Error when the file cannot be made or
  // written.
  void Append(const RecordStore& block);
  // Ends the writing: the rows are read from the first on. `warnings` are what the
  // source said of them.
  void Finish(std::vector<std::string> warnings);
  uint64_t RowCount() const { return rows_; }

  const std::vector<FieldDef>& Fields() const override { return fields_; }
  size_t FetchInto(RecordStore& store, size_t max_rows) override;
  std::vector<std::string> Warnings() const override { return warnings_; }

 private:
  // Makes `bytes` bytes of buffer_ readable from at_ on; false at the end of the file.
  bool Fill(size_t bytes);
  void Flush();

  std::vector<FieldDef> fields_;
  std::string folder_;
  std::string name_;
  std::vector<std::string> warnings_;
  core::File file_;  // open once the rows outgrew memory
  std::string buffer_;
  size_t at_ = 0;
  bool reading_ = false;
  size_t memory_bytes_;
  uint64_t rows_ = 0;
  uint64_t handed_ = 0;
};

}  // namespace ado
