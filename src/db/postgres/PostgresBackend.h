#pragma once

// Internal to Connection.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/ConnectionBackend.h"
#include "db/postgres/PostgresOptions.h"

namespace ado {

namespace postgres {
class PostgresSession;
}

// Statements through libpq, with the field definitions, values and errors psqlODBC
// gives (see PostgresCursor).
class PostgresBackend : public ConnectionBackend {
 public:
  // Connects; throws core::Error kErrProvider "[SQLSTATE] ..." without the password.
  explicit PostgresBackend(const PostgresOptions& options);
  ~PostgresBackend() override;

  const std::string& DbmsName() const override { return dbms_name_; }
  std::unique_ptr<QueryCursor> OpenCursor(std::string_view sql, int32_t timeout) override;
  int64_t CountRows(std::string_view sql, int32_t timeout) override;
  int64_t Execute(std::string_view sql, int32_t timeout) override;
  void Prepare(std::string_view sql) override;
  std::optional<std::vector<std::string>> PreparedColumns(std::string_view sql) override;
  std::vector<std::string> TakeNotices() override;

  // "libpq 15.18" (the client library this process runs with).
  static std::string LibraryVersion();

 private:
  PostgresOptions options_;
  std::unique_ptr<postgres::PostgresSession> session_;
  std::string dbms_name_ = "PostgreSQL";
};

}  // namespace ado
