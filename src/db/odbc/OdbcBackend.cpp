#include "db/odbc/OdbcBackend.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>

#include "core/Error.h"
#include "core/Text.h"
#include "db/CursorQuery.h"
#include "db/OdbcConnectionString.h"
#include "db/OdbcRowLimit.h"
#include "db/odbc/OdbcHandle.h"
#include "db/odbc/OdbcResultReader.h"

namespace ado {

using odbc::Check;
using odbc::OdbcHandle;

namespace {

// Rows per FETCH when the connection string does not say (psqlODBC's Fetch).
constexpr size_t kDefaultFetchRows = 10000;

// A driver may quote parts of the connection string in its message; keep passwords out.
std::string WithoutPasswords(std::string text, std::string_view connection_string) {
  for (const auto& pair : ParseConnectionString(connection_string)) {
    if (!IsPasswordKey(pair.key)) continue;
    std::string_view value = pair.value;
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (value.size() >= 2 && value.front() == '{' && value.back() == '}') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.empty()) continue;
    for (size_t at = text.find(value); at != std::string::npos; at = text.find(value, at + 3)) {
      text.replace(at, value.size(), "***");
    }
  }
  return text;
}

// The statement and its reader; the reader refers to the statement, so it goes first.
class OdbcCursor : public QueryCursor {
 public:
  OdbcCursor(OdbcHandle statement, const odbc::DriverTraits& traits)
      : statement_(std::move(statement)), reader_(statement_, traits), fields_(reader_.Fields()) {}

  const std::vector<FieldDef>& Fields() const override { return fields_; }
  size_t FetchInto(RecordStore& store, size_t max_rows) override {
    return reader_.Fetch(store, max_rows);
  }
  std::vector<std::string> Warnings() const override { return reader_.Warnings(); }

 private:
  OdbcHandle statement_;
  odbc::OdbcResultReader reader_;
  std::vector<FieldDef> fields_;
};

// A query read through a server-side cursor of its own, one FETCH statement per block of
// `fetch_rows`, for psqlODBC: its own cursor reading (UseDeclareFetch=1) dereferences a
// null connection when the server goes away while the rows of a FETCH come in (they
// come in one at a time), and the process dies. A FETCH run as a statement reads its
// rows whole when it runs, and a lost server fails it as any statement. The cursor is
// declared before this is made; `close` runs when it goes, with whether the read failed.
class FetchCursor : public QueryCursor {
 public:
  using Runner = std::function<OdbcHandle(const std::string& sql)>;

  FetchCursor(Runner run, const std::string& cursor, size_t fetch_rows,
              const odbc::DriverTraits& traits, std::function<void(bool failed)> close)
      : closer_{std::move(close)},
        run_(std::move(run)),
        fetch_("FETCH " + std::to_string(fetch_rows) + " FROM " + cursor),
        fetch_rows_(fetch_rows),
        statement_(run_(fetch_)),
        reader_(statement_, traits),
        fields_(reader_.Fields()) {
    closer_.failed = false;
  }

  const std::vector<FieldDef>& Fields() const override { return fields_; }
  size_t FetchInto(RecordStore& store, size_t max_rows) override {
    size_t given = 0;
    try {
      while (given < max_rows && !ended_) {
        const size_t got = reader_.Fetch(store, max_rows - given);
        given += got;
        block_ += got;
        rows_ += got;
        if (got > 0) continue;
        // A FETCH that came back short was the last one.
        if (block_ < fetch_rows_) {
          ended_ = true;
          break;
        }
        NextFetch();
        block_ = 0;
        if (!reader_.Continue()) ended_ = true;
      }
    } catch (...) {
      ended_ = true;
      closer_.failed = true;
      throw;
    }
    return given;
  }
  std::vector<std::string> Warnings() const override { return reader_.Warnings(); }

