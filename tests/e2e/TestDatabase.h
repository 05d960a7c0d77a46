#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/Postgres.h"

namespace ado {
class Connection;
}

namespace qv::e2e {

// Creates an SQLite database file by running `sql` through the sqlite3 command-line
// shell. Returns the ODBC connection string for it. Throws std::runtime_error when
// the shell fails.
std::string CreateSqliteDatabase(const std::filesystem::path& file, const std::string& sql);

using test::PostgresConnectionString;

// Tables of one test in the database of a server (QV_TEST_PG, QV_TEST_MARIADB). Names
// are unique to the process and the object; every table made here is dropped when the
// object goes.
class PostgresTables {
 public:
  explicit PostgresTables(const std::string& connection_string);
  ~PostgresTables();
  PostgresTables(const PostgresTables&) = delete;
  PostgresTables& operator=(const PostgresTables&) = delete;

  // A unique name for the table `base`, remembered for dropping.
  std::string Table(const std::string& base);
  // Runs statements that return no rows.
  void Execute(const std::string& sql);

 private:
  std::unique_ptr<ado::Connection> connection_;
  std::string prefix_;
  std::vector<std::string> tables_;
};

}  // namespace qv::e2e
