#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "core/File.h"
#include "db/QueryCursor.h"

namespace ado {

// A query's rows read out whole and handed out from there: whatever the database holds
// for the query (a read lock, a cursor) can be let go before the caller is done with the
// rows. A few megabytes stay in memory; beyond them the rows go to an unnamed temporary
// file, so memory stays flat whatever the rows. The file has no name: it goes with the
// cursor, or with the process when that is killed.
//
// One thread may write (Append, then Finish or Fail) while another reads: FetchInto
// hands out the rows written so far and waits for more until the writing ends.
class SpoolCursor : public QueryCursor {
 public:
  // A file, when one is needed, is made in `folder`; messages name it `name`. Rows
  // beyond `memory_bytes` go to the file, which is read and written in pieces of that size.
  static constexpr size_t kMemoryBytes = size_t{2} << 20;
  SpoolCursor(std::vector<FieldDef> fields, const std::string& folder, const std::string& name,
              size_t memory_bytes = kMemoryBytes);

  // Writes the records of `block`. Throws core::Error when the file cannot be made or
  // written, or once the reader let go (Abandon).
  void Append(const RecordStore& block);
  // Ends the writing: every row can be read. `warnings` are what the source said of them.
  void Finish(std::vector<std::string> warnings);
  // Ends the writing with `failure`, thrown to the reader once it has the rows before it.
  void Fail(std::exception_ptr failure);
  // The reader wants no more rows: the writer's next Append throws.
  void Abandon();
  // Waits for the writing to end; the rows written, or the writing's failure thrown.
  uint64_t RowCount() const;

  const std::vector<FieldDef>& Fields() const override { return fields_; }
  size_t FetchInto(RecordStore& store, size_t max_rows) override;
  std::vector<std::string> Warnings() const override;

 private:
  // Writes the rows in wbuf_ to the file and lets the reader have them.
  void Flush();
  // Reads more of the written rows into rbuf_ after what it holds; false at their end.
  bool Refill();
  // Waits until the writing ended; throws its failure.
  void WaitForEnd(std::unique_lock<std::mutex>& lock) const;

  std::vector<FieldDef> fields_;
  std::string folder_;
  std::string name_;
  size_t memory_bytes_;

  // The writer's own.
  std::string wbuf_;
  uint64_t rows_written_ = 0;
  uint64_t bytes_written_ = 0;  // to the file

  // The reader's own.
  std::string rbuf_;
  size_t at_ = 0;            // the first byte of rbuf_ not handed out
  uint64_t read_bytes_ = 0;  // of the file, read into rbuf_

  // Shared under mutex_.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  core::File file_;          // open once the rows outgrew memory
  uint64_t file_bytes_ = 0;  // written to the file, whole records
  uint64_t rows_ = 0;        // in file_bytes_ and, once ended, in tail_
  std::string tail_;         // the rows that never went to the file
  bool ended_ = false;
  bool abandoned_ = false;
  std::exception_ptr failure_;
  std::vector<std::string> warnings_;
};

}  // namespace ado