 private:
  // Runs the next FETCH; a failure names its rows, as a failed block of the driver's does.
  void NextFetch() {
    try {
      statement_ = run_(fetch_);
    } catch (const core::Error& error) {
      core::ErrorRecord record = error.record();
      record.description = "Rows " + std::to_string(rows_ + 1) + " to " +
                           std::to_string(rows_ + fetch_rows_) + ": " + record.description;
      throw core::Error(std::move(record));
    }
  }

  // Goes last, after the statement; a cursor whose making failed counts as failed.
  struct Closer {
    std::function<void(bool failed)> close;
    bool failed = true;
    ~Closer() { close(failed); }
  };

  Closer closer_;
  Runner run_;
  std::string fetch_;
  size_t fetch_rows_;
  OdbcHandle statement_;
  odbc::OdbcResultReader reader_;
  std::vector<FieldDef> fields_;
  size_t block_ = 0;  // rows read from the current FETCH
  size_t rows_ = 0;   // rows read in all
  bool ended_ = false;
};

}  // namespace

struct OdbcBackend::Handles {
  OdbcHandle environment;
  OdbcHandle connection;
  odbc::DriverTraits traits;
  bool is_sqlite = false;
  // Rows per FETCH of the cursors this back end declares itself (see FetchCursor); 0
  // when the driver reads queries its own way.
  size_t fetch_rows = 0;
  // Cursors open in the transaction they hold, and whether a read through one failed.
  int open_cursors = 0;
  bool cursor_failed = false;

  ~Handles() {
    if (connection) SQLDisconnect(connection.get());
  }

  // A statement with the command timeout applied, running `sql` (rewritten for SQLite).
  OdbcHandle Run(std::string_view sql, int32_t timeout) const {
    OdbcHandle statement(SQL_HANDLE_STMT, connection.get());
    SQLRETURN rc = SQLSetStmtAttr(statement.get(), SQL_ATTR_QUERY_TIMEOUT,
                                  reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(timeout)), 0);
    // A driver without query timeouts (HYC00) runs the statement without one.
    if (!SQL_SUCCEEDED(rc) && odbc::FirstDiagnostic(statement).sqlstate != "HYC00") {
      Check(rc, statement, "SQLSetStmtAttr(QUERY_TIMEOUT)");
    }
    std::string text;
    if (is_sqlite) {
      if (auto rewritten = RewriteRowLimitForSqlite(sql)) text = std::move(*rewritten);
    }
    if (text.empty()) text = std::string(sql);
    Check(SQLExecDirectA(statement.get(), reinterpret_cast<SQLCHAR*>(text.data()),
                         static_cast<SQLINTEGER>(text.size())),
          statement, "SQLExecDirect");
    return statement;
  }
};

