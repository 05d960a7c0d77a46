#pragma once

// Internal to Connection.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/ConnectionBackend.h"

namespace ado {

// Statements through the unixODBC driver manager and a driver.
class OdbcBackend : public ConnectionBackend {
 public:
  // Connects with a prepared ODBC connection string. Throws kErrProvider when the
  // driver refuses; the message never holds the password.
  explicit OdbcBackend(const std::string& connection_string);
  ~OdbcBackend() override;

  // The driver manager's version as it reports it at run time ("unixODBC 2.3, ODBC
  // 3.52"); "unixODBC (version unknown)" when it does not tell.
  static std::string DriverManagerVersion();

  const std::string& DbmsName() const override { return dbms_name_; }
  std::unique_ptr<QueryCursor> OpenCursor(std::string_view sql, int32_t timeout) override;
  int64_t CountRows(std::string_view sql, int32_t timeout) override;
  int64_t Execute(std::string_view sql, int32_t timeout) override;
  void Prepare(std::string_view sql) override;
  std::optional<std::vector<std::string>> PreparedColumns(std::string_view sql) override;

 private:
  struct Handles;

  std::unique_ptr<Handles> handles_;
  std::string dbms_name_;
  int64_t cursors_made_ = 0;
};

}  // namespace ado
