#include "db/sqlite/SqliteBackend.h"

#include <sqlite3.h>

#include <cstdlib>

#include "core/Error.h"
#include "core/Text.h"
#include "db/OdbcConnectionString.h"
#include "db/OdbcRowLimit.h"
#include "db/sqlite/SqliteDatabase.h"
#include "db/sqlite/SqliteResultReader.h"
#include "db/sqlite/SqliteStatement.h"

namespace ado {

namespace {

// The SQLite 3 driver, by name or library ("SQLite3", "{SQLite3 ODBC Driver}",
// ".../libsqlite3odbc.so"); the SQLite 2 driver ("SQLite") reads another file format.
bool NamesSqlite3Driver(std::string_view connection_string) {
  const auto driver = ValueOf(connection_string, "DRIVER");
  return driver && core::FoldCase(*driver).find("sqlite3") != std::string::npos;
}

// The busy timeout in milliseconds as the driver reads its Timeout option.
int BusyTimeout(const std::optional<std::string>& text) {
  int timeout = 100000;
  if (text && !text->empty()) {
    char* end = nullptr;
    const long value = std::strtol(text->c_str(), &end, 0);
    if (*end == '\0') timeout = static_cast<int>(value);
  }
  return timeout < 1 || timeout > 1000000 ? 1000000 : timeout;
}

// The statement's text for SQLite: the standard row-limiting clause as LIMIT/OFFSET.
std::string SqliteText(std::string_view sql) {
  if (auto rewritten = RewriteRowLimitForSqlite(sql)) return std::move(*rewritten);
  return std::string(sql);
}

// The statement and its reader; the reader refers to the statement, so it goes first.
class SqliteCursor : public QueryCursor {
 public:
  SqliteCursor(sqlite::SqliteDatabase& db, const std::string& sql)
      : statement_(db, sql), reader_(statement_), fields_(reader_.Fields()) {}

  const std::vector<FieldDef>& Fields() const override { return fields_; }
  size_t FetchInto(RecordStore& store, size_t max_rows) override {
    return reader_.Fetch(store, max_rows);
  }
  std::vector<std::string> Warnings() const override { return reader_.Warnings(); }

 private:
  sqlite::SqliteStatement statement_;
  sqlite::SqliteResultReader reader_;
  std::vector<FieldDef> fields_;
};

}  // namespace

std::optional<SqliteOptions> NativeSqliteOptions(std::string_view connection_string) {
  if (!NamesSqlite3Driver(connection_string)) return std::nullopt;
  if (auto native = ValueOf(connection_string, kNativeSqliteKey); native && *native == "0") {
    return std::nullopt;
  }
  for (const char* option : {"LongNames", "ShortNames", "JDConv", "LoadExt"}) {
    if (ValueOf(connection_string, option)) return std::nullopt;
  }
  auto database = ValueOf(connection_string, "Database");
  if (!database || database->empty()) return std::nullopt;
  SqliteOptions options;
  options.database = std::move(*database);
  options.busy_timeout_ms = BusyTimeout(ValueOf(connection_string, "Timeout"));
  // Existing files only, as through the driver, unless the string asks otherwise.
  options.create = ValueOf(connection_string, "NoCreat") == "0";
  return options;
}

SqliteBackend::SqliteBackend(const SqliteOptions& options)
    : db_(std::make_unique<sqlite::SqliteDatabase>(options.database, options.busy_timeout_ms,
                                                   options.create)) {}

SqliteBackend::~SqliteBackend() = default;

// The command timeout is not applied, as through the driver: SQLite reads one file on
// this machine, and reading a large table may take longer than ADO's default 30 s.
std::unique_ptr<QueryCursor> SqliteBackend::OpenCursor(std::string_view sql, int32_t /*timeout*/) {
  return std::make_unique<SqliteCursor>(*db_, SqliteText(sql));
}

int64_t SqliteBackend::CountRows(std::string_view sql, int32_t /*timeout*/) {
  sqlite::SqliteStatement statement(*db_, SqliteText(sql));
  if (statement.ColumnCount() <= 0) {
    while (statement.Step()) {
    }
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returned no rows");
  }
  int64_t rows = 0;
  while (statement.Step()) ++rows;
  return rows;
}

std::string SqliteBackend::LibraryVersion() {
  return std::string("SQLite ") + sqlite3_libversion();
}

void SqliteBackend::Prepare(std::string_view sql) { PreparedColumns(sql); }

std::optional<std::vector<std::string>> SqliteBackend::PreparedColumns(std::string_view sql) {
  const sqlite::SqliteStatement statement(*db_, SqliteText(sql));
  if (statement.ColumnCount() <= 0) {
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returns no rows");
  }
  // Named as the result's fields are named.
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(statement.ColumnCount()));
  for (int i = 0; i < statement.ColumnCount(); ++i) {
    names.push_back(sqlite::DescribeColumn(statement.get(), i).name);
  }
  return names;
}

int64_t SqliteBackend::Execute(std::string_view sql, int32_t /*timeout*/) {
  sqlite::SqliteStatement statement(*db_, SqliteText(sql));
  const int64_t before = db_->TotalChanges();
  while (statement.Step()) {
  }
  if (statement.ColumnCount() > 0) return -1;
  return db_->TotalChanges() - before;
}

}  // namespace ado
