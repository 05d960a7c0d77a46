#include "db/odbc/OdbcBackend.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "core/Error.h"
#include "core/Text.h"
#include "db/OdbcConnectionString.h"
#include "db/OdbcRowLimit.h"
#include "db/odbc/OdbcHandle.h"
#include "db/odbc/OdbcResultReader.h"

namespace ado {

using odbc::Check;
using odbc::OdbcHandle;

namespace {

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

}  // namespace

struct OdbcBackend::Handles {
  OdbcHandle environment;
  OdbcHandle connection;
  odbc::DriverTraits traits;
  bool is_sqlite = false;

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
  return std::make_unique<OdbcCursor>(handles_->Run(sql, timeout), handles_->traits);
}

int64_t OdbcBackend::CountRows(std::string_view sql, int32_t timeout) {
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
