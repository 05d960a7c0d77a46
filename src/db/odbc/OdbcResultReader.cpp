#include "db/odbc/OdbcResultReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/Error.h"
#include "core/Text.h"
#include "db/CellStore.h"
#include "db/odbc/OdbcCells.h"
#include "xmlformat/FileValues.h"

namespace ado::odbc {

namespace {

// Buffer for a value with no usable bound when the driver can re-read long values.
constexpr size_t kLongCellChars = 255;
// Largest declared size that is bound; larger columns are read in chunks.
constexpr size_t kMaxCellChars = 4000;
constexpr size_t kGetDataChunk = 8192;  // bytes per SQLGetData call
// Room per row of a fixed-size column: the widest fixed C type (an interval struct) fits,
// so a driver that writes a wider type than asked stays within the buffer.
constexpr size_t kFixedSlotBytes = 32;
// Guard bytes after the cells of a variable-size column.
constexpr size_t kGuardBytes = 64;
constexpr unsigned char kGuardByte = 0xA5;
// An indicator the driver has not written; no length or null marker takes this value.
constexpr SQLLEN kUnwritten = -0x5A5A5A5A;
constexpr SQLUSMALLINT kStatusGuard = 0xA5A5;

void FillGuard(char* from, size_t bytes) { std::memset(from, kGuardByte, bytes); }

bool GuardIntact(const char* from, size_t bytes) {
  uint64_t word;
  std::memset(&word, kGuardByte, sizeof word);
  size_t i = 0;
  for (; i + sizeof word <= bytes; i += sizeof word) {
    if (std::memcmp(from + i, &word, sizeof word) != 0) return false;
  }
  for (; i < bytes; ++i) {
    if (static_cast<unsigned char>(from[i]) != kGuardByte) return false;
  }
  return true;
}

}  // namespace

BindingReset::~BindingReset() {
  SQLFreeStmt(statement_, SQL_UNBIND);
  SQLSetStmtAttr(statement_, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
  SQLSetStmtAttr(statement_, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
  SQLSetStmtAttr(statement_, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
}

struct OdbcResultReader::Column {
  ColumnMapping map;
  SQLUSMALLINT number = 0;  // 1-based column number
  SQLSMALLINT c_type = SQL_C_WCHAR;
  bool bound = false;
  size_t cell_bytes = 0;                 // the driver's step from one row's value to the next
  size_t buffer_bytes = 0;               // cells, then a guard the driver must leave alone
  std::unique_ptr<char[]> buffer;        // block_rows_ cells, column-wise
  std::unique_ptr<SQLLEN[]> indicators;  // block_rows_ and a guard
  int64_t replaced_values = 0;           // values with characters replaced for the file
  int64_t first_replaced_row = 0;
  int64_t zero_dates = 0;  // zero dates kept as null
  int64_t first_zero_date_row = 0;
};

OdbcResultReader::OdbcResultReader(const OdbcHandle& statement, const DriverTraits& traits)
    : statement_(statement), traits_(traits) {
  SQLSMALLINT count = 0;
  Check(SQLNumResultCols(statement_.get(), &count), statement_, "SQLNumResultCols");
  if (count <= 0)
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returned no rows");

  columns_.resize(static_cast<size_t>(count));
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    ColumnDescription d;
    std::string name(256, '\0');
    SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = SQL_NULLABLE_UNKNOWN;
    SQLULEN size = 0;
    auto describe = [&] {
      return SQLDescribeColA(statement_.get(), i, reinterpret_cast<SQLCHAR*>(name.data()),
                             static_cast<SQLSMALLINT>(name.size()), &name_length, &sql_type, &size,
                             &digits, &nullable);
    };
    Check(describe(), statement_, "SQLDescribeCol");
    if (static_cast<size_t>(name_length) >= name.size()) {
      name.resize(static_cast<size_t>(name_length) + 1);
      Check(describe(), statement_, "SQLDescribeCol");
    }
    name.resize(std::min(static_cast<size_t>(name_length), name.size()));
    d.name = std::move(name);
    d.sql_type = sql_type;
    d.column_size = size;
    d.decimal_digits = digits;
    d.nullable = nullable;

    // Optional attributes: a driver that does not know one leaves the default.
    // The ANSI entry point takes signed numbers; i is at most count, so it fits.
    const auto column_number = static_cast<SQLSMALLINT>(i);
    auto number_attr = [&](SQLSMALLINT id) {
      SQLLEN v = 0;
      SQLRETURN rc = SQLColAttributeA(statement_.get(), column_number, id, nullptr, 0, nullptr, &v);
      return SQL_SUCCEEDED(rc) ? v : 0;
    };
    auto text_attr = [&](SQLSMALLINT id) {
      char buf[256] = {};
      SQLSMALLINT length = 0;
      SQLRETURN rc =
          SQLColAttributeA(statement_.get(), column_number, id, buf, sizeof buf, &length, nullptr);
      if (!SQL_SUCCEEDED(rc) || length <= 0) return std::string();
      return std::string(buf, std::min(static_cast<size_t>(length), sizeof buf - 1));
    };
    d.is_unsigned = number_attr(SQL_DESC_UNSIGNED) == SQL_TRUE;
    d.auto_increment = number_attr(SQL_DESC_AUTO_UNIQUE_VALUE) == SQL_TRUE;
    d.base_catalog = text_attr(SQL_DESC_CATALOG_NAME);
    d.base_schema = text_attr(SQL_DESC_SCHEMA_NAME);
    d.base_table = text_attr(SQL_DESC_BASE_TABLE_NAME);
    d.base_column = text_attr(SQL_DESC_BASE_COLUMN_NAME);

    Column& column = columns_[i - 1];
    // A driver that does not enforce declared sizes (SQLite) may return 64-bit whole
    // numbers and binary values of any length whatever type it reports.
    if (!traits_.sizes_enforced) ForUnboundedValues(d);
    if (traits_.time_beyond_day) TimeAsText(d);
    column.map = MapColumn(d, traits_.text_is_unicode);
    column.number = i;
    column.c_type = CType(column.map.kind);
    if (column.map.kind == FetchKind::kReal && !traits_.c_float_exact) column.c_type = SQL_C_DOUBLE;
    if (column.map.kind == FetchKind::kText && traits_.text_as_utf8) column.c_type = SQL_C_CHAR;
  }
  PlanBindings();
}

OdbcResultReader::~OdbcResultReader() = default;

std::vector<FieldDef> OdbcResultReader::Fields() const {
  std::vector<FieldDef> fields;
  fields.reserve(columns_.size());
  for (const auto& column : columns_) fields.push_back(column.map.field);
  return fields;
}

bool OdbcResultReader::CanReread() const {
  return traits_.getdata_block || (traits_.getdata_bound && block_rows_ == 1);
}

void OdbcResultReader::PlanBindings() {
  auto has_bound = [&](const ColumnMapping& map) {
    if (map.kind != FetchKind::kText && map.kind != FetchKind::kBinary) return true;
    return traits_.sizes_enforced && !map.long_data &&
           map.field.defined_size <= static_cast<int64_t>(kMaxCellChars);
  };
  // A long value bound with a modest buffer is re-read whole when it does not fit; text
  // only where the driver reports the cut.
  auto long_cell = [&](const ColumnMapping& map) {
    return map.kind == FetchKind::kBinary || traits_.text_truncation_reported;
  };
  // Chunked reads would force one row per fetch anyway; a bound buffer with re-reads
  // of the values that do not fit costs far fewer driver calls.
  const bool bind_all =
      traits_.getdata_block ||
      (traits_.getdata_bound && !std::all_of(columns_.begin(), columns_.end(),
                                             [&](const Column& c) { return has_bound(c.map); }));
  bool chunked_seen = false;
  size_t row_bytes = 0;
  for (auto& column : columns_) {
    const ColumnMapping& map = column.map;
    size_t chars = static_cast<size_t>(std::max<int64_t>(map.field.defined_size, 1));
    bool bind = true;
    if (map.kind == FetchKind::kText || map.kind == FetchKind::kBinary) {
      if (has_bound(map)) {
        chars = std::min(chars, kMaxCellChars);
      } else if (bind_all && long_cell(map)) {
        // Values that do not fit are re-read one by one.
        chars = map.long_data ? kLongCellChars : std::min(chars, kMaxCellChars);
      } else {
        bind = false;
      }
    }
    // Without SQLGetData on any column, chunked columns must come after the bound ones.
    if (chunked_seen && !traits_.getdata_any_column) bind = false;
    column.bound = bind;
    if (!bind) {
      chunked_seen = true;
    } else if (IsVariable(map.kind)) {
      column.cell_bytes = CellBytes(map.kind, column.c_type, chars);
      row_bytes += column.cell_bytes + sizeof(SQLLEN);
    } else {
      column.cell_bytes = FixedBytes(column.c_type);
      row_bytes += kFixedSlotBytes + sizeof(SQLLEN);
    }
  }
  // Chunked columns of a row of a block are read after positioning on it, where the
  // driver can; otherwise one row per fetch.
  if ((chunked_seen && !traits_.getdata_block) || (bind_all && !traits_.getdata_block)) {
    block_rows_ = 1;
  } else {
    block_rows_ =
        std::clamp<size_t>(kBlockBytes / std::max<size_t>(row_bytes, 1), 1, kMaxBlockRows);
  }
}

void OdbcResultReader::Bind() {
  SQLHSTMT stmt = statement_.get();
  binding_.emplace(stmt);  // from here on whatever is set is undone
  Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE,
                       reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_BIND_BY_COLUMN)), 0),
        statement_, "SQLSetStmtAttr(ROW_BIND_TYPE)");
  if (block_rows_ > 1) {
    Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                         reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(block_rows_)), 0),
          statement_, "SQLSetStmtAttr(ROW_ARRAY_SIZE)");
    // The driver may choose another block size, saying so or not; the buffers must
    // match what it uses, and it must use no more than asked.
    SQLULEN actual = 1;
    Check(SQLGetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, &actual, 0, nullptr), statement_,
          "SQLGetStmtAttr(ROW_ARRAY_SIZE)");
    block_rows_ = std::clamp<size_t>(actual, 1, block_rows_);
  }
  row_status_.assign(block_rows_ + 1, SQL_ROW_SUCCESS);
  row_status_[block_rows_] = kStatusGuard;
  Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched_, 0), statement_,
        "SQLSetStmtAttr(ROWS_FETCHED_PTR)");
  Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, row_status_.data(), 0), statement_,
        "SQLSetStmtAttr(ROW_STATUS_PTR)");

  for (auto& column : columns_) {
    if (!column.bound) continue;
    const size_t slot = IsVariable(column.map.kind) ? column.cell_bytes : kFixedSlotBytes;
    const size_t used = column.cell_bytes * block_rows_;
    column.buffer_bytes = IsVariable(column.map.kind) ? used + kGuardBytes : slot * block_rows_;
    column.buffer = std::make_unique<char[]>(column.buffer_bytes);
    FillGuard(column.buffer.get() + used, column.buffer_bytes - used);
    column.indicators = std::make_unique<SQLLEN[]>(block_rows_ + 1);
    Check(SQLBindCol(stmt, column.number, column.c_type, column.buffer.get(),
                     static_cast<SQLLEN>(column.cell_bytes), column.indicators.get()),
          statement_, "SQLBindCol");
  }
}

