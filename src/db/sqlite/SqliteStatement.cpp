#include "db/sqlite/SqliteStatement.h"

#include <sqlite3.h>

#include <string>

#include "core/Error.h"
#include "db/sqlite/SqliteDatabase.h"

namespace ado::sqlite {

namespace {

// Whether `rest` holds nothing but blanks, semicolons and comments.
bool OnlyFiller(std::string_view rest) {
  size_t i = 0;
  while (i < rest.size()) {
    const char c = rest[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == ';') {
      ++i;
    } else if (rest.substr(i, 2) == "--") {
      const size_t end = rest.find('\n', i);
      i = end == std::string_view::npos ? rest.size() : end + 1;
    } else if (rest.substr(i, 2) == "/*") {
      const size_t end = rest.find("*/", i + 2);
      i = end == std::string_view::npos ? rest.size() : end + 2;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

SqliteStatement::SqliteStatement(const SqliteDatabase& db, std::string_view sql) : db_(db) {
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql.data(), static_cast<int>(sql.size()), &stmt_, &tail) !=
      SQLITE_OK) {
    db.ThrowLastError();
  }
  const size_t used = tail == nullptr ? sql.size() : static_cast<size_t>(tail - sql.data());
  if (!OnlyFiller(sql.substr(used))) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    throw core::Error(core::kErrProvider, "ODBC",
                      "[HY000] only one SQL statement allowed (native 1)");
  }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

int SqliteStatement::ColumnCount() const {
  return stmt_ == nullptr ? 0 : sqlite3_column_count(stmt_);
}

bool SqliteStatement::Step() {
  if (stmt_ == nullptr) return false;  // an empty statement (only a comment)
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.ThrowLastError();
}

}  // namespace ado::sqlite
