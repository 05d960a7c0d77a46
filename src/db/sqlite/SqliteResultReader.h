#pragma once

// Internal to the native SQLite connection.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "db/OdbcTypeMap.h"
#include "values/FieldDef.h"
#include "values/RecordStore.h"

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
  // end and throws core::Error kErrObjectClosed.
  explicit SqliteResultReader(SqliteStatement& statement);

  std::vector<FieldDef> Fields() const;
  // Appends every remaining row to `store`, whose field count must match. Values enter
  // as a recordset file holds them (see FileValues.h). Throws core::Error naming the
  // column and the row (1-based) when a value does not fit its field.
  void ReadInto(RecordStore& store);
  // Appends up to `max_rows` of the next rows; 0 only at the end. Throws as ReadInto.
  size_t Fetch(RecordStore& store, size_t max_rows);
  // One text per column whose values were changed to fit the file, as the ODBC reader
  // words them; then one per column declared a number or a date that held text that is
  // none (SQLite keeps any value in any column), which is written as the driver reads it.
  std::vector<std::string> Warnings() const;

 private:
  void StoreValue(const odbc::ColumnMapping& map, int index, RecordStore& store, size_t record);
  void StoreText(RecordStore& store, size_t record, size_t field, std::string_view text);
  void StoreDate(RecordStore& store, size_t record, size_t field, const Date::Parts& parts);
  // Counts a value of the wrong kind for its column's declared type.
  void WrongKind(size_t field);
  // The value as the driver's text: a BLOB as X'HEX', anything else as SQLite's text.
  const char* DriverText(int index);

  SqliteStatement& statement_;
  std::vector<odbc::ColumnMapping> columns_;
  std::vector<int64_t> replaced_;        // per column: values changed to fit the file
  std::vector<int64_t> first_replaced_;  // per column: the first such row
  std::vector<int64_t> wrong_kind_;      // per column: text that is not the declared kind
  std::vector<int64_t> first_wrong_kind_;
  int64_t row_ = 0;  // rows read so far
  bool at_end_ = false;
  std::tm today_{};        // local date for times without one
  std::string text_;       // scratch for X'HEX'
  std::string text_file_;  // scratch for text as the file holds it
};

}  // namespace ado::sqlite
