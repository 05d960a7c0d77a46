#include "db/postgres/PostgresSession.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "core/Error.h"
#include "core/Text.h"

namespace ado::postgres {

namespace {

// What psqlODBC sets up in each session and this reader relies on: ISO dates, and
// floating-point values in the shortest text that reads back exactly.
constexpr const char* kSessionOptions = "-c DateStyle=ISO -c extra_float_digits=3";
// Seconds a connection attempt may take unless the connection string says otherwise.
constexpr const char* kConnectTimeout = "30";
// Notices kept until they are taken; the rest are counted.
constexpr size_t kMostNotices = 100;

// libpq's text without its trailing line breaks, on one line.
std::string OneLine(const char* text) {
  std::string out = text == nullptr ? "" : text;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  std::string line;
  for (char c : out) {
    if (c != '\n' && c != '\t') {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  return line;
}

[[noreturn]] void ThrowProvider(const std::string& state, const std::string& message) {
  throw core::Error(core::kErrProvider, "ODBC", "[" + state + "] " + message);
}

}  // namespace

PostgresSession::PostgresSession(const PostgresOptions& options) {
  std::vector<std::pair<std::string, std::string>> params = options.params;
  auto set_default = [&](const std::string& key, const std::string& value) {
    for (const auto& [k, v] : params) {
      if (k == key) return;
    }
    params.emplace_back(key, value);
  };
  std::string session_options = kSessionOptions;
  for (auto& [key, value] : params) {
    if (key == "options") session_options += " " + value;
  }
  params.erase(std::remove_if(params.begin(), params.end(),
                              [](const auto& p) { return p.first == "options"; }),
               params.end());
  params.emplace_back("options", session_options);
  params.emplace_back("client_encoding", "UTF8");
  set_default("connect_timeout", kConnectTimeout);
  set_default("fallback_application_name", "qvdataexporter");

  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (const auto& [key, value] : params) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  connection_ = PQconnectdbParams(keys.data(), values.data(), 0);
  if (connection_ == nullptr) ThrowProvider("08001", "out of memory while connecting");
  if (PQstatus(connection_) != CONNECTION_OK) {
    const std::string message = OneLine(PQerrorMessage(connection_));
    PQfinish(connection_);
    connection_ = nullptr;
    ThrowProvider("08001", message);
  }
  database_ = PQdb(connection_);
  PQsetNoticeReceiver(connection_, &PostgresSession::ReceiveNotice, this);
  if (!options.conn_settings.empty()) Run(options.conn_settings);
}

void PostgresSession::ReceiveNotice(void* session, const PGresult* notice) {
  auto* self = static_cast<PostgresSession*>(session);
  // A statement that raises notices row by row must not fill the memory.
  if (self->notices_.size() >= kMostNotices) {
    ++self->notices_dropped_;
    return;
  }
  auto field = [&](int code) {
    const char* text = PQresultErrorField(notice, code);
    return text == nullptr ? std::string() : OneLine(text);
  };
  std::string text = "Server " + OneLine(PQhost(self->connection_)) + ":" +
                     OneLine(PQport(self->connection_)) + ", database " + self->database_ + ": ";
  if (const std::string state = field(PG_DIAG_SQLSTATE); !state.empty()) {
    text += "[" + state + "] ";
  }
  std::string severity = field(PG_DIAG_SEVERITY_NONLOCALIZED);
  if (severity.empty()) severity = field(PG_DIAG_SEVERITY);
  if (!severity.empty()) text += severity + ": ";
  std::string message = field(PG_DIAG_MESSAGE_PRIMARY);
  if (message.empty()) message = OneLine(PQresultErrorMessage(notice));
  text += message;
  if (const std::string detail = field(PG_DIAG_MESSAGE_DETAIL); !detail.empty()) {
    text += " (" + detail + ")";
  }
  self->notices_.push_back(std::move(text));
}

std::vector<std::string> PostgresSession::TakeNotices() {
  std::vector<std::string> notices = std::exchange(notices_, {});
  if (notices_dropped_ > 0) {
    notices.push_back("Server " + OneLine(PQhost(connection_)) + ":" +
                      OneLine(PQport(connection_)) + ", database " + database_ + ": " +
                      std::to_string(std::exchange(notices_dropped_, 0)) +
                      " more notice(s) not kept");
  }
  return notices;
}

PostgresSession::~PostgresSession() {
  if (connection_ != nullptr) PQfinish(connection_);
}

void PostgresSession::Fail(const PGresult* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string message =
      OneLine(result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(connection_));
  if (message.empty()) message = OneLine(PQerrorMessage(connection_));
  for (const std::string& notice : TakeNotices()) message += "; " + notice;
  // A connection that went away has no SQLSTATE of its own: ODBC's communication link
  // failure.
  if (state == nullptr || *state == '\0') {
    if (PQstatus(connection_) != CONNECTION_BAD) ThrowProvider("HY000", message);
    ThrowProvider("08S01", "the connection to the server was lost: " + message);
  }
  ThrowProvider(state, message);
}

PgResult PostgresSession::Run(const std::string& sql, ExecStatusType expected) {
  if (pipeline_ != nullptr) pipeline_->Settle();
  PgResult result(PQexec(connection_, sql.c_str()));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != expected && !(expected == PGRES_COMMAND_OK && status == PGRES_TUPLES_OK)) {
    if (own_transaction_ && open_cursors_ > 0) transaction_failed_ = true;
    Fail(result.get());
  }
  return result;
}

void PostgresSession::SetTimeout(int32_t seconds) {
  if (seconds == timeout_) return;
  Run("SET statement_timeout = " + std::to_string(int64_t{seconds} * 1000));
  timeout_ = seconds;
}

void PostgresSession::OpenCursor() {
  if (open_cursors_ == 0) {
    own_transaction_ = PQtransactionStatus(connection_) == PQTRANS_IDLE;
    transaction_failed_ = false;
    if (own_transaction_) Run("BEGIN");
  }
  ++open_cursors_;
}

void PostgresSession::CloseCursor(bool failed) noexcept {
  if (open_cursors_ == 0) return;
  transaction_failed_ = transaction_failed_ || failed;
  if (--open_cursors_ > 0 || !own_transaction_) return;
  own_transaction_ = false;
  if (PQstatus(connection_) != CONNECTION_OK || pipeline_ != nullptr) return;
  const bool commit = !transaction_failed_ && PQtransactionStatus(connection_) == PQTRANS_INTRANS;
  // A rollback also takes back a statement_timeout set inside the transaction.
  if (!commit) timeout_ = -1;
  PQclear(PQexec(connection_, commit ? "COMMIT" : "ROLLBACK"));
}

const TableColumn* PostgresSession::Column(uint32_t table, int attnum) {
  const auto found = columns_.find({table, attnum});
  return found == columns_.end() ? nullptr : &found->second;
}

void PostgresSession::LoadTables(const std::vector<uint32_t>& tables) {
  std::string list;
  for (uint32_t table : tables) {
    if (std::find(tables_read_.begin(), tables_read_.end(), table) != tables_read_.end()) continue;
    tables_read_.push_back(table);
    list += (list.empty() ? "" : ",") + std::to_string(table);
  }
  if (list.empty()) return;
  // Identity columns (from PostgreSQL 10 on) and those whose default draws from a
  // sequence count as auto-increment, as psqlODBC counts them.
  const std::string identity =
      PQserverVersion(connection_) >= 100000 ? "a.attidentity <> '' OR " : "";
  const std::string sql =
      "SELECT a.attrelid, a.attnum, n.nspname, c.relname, a.attname, a.attnotnull, " + identity +
      "COALESCE(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', false) "
      "FROM pg_catalog.pg_attribute a "
      "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
      "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
      "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
      "WHERE a.attrelid IN (" +
      list + ") AND a.attnum > 0 AND NOT a.attisdropped";
  PgResult result = Run(sql, PGRES_TUPLES_OK);
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    auto value = [&](int column) { return std::string(PQgetvalue(result.get(), row, column)); };
    TableColumn column;
    column.schema = value(2);
    column.table = value(3);
    column.column = value(4);
    column.not_null = value(5) == "t";
    column.auto_increment = value(6) == "t";
    const auto table =
        static_cast<uint32_t>(std::strtoul(PQgetvalue(result.get(), row, 0), nullptr, 10));
    columns_[{table, std::atoi(PQgetvalue(result.get(), row, 1))}] = std::move(column);
  }
}

}  // namespace ado::postgres
