#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "db/PrefetchCursor.h"
#include "db/QueryCursor.h"
#include "db/SpoolCursor.h"
#include "store/XmlFileStream.h"

namespace qv {

// The recordset a query's result opens in: client-side, static, batch optimistic, with
// the query as its source.
std::shared_ptr<ado::Recordset> NewResultRecordset(const std::string& sql);

// Rows `start` to `end` (inclusive) of the query, as the paged exports walk them.
struct PageRows {
  int32_t start = 0;
  int32_t end = 0;
};
// Throws core::Error 5 for a page of fewer than one row.
void CheckPageSize(int32_t page_size);
// The page of `page_size` rows starting at `start`; throws core::Error 6 when its row
// numbers do not fit in 32 bits.
PageRows PageAt(int64_t start, int32_t page_size);

// One query read once, in the row order of the paged queries (WithRowOrder), and handed out page by
// page as disconnected recordsets like GetRS gives. The paged and split exports read each rule's
// query through it, so a rule costs one query however many pages it has, and memory holds one page.
class QueryPager {
 public:
  // Runs the ordered query on `connection`, which the pager keeps open. Throws
  // core::Error when the query fails. With `spool_for` (a result file's path), the
  // result is read out whole, on a thread of its own, into a temporary file beside that
  // file, and the query is closed as soon as it is read: the database is held for the
  // read alone, not while the pages are worked on (uploads). The pages are handed out
  // as the read goes; a read that fails fails the first page after the rows it read.
  QueryPager(std::shared_ptr<ado::Connection> connection, const std::string& sql,
             const std::string& spool_for = {});
  // Pages of `sql` as it is, in the query's own row order; `connection` is the one the
  // cursor was opened on.
  QueryPager(std::shared_ptr<ado::Connection> connection, const std::string& sql,
             std::unique_ptr<ado::QueryCursor> cursor, const std::string& spool_for = {});

  // The next `rows` rows (fewer at the end of the result, none past it) as an open
  // client-side static recordset with batch optimistic locking on its first record.
  // Throws core::Error when reading fails.
  std::shared_ptr<ado::Recordset> NextPage(int32_t rows);
  // Stops a read out still going and waits for it.
  ~QueryPager();
  QueryPager(const QueryPager&) = delete;
  QueryPager& operator=(const QueryPager&) = delete;
  // The next `rows` rows (fewer at the end) written to `out` a block at a time, without
  // a recordset: memory holds one block. Returns the rows written. Throws core::Error.
  int64_t WriteNext(int64_t rows, XmlFileStream& out);
  const std::vector<ado::FieldDef>& Fields() const { return Rows().Fields(); }
  // The rows of the result, once the read out ended (it is waited for; its failure is
  // thrown); nothing without a spool.
  std::optional<int64_t> TotalRows() const;
  // Rows handed out so far.
  int64_t RowsRead() const { return rows_read_; }
  // What the rows read so far changed to fit a recordset file (QueryCursor::Warnings).
  std::vector<std::string> Warnings() const { return Rows().Warnings(); }

 private:
  std::shared_ptr<ado::Connection> connection_;
  std::string sql_;
  // The query's own rows; the read out's thread has it while it reads.
  std::unique_ptr<ado::QueryCursor> cursor_;
  // Reads the next block while the caller works on a page; destroyed before cursor_.
  // None with a spool.
  std::unique_ptr<ado::PrefetchCursor> ahead_;
  // The read out, when there is one, and its thread.
  std::unique_ptr<ado::SpoolCursor> spool_;
  std::thread reading_;
  int64_t rows_read_ = 0;

  // Starts reading the whole result into a spool file beside `result_file`.
  void SpoolFor(const std::string& result_file);
  // The read out's thread: the result into spool_, then the query and connection let go.
  void ReadOut();
  // Spools, or starts the read ahead over cursor_.
  void Start(const std::string& spool_for);
  // Where the pages' rows come from.
  ado::QueryCursor& Rows() const;
};

}  // namespace qv
