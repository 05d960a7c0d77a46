#include "ado/Connection.h"

#include <limits>
#include <utility>

#include "core/Error.h"
#include "db/ConnectionBackend.h"
#include "db/OdbcConnectionString.h"
#include "db/odbc/OdbcBackend.h"
#include "db/postgres/PostgresBackend.h"
#include "db/postgres/PostgresOptions.h"
#include "db/sqlite/SqliteBackend.h"

namespace ado {

Connection::Connection() = default;
Connection::~Connection() { Close(); }

void Connection::Open(std::string_view connection_string) {
  if (backend_) throw core::Error(core::kErrObjectOpen, "ODBC", "The connection is already open");

  // The driver options this program relies on, for the driver and for the native paths
  // that read as it does.
  const std::string with_defaults =
      PrepareConnectionString(WithoutKey(connection_string, kNativeSqliteKey));
  std::string prepared = WithoutKey(with_defaults, kNativePostgresKey);
  std::unique_ptr<ConnectionBackend> backend;
  if (auto sqlite = NativeSqliteOptions(connection_string)) {
    backend = std::make_unique<SqliteBackend>(*sqlite);
  } else if (auto postgres = NativePostgresOptions(with_defaults)) {
    backend = std::make_unique<PostgresBackend>(*postgres);
  } else {
    backend = std::make_unique<OdbcBackend>(prepared);
  }
  dbms_name_ = backend->DbmsName();
  masked_connection_string_ = MaskConnectionString(prepared);
  warnings_ = backend->TakeNotices();
  backend_ = std::move(backend);
}

void Connection::Close() noexcept {
  backend_.reset();
  masked_connection_string_.clear();
  dbms_name_.clear();
}

int32_t Connection::State() const { return backend_ ? adStateOpen : adStateClosed; }

void Connection::SetCommandTimeout(int32_t seconds) {
  if (seconds < 0)
    throw core::Error(core::kErrInvalidArgument, "ODBC", "CommandTimeout must not be negative");
  command_timeout_ = seconds;
}

std::string Connection::ConnectionString() const { return masked_connection_string_; }

const std::string& Connection::DbmsName() const { return dbms_name_; }

void Connection::RequireOpen() const {
  if (!backend_) {
    throw core::Error(core::kErrObjectClosed, "ODBC",
                      "Operation is not allowed when the object is closed");
  }
}

RecordsetData Connection::Query(std::string_view sql) {
  RequireOpen();
  warnings_.clear();
  std::unique_ptr<QueryCursor> cursor =
      WithRowNaming(backend_->OpenCursor(sql, command_timeout_), row_naming_);
  RecordsetData data;
  data.fields = cursor->Fields();
  data.records = RecordStore(data.fields.size());
  while (cursor->FetchInto(data.records, std::numeric_limits<size_t>::max()) > 0) {
  }
  warnings_ = cursor->Warnings();
  return data;
}

std::unique_ptr<QueryCursor> Connection::OpenCursor(std::string_view sql) {
  RequireOpen();
  return WithRowNaming(backend_->OpenCursor(sql, command_timeout_), row_naming_);
}

std::vector<std::string> Connection::TakeWarnings() { return std::exchange(warnings_, {}); }

int64_t Connection::CountRows(std::string_view sql) {
  RequireOpen();
  return backend_->CountRows(sql, command_timeout_);
}

std::vector<std::string> Connection::LibraryVersions() {
  // Each back end's client library.
  return {SqliteBackend::LibraryVersion(), PostgresBackend::LibraryVersion(),
          OdbcBackend::DriverManagerVersion()};
}

void Connection::Prepare(std::string_view sql) {
  RequireOpen();
  backend_->Prepare(sql);
}

std::optional<std::vector<std::string>> Connection::PreparedColumns(std::string_view sql) {
  RequireOpen();
  return backend_->PreparedColumns(sql);
}

int64_t Connection::Execute(std::string_view sql) {
  RequireOpen();
  const int64_t rows = backend_->Execute(sql, command_timeout_);
  warnings_ = backend_->TakeNotices();
  return rows;
}

}  // namespace ado