void OdbcResultReader::Unbind() noexcept { binding_.reset(); }

void OdbcResultReader::ReadInto(RecordStore& store) {
  while (Fetch(store, std::numeric_limits<size_t>::max()) > 0) {
  }
}

size_t OdbcResultReader::Fetch(RecordStore& store, size_t max_rows) {
  if (at_end_ || max_rows == 0) return 0;
  try {
    return FetchBound(store, max_rows);
  } catch (...) {
    // The driver must keep no pointer into buffers a failed read may leave behind.
    at_end_ = true;
    failed_ = true;
    Unbind();
    throw;
  }
}

bool OdbcResultReader::Continue() {
  if (failed_ || !at_end_ || binding_) return false;
  at_end_ = false;
  fetched_ = 0;
  next_row_ = 0;
  positioned_ = SIZE_MAX;
  return true;
}

size_t OdbcResultReader::FetchBound(RecordStore& store, size_t max_rows) {
  if (!binding_) Bind();
  size_t stored = 0;
  while (stored < max_rows) {
    if (next_row_ >= fetched_) {
      if (!FetchBlock()) break;
      continue;
    }
    const size_t r = next_row_++;
    if (row_status_[r] == SQL_ROW_ERROR) {
      throw core::Error(
          core::kErrProvider, "ODBC",
          "Row " + std::to_string(row_ + 1) + ": " +
              (row_error_.empty() ? std::string("the driver failed the row without saying why")
                                  : row_error_));
    }
    if (row_status_[r] == SQL_ROW_NOROW || row_status_[r] == SQL_ROW_DELETED) continue;
    size_t record = store.AppendRecord();
    ++row_;
    const auto store_column = [&](Column& column) {
      if (column.bound) {
        StoreBound(column, r, store, record);
      } else {
        Position(r);
        StoreFetched(column, store, record);
      }
    };
    for (size_t c = 0; c < columns_.size(); ++c) {
      try {
        store_column(columns_[c]);
      } catch (const core::Error& error) {
        cells::RethrowForColumn(error, columns_[c].map.field.name, row_,
                                {store, record, c + 1, columns_.size(),
                                 [&](size_t rest) { store_column(columns_[rest]); }});
      }
    }
    ++stored;
  }
  return stored;
}

