#pragma once

// Internal to the native SQLite connection.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "ado/FieldDef.h"
#include "ado/OdbcTypeMap.h"
#include "ado/RecordStore.h"

struct sqlite3_stmt;

namespace ado::sqlite {

class SqliteStatement;

// What the SQLite ODBC driver reports for column `index` of a prepared statement: the
// SQL type and size from the declared type, the label and the base names.
odbc::ColumnDescription DescribeColumn(sqlite3_stmt* stmt, int index);

// Reads the rows of a prepared statement into a record store with the field
// definitions and values the SQLite ODBC driver gives, except that floating-point
// values and text come whole: no rounding to 15 digits, no cut at a NUL character.
class SqliteResultReader {
 public:
  // Describes the statement's result. A statement without a result set is run to its
  // end and throws ado::Error kErrObjectClosed.
  explicit SqliteResultReader(SqliteStatement& statement);

  std::vector<FieldDef> Fields() const;
  // Appends every remaining row to `store`, whose field count must match. Throws
  // ado::Error naming the column when a value does not fit its field.
  void ReadInto(RecordStore& store);

 private:
  void StoreValue(const odbc::ColumnMapping& map, int index, RecordStore& store, size_t record);
  void StoreText(RecordStore& store, size_t record, size_t field, std::string_view text);
  void StoreDate(RecordStore& store, size_t record, size_t field, const Date::Parts& parts);
  // The value as the driver's text: a BLOB as X'HEX', anything else as SQLite's text.
  const char* DriverText(int index);

  SqliteStatement& statement_;
  std::vector<odbc::ColumnMapping> columns_;
  std::tm today_{};   // local date for times without one
  std::string text_;  // scratch for X'HEX'
};

}  // namespace ado::sqlite