OdbcBackend::OdbcBackend(const std::string& connection_string)
    : handles_(std::make_unique<Handles>()) {
  handles_->environment = OdbcHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  Check(SQLSetEnvAttr(handles_->environment.get(), SQL_ATTR_ODBC_VERSION,
                      reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_OV_ODBC3)), 0),
        handles_->environment, "SQLSetEnvAttr(ODBC_VERSION)");
  OdbcHandle connection(SQL_HANDLE_DBC, handles_->environment.get());

  // The narrow entry point on purpose: a wide connect makes the driver manager narrow
  // every later text of an ANSI driver as Latin-1 (see Connection).
  std::string text = connection_string;
  SQLRETURN rc = SQLDriverConnectA(
      connection.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
      static_cast<SQLSMALLINT>(text.size()), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    std::string message = odbc::DiagnosticText(connection, "SQLDriverConnect failed");
    // The SQLite driver's message does not say which file it could not open.
    if (const std::string path = SqliteDatabasePath(connection_string); !path.empty()) {
      message += " (database file '" + path + "')";
    }
    throw core::Error(core::kErrProvider, "ODBC",
                      WithoutPasswords(std::move(message), connection_string));
  }
  handles_->connection = std::move(connection);

  char name[128] = {};
  SQLSMALLINT length = 0;
  Check(SQLGetInfoA(handles_->connection.get(), SQL_DBMS_NAME, name, sizeof name, &length),
        handles_->connection, "SQLGetInfo(DBMS_NAME)");
  SQLUINTEGER getdata = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoA(handles_->connection.get(), SQL_GETDATA_EXTENSIONS, &getdata,
                                 sizeof getdata, nullptr))) {
    getdata = 0;
  }
  char driver[128] = {};
  if (!SQL_SUCCEEDED(SQLGetInfoA(handles_->connection.get(), SQL_DRIVER_NAME, driver, sizeof driver,
                                 &length))) {
    driver[0] = '\0';
  }
  dbms_name_ = name;
  odbc::DriverTraits& traits = handles_->traits;
  const std::string_view driver_name(driver);
  const bool psqlodbc = driver_name.starts_with("psqlodbc");
  const bool mariadb = driver_name.starts_with("libmaodbc");
  // psqlODBC's Unicode build; its ANSI build (psqlodbca) reports narrow types for real.
  // MariaDB's driver is Unicode whatever it reports.
  traits.text_is_unicode = driver_name.starts_with("psqlodbcw") || mariadb;
  handles_->is_sqlite = dbms_name_ == "SQLite";
  traits.c_float_exact = psqlodbc || handles_->is_sqlite;
  traits.text_truncation_reported = !mariadb;
  if (mariadb) {
    for (const auto& pair : ParseConnectionString(connection_string)) {
      if (core::FoldCase(pair.key) != "charset") continue;
      const std::string charset = core::FoldCase(pair.value);
      traits.text_as_utf8 = charset == "utf8mb4" || charset == "utf8" || charset == "utf8mb3";
    }
  }
  if (psqlodbc && ValueOf(connection_string, "UseDeclareFetch").value_or("0") == "0") {
    const std::string fetch = ValueOf(connection_string, "Fetch").value_or("");
    const long rows = std::strtol(fetch.c_str(), nullptr, 10);
    handles_->fetch_rows = rows > 0 ? static_cast<size_t>(rows) : kDefaultFetchRows;
  }
  traits.time_beyond_day = dbms_name_ == "MariaDB" || dbms_name_ == "MySQL";
  traits.sizes_enforced = !handles_->is_sqlite;
  traits.getdata_any_column = (getdata & SQL_GD_ANY_COLUMN) != 0;
  traits.getdata_bound = (getdata & SQL_GD_BOUND) != 0 && (getdata & SQL_GD_ANY_COLUMN) != 0 &&
                         (getdata & SQL_GD_ANY_ORDER) != 0;
  // MariaDB's driver claims SQL_GD_BLOCK, but positioning on a row of a block moves its
  // cursor: the next fetch skips rows.
  traits.getdata_block = traits.getdata_bound && (getdata & SQL_GD_BLOCK) != 0 && !mariadb;
}

OdbcBackend::~OdbcBackend() = default;

