#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ado/Recordset.h"
#include "db/QueryCursor.h"
#include "db/RowNaming.h"

namespace ado {

class ConnectionBackend;

// ADO's Connection over ODBC (the unixODBC driver manager), or over SQLite's own
// library for connection strings naming the SQLite 3 ODBC driver (see Open). Every
// failing call throws core::Error with number kErrProvider, source "ODBC" and the
// driver's (or SQLite's) "[SQLSTATE] message (native N)".
//
// Texts cross the ODBC API as UTF-8 through the narrow entry points, which the SQLite
// and PostgreSQL drivers take and give as UTF-8; result text is fetched as UTF-16 and
// converted, so values never depend on the process locale.
//
// On SQLite, a statement that ends in the standard row-limiting clause "OFFSET n ROWS
// FETCH NEXT m ROWS ONLY" runs with that clause as "LIMIT m OFFSET n".
class Connection {
 public:
  Connection();
  ~Connection();

  // The database client libraries the program runs with, one "name version" each.
  static std::vector<std::string> LibraryVersions();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects with an ODBC connection string (after PrepareConnectionString). Throws
  // kErrObjectOpen when already open, kErrProvider when the driver refuses; the message
  // never holds the password.
  //
  // A string naming the SQLite 3 driver with a Database opens that existing file with
  // SQLite's own library (its Timeout is the busy timeout), giving the driver's field
  // definitions and values except that floating-point values and text come whole; a
  // missing file is an error naming the path. NativeSqlite=0 in the string, or a driver
  // option the native path does not reproduce, goes through the driver instead.
  void Open(std::string_view connection_string);
  // Disconnects; nothing happens when closed. Never throws.
  void Close() noexcept;
  int32_t State() const;

  // Seconds a statement may run (0: no limit), applied as SQL_ATTR_QUERY_TIMEOUT to
  // every statement. ADO's default is 30.
  int32_t CommandTimeout() const { return command_timeout_; }
  void SetCommandTimeout(int32_t seconds);

  // The connection string as opened, with password values masked. Empty when closed.
  std::string ConnectionString() const;
  // The DBMS name the driver reports ("SQLite", "PostgreSQL"); empty when closed.
  const std::string& DbmsName() const;

  // Runs a row-returning statement and returns all its rows with ADO's field
  // definitions, for a client-side static recordset. Throws kErrObjectClosed when the
  // connection is closed or the statement returns no result set, kErrProvider for
  // driver failures, kErrDataConversion or kErrOverflow for a value that does not fit
  // its field (the message names the column).
  //
  // Values enter as a recordset file holds them: timestamps to the microsecond, and text
  // with U+FFFD for each character XML 1.0 cannot hold (NUL and other control
  // characters, unpaired surrogates). Each column where that changed a value leaves a
  // warning for TakeWarnings.
  RecordsetData Query(std::string_view sql);
  // Runs a row-returning statement for reading its rows a block at a time, values
  // entering as Query's do. The cursor must not outlive the connection. Throws as Query.
  std::unique_ptr<QueryCursor> OpenCursor(std::string_view sql);
  // What a value Query or a cursor cannot read names besides its column and row: the
  // reader's context and the row's key (see RowNaming). None by default.
  void SetRowNaming(RowNaming naming) { row_naming_ = std::move(naming); }
  // The warnings of the last Query (one text per column, naming the column, the first
  // row and how many values, then the server's notices), Execute or Open (the server's
  // notices), and clears them.
  std::vector<std::string> TakeWarnings();
  // The number of rows the statement returns, fetched in blocks without keeping them.
  int64_t CountRows(std::string_view sql);
  // Runs a statement that returns no rows; the number of rows it affected, or -1 when
  // the driver does not tell.
  int64_t Execute(std::string_view sql);
  // Prepares a row-returning statement without running it (sqlite3_prepare, SQLPrepare
  // and the result's column count), to check its text and the names it uses. Throws
  // kErrProvider when the database refuses it, kErrObjectClosed when it returns no rows.
  // Drivers that prepare on the client only may accept a statement the server refuses.
  void Prepare(std::string_view sql);
  // Prepare, and the names of the result's columns; nothing when the back end cannot
  // tell them without running the statement.
  std::optional<std::vector<std::string>> PreparedColumns(std::string_view sql);

 private:
  void RequireOpen() const;

  std::unique_ptr<ConnectionBackend> backend_;
  std::string masked_connection_string_;
  std::string dbms_name_;
  std::vector<std::string> warnings_;
  int32_t command_timeout_ = 30;
  RowNaming row_naming_;
};

}  // namespace ado
