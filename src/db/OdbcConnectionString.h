#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ado {

// One KEY=value pair of an ODBC connection string. A braced value ({...}, with }}
// for a literal }) keeps its braces in `value`, so that joining the pairs again gives
// the same text.
struct ConnectionStringPair {
  std::string key;
  std::string value;
};

// Splits an ODBC connection string into its pairs, in order. Empty segments (";;")
// are dropped; a segment without '=' becomes a pair with an empty value.
std::vector<ConnectionStringPair> ParseConnectionString(std::string_view text);

// Whether the key names a password (PWD or Password, any case, blanks around ignored).
bool IsPasswordKey(std::string_view key);

// The connection string with the values of PWD and Password (any case) replaced by
// "***", for logs and messages, and any segment without a plain keyword and a value
// (such as a whole connection string left encoded) replaced by "***". Everything else
// is kept as written.
std::string MaskConnectionString(std::string_view text);

// A key of this program's own, never passed to a driver: NativeSqlite=0 reads an SQLite
// database through the SQLite ODBC driver instead of SQLite's own library.
inline constexpr std::string_view kNativeSqliteKey = "NativeSqlite";
// NativePostgres=0 reads a PostgreSQL database through psqlODBC instead of libpq.
inline constexpr std::string_view kNativePostgresKey = "NativePostgres";

// The connection string without the pairs whose key is `key` (compared without case).
std::string WithoutKey(std::string_view text, std::string_view key);
// The value of the first pair whose key is `key` (compared without case), with blanks
// around it and enclosing braces removed ("}}" reads as "}"); nothing without one.
std::optional<std::string> ValueOf(std::string_view text, std::string_view key);

// The connection string with the driver options this program relies on added when the
// text does not set them itself (keys compared without case):
//   SQLite driver:      StepAPI=1 (step through the result instead of loading it whole),
//                       NoCreat=1 (open existing database files only)
//   PostgreSQL driver:  UseDeclareFetch=0;Fetch=10000 (the connection reads queries
//                       through a cursor of its own, Fetch rows per FETCH statement),
//                       BoolsAsChar=0 (booleans as SQL_BIT), CommLog=0;Debug=0 (no
//                       per-statement logs under /tmp)
// The driver is recognised from the DRIVER value; a DSN-only string is returned as is.
std::string PrepareConnectionString(std::string_view text);

// The Database value of a connection string for the SQLite driver; empty for other
// drivers or when there is none.
std::string SqliteDatabasePath(std::string_view text);

}  // namespace ado