std::unique_ptr<QueryCursor> OdbcBackend::OpenCursor(std::string_view sql, int32_t timeout) {
  if (handles_->fetch_rows > 0 && CursorCanHold(sql)) {
    Handles* handles = handles_.get();
    auto run = [handles, timeout](const std::string& text) { return handles->Run(text, timeout); };
    // Cursors live in a transaction: the first one open begins it, the last one closed
    // ends it (commit, or rollback after a failure).
    auto close = [handles, run](bool failed) {
      handles->cursor_failed = handles->cursor_failed || failed;
      if (--handles->open_cursors > 0) return;
      try {
        run(handles->cursor_failed ? "ROLLBACK" : "COMMIT");
      } catch (...) {
        // A connection that is gone has no transaction left to end.
      }
    };
    if (handles->open_cursors == 0) {
      run("BEGIN");
      handles->cursor_failed = false;
    }
    ++handles->open_cursors;
    const std::string cursor = "qv_cursor_" + std::to_string(++cursors_made_);
    bool declared = false;
    try {
      run("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + std::string(sql));
      declared = true;
    } catch (const core::Error& error) {
      close(true);
      // A WITH that changes data cannot be a cursor's; it runs as a statement.
      if (error.record().description.rfind("[0A000] ", 0) != 0) throw;
    }
    // From here on the cursor ends the transaction, also when its first FETCH fails.
    if (declared) {
      return std::make_unique<FetchCursor>(run, cursor, handles->fetch_rows, handles->traits,
                                           close);
    }
  }
  return std::make_unique<OdbcCursor>(handles_->Run(sql, timeout), handles_->traits);
}

int64_t OdbcBackend::CountRows(std::string_view sql, int32_t timeout) {
  if (handles_->fetch_rows > 0 && CursorCanHold(sql)) {
    // Through a cursor, so that the driver never holds the whole result.
    std::unique_ptr<QueryCursor> cursor = OpenCursor(sql, timeout);
    int64_t count = 0;
    for (;;) {
      RecordStore rows(cursor->Fields().size());
      const size_t read = cursor->FetchInto(rows, kBlockRows);
      if (read == 0) return count;
      count += static_cast<int64_t>(read);
    }
  }
  OdbcHandle statement = handles_->Run(sql, timeout);
  return odbc::CountResultRows(statement);
}

std::string OdbcBackend::DriverManagerVersion() {
  // "03.52.0002.0003": the ODBC version, then the driver manager's major and minor.
  try {
    OdbcHandle environment(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    SQLSetEnvAttr(environment.get(), SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(SQL_OV_ODBC3)), 0);
    OdbcHandle connection(SQL_HANDLE_DBC, environment.get());
    char text[32] = {};
    SQLSMALLINT length = 0;
    int odbc_major = 0, odbc_minor = 0, major = 0, minor = 0;
    if (SQL_SUCCEEDED(SQLGetInfo(connection.get(), SQL_DM_VER, text, sizeof text, &length)) &&
        std::sscanf(text, "%d.%d.%d.%d", &odbc_major, &odbc_minor, &major, &minor) == 4) {
      return "unixODBC " + std::to_string(major) + "." + std::to_string(minor) + ", ODBC " +
             std::to_string(odbc_major) + "." + (odbc_minor < 10 ? "0" : "") +
             std::to_string(odbc_minor);
    }
  } catch (const std::exception&) {
  }
  return "unixODBC (version unknown)";
}

void OdbcBackend::Prepare(std::string_view sql) { PreparedColumns(sql); }

std::optional<std::vector<std::string>> OdbcBackend::PreparedColumns(std::string_view sql) {
  OdbcHandle statement(SQL_HANDLE_STMT, handles_->connection.get());
  std::string text;
  if (handles_->is_sqlite) {
    if (auto rewritten = RewriteRowLimitForSqlite(sql)) text = std::move(*rewritten);
  }
  if (text.empty()) text = std::string(sql);
  Check(SQLPrepareA(statement.get(), reinterpret_cast<SQLCHAR*>(text.data()),
                    static_cast<SQLINTEGER>(text.size())),
        statement, "SQLPrepare");
  // Most drivers describe the result only now, which makes the server parse the text.
  SQLSMALLINT columns = 0;
  Check(SQLNumResultCols(statement.get(), &columns), statement, "SQLNumResultCols");
  if (columns <= 0)
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returns no rows");
  std::vector<std::string> names;
  for (SQLSMALLINT i = 1; i <= columns; ++i) {
    std::string name(256, '\0');
    SQLSMALLINT length = 0;
    Check(SQLColAttributeA(statement.get(), i, SQL_DESC_NAME, name.data(),
                           static_cast<SQLSMALLINT>(name.size()), &length, nullptr),
          statement, "SQLColAttribute");
    name.resize(std::min(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), name.size() - 1));
    names.push_back(std::move(name));
  }
  return names;
}

int64_t OdbcBackend::Execute(std::string_view sql, int32_t timeout) {
  OdbcHandle statement = handles_->Run(sql, timeout);
  SQLLEN rows = -1;
  if (!SQL_SUCCEEDED(SQLRowCount(statement.get(), &rows))) rows = -1;
  return rows;
}

}  // namespace ado
