#pragma once

// Internal to the native SQLite connection.

#include <string_view>

struct sqlite3_stmt;

namespace ado::sqlite {

class SqliteDatabase;

// Owns a prepared statement (sqlite3_stmt*) of one SQL statement. Failures throw as
// SqliteDatabase does.
class SqliteStatement {
 public:
  // Prepares `sql`, which must hold one statement (trailing blanks, semicolons and
  // comments aside).
  SqliteStatement(const SqliteDatabase& db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  sqlite3_stmt* get() const { return stmt_; }
  int ColumnCount() const;

  // Moves to the next row; false when there is none.
  bool Step();

 private:
  const SqliteDatabase& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace ado::sqlite
