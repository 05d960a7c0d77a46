#include "db/odbc/OdbcHandle.h"

#include <algorithm>
#include <utility>

#include "core/Error.h"

namespace ado::odbc {

OdbcHandle::OdbcHandle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
  SQLRETURN rc = SQLAllocHandle(type, parent, &handle_);
  if (!SQL_SUCCEEDED(rc)) {
    handle_ = SQL_NULL_HANDLE;
    if (parent != SQL_NULL_HANDLE) {
      SQLSMALLINT parent_type = type == SQL_HANDLE_STMT ? SQL_HANDLE_DBC : SQL_HANDLE_ENV;
      throw core::Error(core::kErrProvider, "ODBC",
                        DiagnosticText(parent_type, parent, "SQLAllocHandle failed"));
    }
    throw core::Error(core::kErrProvider, "ODBC",
                      "SQLAllocHandle failed: no ODBC driver manager environment");
  }
}

OdbcHandle::~OdbcHandle() { Reset(); }

OdbcHandle::OdbcHandle(OdbcHandle&& other) noexcept
    : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    type_ = other.type_;
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void OdbcHandle::Reset() {
  if (handle_ != SQL_NULL_HANDLE) {
    SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
  }
}

namespace {

bool ReadDiag(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT index, DiagRecord& out) {
  SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  std::string message(512, '\0');
  SQLRETURN rc = SQLGetDiagRecA(type, handle, index, state, &native,
                                reinterpret_cast<SQLCHAR*>(message.data()),
                                static_cast<SQLSMALLINT>(message.size()), &length);
  if (!SQL_SUCCEEDED(rc)) return false;
  if (static_cast<size_t>(length) >= message.size()) {
    message.resize(static_cast<size_t>(length) + 1);
    SQLGetDiagRecA(type, handle, index, state, &native, reinterpret_cast<SQLCHAR*>(message.data()),
                   static_cast<SQLSMALLINT>(message.size()), &length);
  }
  message.resize(std::min(static_cast<size_t>(length), message.size()));
  // Drivers end messages with a line break or their own separator; keep the text only.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == ';')) {
    message.pop_back();
  }
  out.sqlstate = reinterpret_cast<const char*>(state);
  out.native = native;
  out.message = std::move(message);
  return true;
}

}  // namespace

DiagRecord FirstDiagnostic(const OdbcHandle& handle) {
  DiagRecord record;
  if (handle) ReadDiag(handle.type(), handle.get(), 1, record);
  return record;
}

DiagPosition FirstDiagnosticPosition(const OdbcHandle& statement) {
  DiagPosition at;
  if (!statement) return at;
  SQLLEN row = 0;
  if (SQL_SUCCEEDED(SQLGetDiagFieldA(statement.type(), statement.get(), 1, SQL_DIAG_ROW_NUMBER,
                                     &row, 0, nullptr)) &&
      row > 0) {
    at.row = row;
  }
  SQLINTEGER column = 0;
  if (SQL_SUCCEEDED(SQLGetDiagFieldA(statement.type(), statement.get(), 1, SQL_DIAG_COLUMN_NUMBER,
                                     &column, 0, nullptr)) &&
      column > 0) {
    at.column = column;
  }
  return at;
}

std::string DiagnosticText(SQLSMALLINT type, SQLHANDLE handle, std::string_view fallback) {
  std::string text;
  DiagRecord record;
  // A few records are enough; some drivers repeat one failure many times.
  for (SQLSMALLINT i = 1; i <= 8 && handle != SQL_NULL_HANDLE && ReadDiag(type, handle, i, record);
       ++i) {
    if (!text.empty()) text += '\n';
    text += '[' + record.sqlstate + "] " + record.message + " (native " +
            std::to_string(record.native) + ')';
  }
  return text.empty() ? std::string(fallback) : text;
}

SQLRETURN Check(SQLRETURN rc, const OdbcHandle& handle, std::string_view what) {
  if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA) return rc;
  if (rc == SQL_INVALID_HANDLE) {
    throw core::Error(core::kErrProvider, "ODBC", std::string(what) + ": invalid handle");
  }
  ThrowDiagnostics(handle, what);
}

void ThrowDiagnostics(const OdbcHandle& handle, std::string_view what) {
  throw core::Error(core::kErrProvider, "ODBC",
                    DiagnosticText(handle, std::string(what) + " failed"));
}

}  // namespace ado::odbc
