#pragma once

// Internal to the ODBC connection.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/OdbcTypeMap.h"
#include "db/odbc/OdbcHandle.h"
#include "values/FieldDef.h"
#include "values/RecordStore.h"

namespace ado::odbc {

// What a driver lets the reader do, from SQLGetInfo and the DBMS.
struct DriverTraits {
  // The DBMS keeps values within the declared column size (SQLite does not).
  bool sizes_enforced = true;
  // SQLGetData works on any unbound column, not only on those after the last bound one.
  bool getdata_any_column = false;
  // A row of a block can be positioned with SQLSetPos and read again with SQLGetData,
  // bound columns included: a value longer than its buffer is then re-read whole.
  bool getdata_block = false;
  // SQLGetData works on a bound column of a one-row block, in any column order, and
  // returns the value from its start: a value longer than its buffer is re-read whole.
  bool getdata_bound = false;
  // Character data is Unicode although the driver reports narrow SQL types: a Unicode
  // driver reports SQL_CHAR, SQL_VARCHAR and SQL_LONGVARCHAR to an application on the
  // narrow API, and the wide types to one on the wide API, as ADO's provider is.
  bool text_is_unicode = false;
  // The driver writes SQL_C_FLOAT values at their own size; MariaDB's writes a double into
  // each, so REAL columns are read as SQL_C_DOUBLE unless this is set.
  bool c_float_exact = false;
  // A text value longer than its bound buffer comes back cut at a character with its whole
  // length, so it can be re-read. MariaDB's driver gives the cut length, or fails the fetch
  // when the cut splits a character: long text is then never bound, only read whole.
  bool text_truncation_reported = true;
  // Narrow character data is UTF-8 (MariaDB's driver with a utf8mb4 connection): text is
  // read as SQL_C_CHAR, which the driver hands over unconverted, not as SQL_C_WCHAR.
  bool text_as_utf8 = false;
  // TIME values are durations that may leave the day (MariaDB and MySQL: -838:59:59 to
  // 838:59:59); such columns are read as their text.
  bool time_beyond_day = false;
};

// Puts a statement back as it was before columns were bound to it (nothing bound, one
// row per fetch, no rows-fetched or row-status pointer) when it goes, so that the
// driver keeps no pointer into buffers that are about to go. Whatever binds columns or
// sets those attributes holds one for as long as they are set.
class BindingReset {
 public:
  explicit BindingReset(SQLHSTMT statement) : statement_(statement) {}
  ~BindingReset();
  BindingReset(const BindingReset&) = delete;
  BindingReset& operator=(const BindingReset&) = delete;

 private:
  SQLHSTMT statement_;
};

// Reads the result set of an executed statement. Values are fetched in blocks of rows
// into column-wise bound buffers sized by bytes (at most kMaxBlockRows rows). A column
// whose values have no usable bound is read with SQLGetData in chunks, which needs a
// block of one row unless the driver can position on a row of a block; with a driver
// that can re-read a row of a block, such columns are bound with a modest buffer instead
// and only the values that do not fit are re-read. A driver that can re-read only a
// bound column of a one-row block gets the same buffers, one row per fetch.
//
// A driver cannot write outside the buffers by writing a wider C type than asked: every
// fixed-size cell has room for the widest one. What it hands back is checked after each
// fetch: writes past the values asked for, more rows than the block holds, and lengths
// beyond a cell fail the read with an error naming the column.
//
// Not copyable or movable: the driver holds pointers into the reader's buffers.
class OdbcResultReader {
 public:
  static constexpr size_t kMaxBlockRows = 1000;
  static constexpr size_t kBlockBytes = size_t{4} << 20;

  // Describes the statement's result. Throws core::Error kErrObjectClosed when the
  // statement produced no result set, and the driver's error when describing fails.
  OdbcResultReader(const OdbcHandle& statement, const DriverTraits& traits);
  ~OdbcResultReader();
  OdbcResultReader(const OdbcResultReader&) = delete;
  OdbcResultReader& operator=(const OdbcResultReader&) = delete;

  std::vector<FieldDef> Fields() const;
  // Rows per fetch that ReadInto uses.
  size_t BlockRows() const { return block_rows_; }
  // Appends every remaining row to `store`, whose field count must match. Values enter
  // as a recordset file holds them (see FileValues.h). Throws core::Error with the
  // driver's diagnostics, or kErrDataConversion / kErrOverflow naming the column, the
  // row (1-based) and the value when a value does not fit its field. The statement is
  // left unbound however the read ends.
  void ReadInto(RecordStore& store);
  // Appends up to `max_rows` of the next rows to `store`; 0 only at the end of the
  // result. Throws as ReadInto; after a throw the reader is at its end, unbound.
  size_t Fetch(RecordStore& store, size_t max_rows);
  // Goes on with the statement the owner put in the place of the one read to its end
  // (the next FETCH of a server-side cursor, with the same columns): the field
  // definitions, the row count and the warnings carry on. False when the last read
  // failed, or did not reach the end of the result.
  bool Continue();
  // One text per column whose values were changed to fit the file (characters replaced
  // with U+FFFD, zero dates kept as null), naming the column, the first such row and
  // how many values.
  std::vector<std::string> Warnings() const;

 private:
  struct Column;

  void PlanBindings();
  // Sets the block attributes and binds the columns, once, before the first fetch.
  void Bind();
  void Unbind() noexcept;
  size_t FetchBound(RecordStore& store, size_t max_rows);
  // Fetches the next block; false at the end of the result.
  bool FetchBlock();
  // Throws when the driver wrote where it was not asked to.
  void CheckBlock() const;
  bool CanReread() const;
  void Position(size_t row);
  void StoreBound(Column& column, size_t row, RecordStore& store, size_t record);
  void StoreFetched(Column& column, RecordStore& store, size_t record);
  void Reread(Column& column, size_t row, RecordStore& store, size_t record);
  void NoteReplaced(Column& column, size_t replaced);
  void NoteZeroDate(Column& column);

  const OdbcHandle& statement_;
  DriverTraits traits_;
  std::vector<Column> columns_;
  size_t block_rows_ = 1;
  int64_t row_ = 0;   // rows read so far
  std::string text_;  // scratch for converted text values
  bool at_end_ = false;
  bool failed_ = false;
  SQLULEN fetched_ = 0;                   // rows in the current block
  size_t next_row_ = 0;                   // first row of the block not yet stored
  std::vector<SQLUSMALLINT> row_status_;  // of the current block, and a guard
  size_t positioned_ = SIZE_MAX;          // row of the block SQLSetPos last chose
  std::string row_error_;                 // diagnostics of the block's failed rows
  // Set while columns are bound; declared last so that it goes before the buffers.
  std::optional<BindingReset> binding_;
};

// Counts the rows of an executed statement's result, fetching blocks without binding
// any column, so memory stays bounded by one block. Throws as OdbcResultReader; the
// statement's block attributes are reset however the count ends.
int64_t CountResultRows(const OdbcHandle& statement);

}  // namespace ado::odbc
