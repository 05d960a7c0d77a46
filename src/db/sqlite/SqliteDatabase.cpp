#include "db/sqlite/SqliteDatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <thread>

#include "core/Error.h"

namespace ado::sqlite {

namespace {

[[noreturn]] void ThrowSqlite(int code, std::string_view message) {
  throw core::Error(core::kErrProvider, "ODBC",
                    "[HY000] " + std::string(message) + " (native " + std::to_string(code) + ')');
}

}  // namespace

SqliteDatabase::SqliteDatabase(const std::string& path, int busy_timeout_ms, bool create) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                    (create ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    ThrowSqlite(rc, message + ": " + path);
  }
  sqlite3_busy_timeout(db_, busy_timeout_ms);
  // A large ORDER BY sorts on a helper thread or two while the statement's own thread
  // merges: the paged exports order every result.
  const unsigned cores = std::thread::hardware_concurrency();
  sqlite3_limit(db_, SQLITE_LIMIT_WORKER_THREADS,
                static_cast<int>(std::min(cores > 1 ? cores - 1 : 0U, 2U)));
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close(db_); }

int64_t SqliteDatabase::TotalChanges() const { return sqlite3_total_changes64(db_); }

void SqliteDatabase::ThrowLastError(std::string_view context) const {
  std::string message = sqlite3_errmsg(db_);
  if (!context.empty()) message = std::string(context) + ": " + message;
  ThrowSqlite(sqlite3_errcode(db_), message);
}

}  // namespace ado::sqlite