bool OdbcResultReader::FetchBlock() {
  fetched_ = 0;
  next_row_ = 0;
  positioned_ = SIZE_MAX;
  row_error_.clear();
  for (auto& column : columns_) {
    if (column.bound) std::fill_n(column.indicators.get(), block_rows_ + 1, kUnwritten);
  }
  const SQLRETURN rc = SQLFetch(statement_.get());
  if (rc == SQL_NO_DATA) {
    at_end_ = true;
    Unbind();
    return false;
  }
  if (!SQL_SUCCEEDED(rc)) {
    // Where the driver says, the row and column; else the rows of the block.
    const DiagPosition at = FirstDiagnosticPosition(statement_);
    std::string where = block_rows_ == 1
                            ? "row " + std::to_string(row_ + 1)
                            : "rows " + std::to_string(row_ + 1) + " to " +
                                  std::to_string(row_ + static_cast<int64_t>(block_rows_));
    if (at.row > 0 && static_cast<size_t>(at.row) <= block_rows_) {
      where = "row " + std::to_string(row_ + at.row);
    }
    if (at.column > 0 && static_cast<size_t>(at.column) <= columns_.size()) {
      where =
          "Column '" + columns_[static_cast<size_t>(at.column) - 1].map.field.name + "', " + where;
    } else {
      where[0] = 'R';
    }
    try {
      Check(rc, statement_, "SQLFetch");
    } catch (const core::Error& error) {
      core::ErrorRecord record = error.record();
      record.description = where + ": " + record.description;
      throw core::Error(std::move(record));
    }
  }
  CheckBlock();
  // The diagnostics of failed rows go with the next call on the statement: keep them.
  const size_t rows = std::min<size_t>(fetched_, block_rows_);
  if (std::find(row_status_.begin(), row_status_.begin() + static_cast<ptrdiff_t>(rows),
                SQL_ROW_ERROR) != row_status_.begin() + static_cast<ptrdiff_t>(rows)) {
    row_error_ = DiagnosticText(statement_, "");
  }
  return true;
}

