#pragma once

// Internal to Connection.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/QueryCursor.h"

namespace ado {

// What an open Connection runs statements through: an ODBC driver, or SQLite's own
// library for SQLite databases. Throws as Connection documents.
class ConnectionBackend {
 public:
  virtual ~ConnectionBackend() = default;

  virtual const std::string& DbmsName() const = 0;
  // `timeout`: seconds a statement may run, 0 for no limit.
  virtual std::unique_ptr<QueryCursor> OpenCursor(std::string_view sql, int32_t timeout) = 0;
  virtual int64_t CountRows(std::string_view sql, int32_t timeout) = 0;
  virtual int64_t Execute(std::string_view sql, int32_t timeout) = 0;
  // Prepares the statement without running it; throws when it is refused or returns
  // no rows.
  virtual void Prepare(std::string_view sql) = 0;
  // Prepares the statement as Prepare does and returns its result's column names, or
  // nothing when this back end cannot tell them without running it.
  virtual std::optional<std::vector<std::string>> PreparedColumns(std::string_view sql) {
    Prepare(sql);
    return std::nullopt;
  }
  // What the server said (its notices) since the last call outside a cursor's reads,
  // one text each; nothing where the back end does not hear it.
  virtual std::vector<std::string> TakeNotices() { return {}; }
};

}  // namespace ado
