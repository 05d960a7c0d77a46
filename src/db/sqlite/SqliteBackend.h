#pragma once

// Internal to Connection.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "db/ConnectionBackend.h"

namespace ado {

namespace sqlite {
class SqliteDatabase;
}

// What the native path takes from a connection string naming the SQLite 3 ODBC driver.
struct SqliteOptions {
  std::string database;          // Database: a file path or an SQLite URI
  int busy_timeout_ms = 100000;  // Timeout, as the driver reads it
  bool create = false;           // NoCreat=0: a missing file becomes a new database
};

// The options for reading the database with SQLite's own library, or nothing when the
// connection string goes to an ODBC driver: another driver, a DSN, no Database,
// NativeSqlite=0, or a driver option that changes names or values (LongNames,
// ShortNames, JDConv, LoadExt).
std::optional<SqliteOptions> NativeSqliteOptions(std::string_view connection_string);

// Statements through SQLite's own library, with the field definitions, values and
// errors the SQLite ODBC driver gives, but floating-point values and text whole.
class SqliteBackend : public ConnectionBackend {
 public:
  // Opens an existing database; a missing file is an error naming the path, and no
  // file is made.
  explicit SqliteBackend(const SqliteOptions& options);
  ~SqliteBackend() override;

  // The version of the SQLite library the program runs with ("SQLite 3.40.1").
  static std::string LibraryVersion();

  const std::string& DbmsName() const override { return dbms_name_; }
  std::unique_ptr<QueryCursor> OpenCursor(std::string_view sql, int32_t timeout) override;
  int64_t CountRows(std::string_view sql, int32_t timeout) override;
  int64_t Execute(std::string_view sql, int32_t timeout) override;
  void Prepare(std::string_view sql) override;
  std::optional<std::vector<std::string>> PreparedColumns(std::string_view sql) override;

 private:
  std::unique_ptr<sqlite::SqliteDatabase> db_;
  std::string dbms_name_ = "SQLite";
};

}  // namespace ado
