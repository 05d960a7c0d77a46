#pragma once

// Internal to the ODBC connection: never include from a public header.

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace ado::odbc {

// Owner of one ODBC handle (environment, connection or statement). Move-only; the
// destructor frees the handle and never throws. A connection handle must be
// disconnected by its user before it is freed (Connection does that).
class OdbcHandle {
 public:
  OdbcHandle() = default;
  // Allocates a handle of `type` under `parent` (SQL_NULL_HANDLE for an environment).
  // Throws core::Error when the driver manager refuses.
  OdbcHandle(SQLSMALLINT type, SQLHANDLE parent);
  ~OdbcHandle();
  OdbcHandle(OdbcHandle&& other) noexcept;
  OdbcHandle& operator=(OdbcHandle&& other) noexcept;
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;

  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }
  explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }
  void Reset();

 private:
  SQLSMALLINT type_ = 0;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// One diagnostic record of a handle.
struct DiagRecord {
  std::string sqlstate;
  SQLINTEGER native = 0;
  std::string message;
};

// The handle's diagnostic records joined as "[SQLSTATE] message (native N)", one per
// line; `fallback` when the driver left none. The raw form reads a handle it does not own.
std::string DiagnosticText(SQLSMALLINT type, SQLHANDLE handle, std::string_view fallback);
inline std::string DiagnosticText(const OdbcHandle& handle, std::string_view fallback) {
  return DiagnosticText(handle.type(), handle.get(), fallback);
}
// The first diagnostic record; an empty record when there is none.
DiagRecord FirstDiagnostic(const OdbcHandle& handle);

// Where the first diagnostic record of a statement points: the row of the block and the
// column, 1-based; 0 when the driver does not say.
struct DiagPosition {
  int64_t row = 0;
  int64_t column = 0;
};
DiagPosition FirstDiagnosticPosition(const OdbcHandle& statement);

// The one checked call: SQL_SUCCESS, SQL_SUCCESS_WITH_INFO and SQL_NO_DATA pass through
// (returned for the caller to test); anything else throws core::Error kErrProvider with
// source "ODBC" and the handle's diagnostics as description. `what` names the call for
// the rare failure that leaves no diagnostics.
SQLRETURN Check(SQLRETURN rc, const OdbcHandle& handle, std::string_view what);

// Throws the core::Error that Check throws, for a failure found by other means (a row
// of a block that the driver marked as failed).
[[noreturn]] void ThrowDiagnostics(const OdbcHandle& handle, std::string_view what);

}  // namespace ado::odbc
