#pragma once

// Internal to Connection.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ado {

// What the native path takes from a connection string naming a psqlODBC driver.
struct PostgresOptions {
  // libpq's connection keywords and values, in order (host, port, dbname, user, ...).
  std::vector<std::pair<std::string, std::string>> params;
  // ConnSettings: statements run once connected, as psqlODBC runs them.
  std::string conn_settings;
  // psqlODBC's Unicode driver reports text as wide types; its ANSI driver as narrow.
  bool unicode = true;
  // Fetch: the rows psqlODBC reads at a time; it sizes expression columns of types
  // without a declared size from the longest value among the first of them.
  size_t fetch_rows = 10000;
};

// The options for reading the database with libpq, or nothing when the connection
// string goes to psqlODBC: another driver, a DSN, NativePostgres=0, or a keyword the
// native path does not know or that changes what psqlODBC reports (BoolsAsChar=1,
// MaxVarcharSize, UnknownsAsLongVarchar and the like, when not at their defaults).
std::optional<PostgresOptions> NativePostgresOptions(std::string_view connection_string);

}  // namespace ado
