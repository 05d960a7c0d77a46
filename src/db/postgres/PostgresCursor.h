#pragma once

// Internal to the native PostgreSQL connection.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "db/OdbcTypeMap.h"
#include "db/QueryCursor.h"
#include "db/postgres/PostgresSession.h"

namespace ado::postgres {

// A query's rows read through a server-side cursor with the field definitions and values
// psqlODBC gives: a first block of `Fetch` rows, as psqlODBC reads it, then blocks asked
// for ahead, so that the server makes the next ones while this reader converts. A
// statement a cursor cannot hold (SHOW, INSERT ... RETURNING) is read whole. Values
// enter as a recordset file holds them.
class PostgresCursor : public QueryCursor, private Pipeline {
 public:
  // Runs the statement and reads its first block. Throws core::Error kErrProvider
  // "[SQLSTATE] ..." when the server refuses it, kErrObjectClosed when it returns no rows.
  PostgresCursor(PostgresSession& session, const PostgresOptions& options, std::string_view sql,
                 int32_t timeout);
  ~PostgresCursor() override;
  PostgresCursor(const PostgresCursor&) = delete;
  PostgresCursor& operator=(const PostgresCursor&) = delete;

  const std::vector<FieldDef>& Fields() const override { return fields_; }
  // Throws core::Error naming the column and the row (1-based) when a value does not
  // fit its field.
  size_t FetchInto(RecordStore& store, size_t max_rows) override;
  // The column warnings, then what the server said while the query ran (its notices).
  std::vector<std::string> Warnings() const override;

 private:
  struct Column {
    odbc::ColumnMapping map;
    uint32_t type = 0;
    int64_t replaced = 0;  // values with characters replaced for the file
    int64_t first_replaced = 0;
  };

  void Describe(const PGresult* first, bool unicode);
  // The first block, read at once. Appends it to blocks_ even when it has no rows.
  void FetchFirst();
  // Appends the next block to blocks_; false at the end of the result. Throws the
  // server's error, or one a Settle met.
  bool FetchBlock();
  void SendFetch();
  // The result of the oldest FETCH in flight.
  PgResult TakeInFlight();
  // Reads what is in flight into blocks_ and leaves pipeline mode.
  void Settle() override;
  void EndPipeline() noexcept;
  // Moves the session's notices to this cursor's; the session's lock is held.
  void TakeNotices();
  void StoreValue(Column& column, const char* text, size_t length, RecordStore& store,
                  size_t record, size_t field);

  PostgresSession& session_;
  std::string cursor_;  // the server-side cursor; empty for a statement read whole
  size_t fetch_rows_;
  std::deque<PgResult> blocks_;
  int next_row_ = 0;  // in blocks_.front()
  bool fetched_all_ = false;
  bool failed_ = false;
  bool pipelined_ = false;
  bool sends_ended_ = false;  // a FETCH came back short: the result has no more rows
  int in_flight_ = 0;
  std::string pending_error_;  // met while settling; thrown by the next read
  std::vector<Column> columns_;
  std::vector<FieldDef> fields_;
  int64_t row_ = 0;  // rows read so far
  std::string text_;
  std::vector<std::string> notices_;
};

}  // namespace ado::postgres
