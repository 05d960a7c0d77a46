#pragma once

// Internal to the native PostgreSQL connection.

#include <libpq-fe.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "db/postgres/PostgresOptions.h"

namespace ado::postgres {

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using PgResult = std::unique_ptr<PGresult, ResultDeleter>;

// What the catalog says about one column of a table.
struct TableColumn {
  std::string schema;
  std::string table;
  std::string column;
  bool not_null = false;
  bool auto_increment = false;
};

// Statements sent ahead and not yet read back; whoever sent them reads them back
// before the connection runs anything else.
class Pipeline {
 public:
  virtual ~Pipeline() = default;
  virtual void Settle() = 0;
};

// One libpq connection: statements, the statement timeout, the transaction that holds
// open cursors, and what the catalog says about the tables results come from. Calls
// from several threads take Lock() first; the methods assume it is held.
class PostgresSession {
 public:
  // Connects and runs ConnSettings; throws core::Error kErrProvider "[SQLSTATE] ..."
  // whose text never holds the password.
  explicit PostgresSession(const PostgresOptions& options);
  ~PostgresSession();
  PostgresSession(const PostgresSession&) = delete;
  PostgresSession& operator=(const PostgresSession&) = delete;

  std::unique_lock<std::mutex> Lock() { return std::unique_lock(mutex_); }
  PGconn* get() const { return connection_; }
  const std::string& Database() const { return database_; }

  // The pipeline that holds the connection, until it settles (nullptr).
  void SetPipeline(Pipeline* pipeline) { pipeline_ = pipeline; }
  Pipeline* CurrentPipeline() const { return pipeline_; }

  // Runs `sql`, after settling a pipeline in flight; a result that is not `expected` (or
  // PGRES_COMMAND_OK for commands) throws as Check does.
  PgResult Run(const std::string& sql, ExecStatusType expected = PGRES_COMMAND_OK);
  // Throws the error of `result` (or of the connection when there is none), followed by
  // the notices not yet taken: a server that shuts down says why before it goes.
  [[noreturn]] void Fail(const PGresult* result);
  // The notices and warnings the server sent since the last call, one text each naming
  // the connection: "Server 127.0.0.1:5432, database inv: [57P01] WARNING: ...". libpq
  // would print them on standard error.
  std::vector<std::string> TakeNotices();
  // statement_timeout for the statements that follow, in seconds (0: none).
  void SetTimeout(int32_t seconds);

  // Cursors live in a transaction: the first one open begins it, the last one closed
  // ends it (commit, or rollback after a failure). A transaction the caller began is
  // left to the caller.
  void OpenCursor();
  void CloseCursor(bool failed) noexcept;
  std::string NextCursorName() { return "qv_cursor_" + std::to_string(++cursors_made_); }

  // The column `attnum` of table `table` as the catalog holds it; nullptr when the
  // catalog has no such column. Tables are read once per connection.
  const TableColumn* Column(uint32_t table, int attnum);
  // Reads the tables among `tables` not read yet, in one query.
  void LoadTables(const std::vector<uint32_t>& tables);

 private:
  std::mutex mutex_;
  PGconn* connection_ = nullptr;
  Pipeline* pipeline_ = nullptr;
  std::string database_;
  int32_t timeout_ = 0;
  int open_cursors_ = 0;
  bool own_transaction_ = false;
  bool transaction_failed_ = false;
  int64_t cursors_made_ = 0;
  std::map<std::pair<uint32_t, int>, TableColumn> columns_;
  std::vector<uint32_t> tables_read_;
  std::vector<std::string> notices_;
  int64_t notices_dropped_ = 0;

  static void ReceiveNotice(void* session, const PGresult* notice);
};

}  // namespace ado::postgres