void OdbcResultReader::CheckBlock() const {
  auto fail = [&](const std::string& text) {
    throw core::Error(core::kErrProvider, "ODBC",
                      text + "; the driver cannot be trusted with this result");
  };
  if (fetched_ > block_rows_ || row_status_[block_rows_] != kStatusGuard) {
    fail("The driver fetched " + std::to_string(fetched_) + " rows into a block of " +
         std::to_string(block_rows_));
  }
  for (const auto& column : columns_) {
    if (!column.bound) continue;
    const size_t used = column.cell_bytes * block_rows_;
    if (column.indicators[block_rows_] != kUnwritten) {
      fail("Column '" + column.map.field.name + "': the driver wrote more lengths than rows");
    }
    if (!GuardIntact(column.buffer.get() + used, column.buffer_bytes - used)) {
      fail("Column '" + column.map.field.name + "': the driver wrote past the " +
           std::to_string(column.cell_bytes) + "-byte " + CTypeName(column.c_type) +
           " values asked for");
    }
  }
}

void OdbcResultReader::Position(size_t row) {
  if (block_rows_ == 1 || positioned_ == row) return;
  Check(SQLSetPos(statement_.get(), static_cast<SQLSETPOSIROW>(row + 1), SQL_POSITION,
                  SQL_LOCK_NO_CHANGE),
        statement_, "SQLSetPos");
  positioned_ = row;
}

std::vector<std::string> OdbcResultReader::Warnings() const {
  std::vector<std::string> warnings;
  for (const auto& column : columns_) {
    if (column.replaced_values == 0) continue;
    warnings.push_back(
        FileTextWarning(column.map.field.name, column.first_replaced_row, column.replaced_values));
  }
  for (const auto& column : columns_) {
    if (column.zero_dates == 0) continue;
    warnings.push_back("Column '" + column.map.field.name + "', row " +
                       std::to_string(column.first_zero_date_row) + ": " +
                       std::to_string(column.zero_dates) +
                       " zero date(s) (a month or day of 0) that name no day; they are kept "
                       "as null");
  }
  return warnings;
}

void OdbcResultReader::NoteReplaced(Column& column, size_t replaced) {
  if (replaced == 0) return;
  if (column.replaced_values++ == 0) column.first_replaced_row = row_;
}

