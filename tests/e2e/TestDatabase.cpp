#include "e2e/TestDatabase.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "ado/Connection.h"
#include "e2e/ChildProcess.h"
#include "support/TestFolder.h"

namespace qv::e2e {

std::string CreateSqliteDatabase(const std::filesystem::path& file, const std::string& sql) {
  test::TestFolder scratch;
  const std::filesystem::path script = scratch.Path() / "create.sql";
  {
    std::ofstream out(script, std::ios::binary);
    out << ".bail on\n" << sql << "\n";
  }
  ChildOptions options;
  options.stdin_file = script;
  options.scratch = scratch.Path();
  const ChildResult result = RunChild({"sqlite3", file.string()}, options);
  if (result.exit_code != 0) {
    throw std::runtime_error("sqlite3 failed on " + file.string() + ": " + result.err);
  }
  return "Driver=SQLite3;Database=" + file.string();
}

PostgresTables::PostgresTables(const std::string& connection_string)
    : connection_(std::make_unique<ado::Connection>()) {
  static std::atomic<int> next{0};
  connection_->Open(connection_string);
  prefix_ = "qv_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(next++) + "_";
}

PostgresTables::~PostgresTables() {
  for (const std::string& table : tables_) {
    try {
      connection_->Execute("DROP TABLE IF EXISTS " + table);
    } catch (...) {
      // A table left behind has a unique name and harms no later run.
    }
  }
}

std::string PostgresTables::Table(const std::string& base) {
  tables_.push_back(prefix_ + base);
  return tables_.back();
}

void PostgresTables::Execute(const std::string& sql) { connection_->Execute(sql); }

}  // namespace qv::e2e
