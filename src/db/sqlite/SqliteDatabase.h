#pragma once

// Internal to the native SQLite connection.

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;

namespace ado::sqlite {

// Owns an open SQLite database connection (sqlite3*). Failures throw core::Error with
// number kErrProvider, source "ODBC" and "[HY000] message (native N)", as the ODBC path
// reports the driver's errors.
class SqliteDatabase {
 public:
  // Opens an existing database file (or an SQLite URI) for reading and writing; creates
  // a missing one only with `create`. `busy_timeout_ms` is how long a statement waits
  // for a lock.
  SqliteDatabase(const std::string& path, int busy_timeout_ms, bool create = false);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  sqlite3* get() const { return db_; }

  // Rows changed by INSERT, UPDATE and DELETE since the connection opened.
  int64_t TotalChanges() const;

  // Throws the connection's last error, prefixed with `context` when not empty.
  [[noreturn]] void ThrowLastError(std::string_view context = {}) const;

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace ado::sqlite