void OdbcResultReader::NoteZeroDate(Column& column) {
  if (column.zero_dates++ == 0) column.first_zero_date_row = row_;
}

void OdbcResultReader::StoreBound(Column& column, size_t row, RecordStore& store, size_t record) {
  const size_t field = column.number - 1u;
  SQLLEN indicator = column.indicators[row];
  if (indicator == SQL_NULL_DATA) {
    store.SetNull(record, field);
    return;
  }
  const char* cell = column.buffer.get() + row * column.cell_bytes;
  if (!IsVariable(column.map.kind)) {
    // The length of a fixed type says nothing; some drivers leave it unwritten.
    if (!StoreFixed(column.map, column.c_type, cell, store, record, field)) NoteZeroDate(column);
    return;
  }
  size_t room = DataRoom(column.c_type, column.cell_bytes);
  // No length, or one beyond the cell: the value is read again whole.
  if (indicator < 0 || static_cast<size_t>(indicator) > room) {
    if (indicator == kUnwritten && !CanReread()) {
      throw core::Error(core::kErrProvider, "ODBC", "The driver gave no length for the value");
    }
    Reread(column, row, store, record);
    return;
  }
  NoteReplaced(column, StoreVariable(column.map, column.c_type, cell,
                                     static_cast<size_t>(indicator), store, record, field, text_));
}

void OdbcResultReader::Reread(Column& column, size_t row, RecordStore& store, size_t record) {
  if (!CanReread()) {
    throw core::Error(core::kErrProvider, "ODBC",
                      "A value is longer than the column's declared size of " +
                          std::to_string(column.map.field.defined_size));
  }
  Position(row);
  StoreFetched(column, store, record);
}

void OdbcResultReader::StoreFetched(Column& column, RecordStore& store, size_t record) {
  const size_t field = column.number - 1u;
  const SQLSMALLINT c_type = column.c_type;
  SQLHSTMT stmt = statement_.get();

  if (!IsVariable(column.map.kind)) {
    alignas(8) char cell[kFixedSlotBytes] = {};
    SQLLEN indicator = 0;
    Check(SQLGetData(stmt, column.number, c_type, cell, sizeof cell, &indicator), statement_,
          "SQLGetData");
    if (indicator == SQL_NULL_DATA) {
      store.SetNull(record, field);
    } else if (!StoreFixed(column.map, c_type, cell, store, record, field)) {
      NoteZeroDate(column);
    }
    return;
  }

  // Chunks until the driver reports the end of the value. Text chunks end in a
  // terminator that is not data; a surrogate pair split across chunks joins up in `value`.
  std::string value;
  alignas(8) char chunk[kGetDataChunk];
  const size_t room = DataRoom(c_type, sizeof chunk);
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = Check(SQLGetData(stmt, column.number, c_type, chunk, sizeof chunk, &indicator),
                         statement_, "SQLGetData");
    if (rc == SQL_NO_DATA) break;
    if (indicator == SQL_NULL_DATA) {
      store.SetNull(record, field);
      return;
    }
    size_t got =
        (indicator == SQL_NO_TOTAL || indicator < 0 || static_cast<size_t>(indicator) > room)
            ? room
            : static_cast<size_t>(indicator);
    value.append(chunk, got);
    if (rc == SQL_SUCCESS || got < room) break;
  }
  NoteReplaced(column, StoreVariable(column.map, c_type, value.data(), value.size(), store, record,
                                     field, text_));
}

int64_t CountResultRows(const OdbcHandle& statement) {
  SQLHSTMT stmt = statement.get();
  SQLSMALLINT count = 0;
  Check(SQLNumResultCols(stmt, &count), statement, "SQLNumResultCols");
  if (count <= 0)
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returned no rows");

  SQLULEN fetched = 0;
  const BindingReset reset(stmt);
  SQLULEN block = OdbcResultReader::kMaxBlockRows;
  SQLRETURN rc =
      Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                           reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(block)), 0),
            statement, "SQLSetStmtAttr(ROW_ARRAY_SIZE)");
  if (rc == SQL_SUCCESS_WITH_INFO) {
    Check(SQLGetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, &block, 0, nullptr), statement,
          "SQLGetStmtAttr(ROW_ARRAY_SIZE)");
  }
  Check(SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0), statement,
        "SQLSetStmtAttr(ROWS_FETCHED_PTR)");
  int64_t rows = 0;
  while (Check(SQLFetch(stmt), statement, "SQLFetch") != SQL_NO_DATA) {
    rows += static_cast<int64_t>(std::min(fetched, block));
  }
  return rows;
}

}  // namespace ado::odbc
