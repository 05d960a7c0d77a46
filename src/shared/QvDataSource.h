#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ado/Connection.h"

namespace qv {

// One database that export rules run their queries on: a number, a display name and an
// ODBC connection string. The connection string may hold credentials; only its masked
// form ever reaches a message or a log.
class QvDataSource {
 public:
  // The kind of connection GetConnection hands out: the data source's one connection,
  // opened on first use and shared by every later caller of the run.
  static constexpr int32_t kSharedConnection = 1;

  QvDataSource(int32_t id, std::string name, std::string connection_string);
  QvDataSource(const QvDataSource&) = delete;
  QvDataSource& operator=(const QvDataSource&) = delete;

  int32_t ID() const { return id_; }
  const std::string& Name() const { return name_; }
  // The connection string with its passwords masked.
  std::string MaskedConnectionString() const;

  // The open connection of kind `kind` (only kSharedConnection exists). The first call
  // connects through ado::PrepareConnectionString; later calls return the same
  // connection while it is open, and connect again when it was closed. Throws
  // core::Error 5 for another kind and the driver's error (kErrProvider) when the
  // connection cannot be made; the description names the data source and shows the
  // masked connection string.
  std::shared_ptr<ado::Connection> GetConnection(int32_t kind);

  // Lets go of the shared connection, so that the next GetConnection connects anew. For
  // a connection that may have died (the server went away, the database file changed):
  // it still looks open, and every later query on it would fail.
  void DropConnection() { connection_.reset(); }
  // What a value its connection cannot read names (Connection::SetRowNaming), from now on.
  void SetRowNaming(ado::RowNaming naming);

 private:
  int32_t id_;
  std::string name_;
  std::string connection_string_;
  std::shared_ptr<ado::Connection> connection_;
  ado::RowNaming row_naming_;
};

}  // namespace qv
