#include "db/sqlite/SqliteResultReader.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>

#include "core/Clock.h"
#include "core/Error.h"
#include "core/Text.h"
#include "db/CellStore.h"
#include "db/sqlite/SqliteDriverText.h"
#include "db/sqlite/SqliteStatement.h"
#include "xmlformat/FileValues.h"

namespace ado::sqlite {

namespace {

struct DeclaredType {
  int16_t sql_type = SQL_VARCHAR;
  bool is_unsigned = true;
};

// The driver's reading of a declared type, by its lower-case prefix.
DeclaredType SqlTypeOf(const std::string& type) {
  auto starts = [&](std::string_view prefix) { return type.starts_with(prefix); };
  DeclaredType d;
  bool whole = false;
  if (starts("inter")) {
    // INTERVAL and the like: text
  } else if (starts("int") || starts("mediumint")) {
    d.sql_type = SQL_INTEGER, whole = true;
  } else if (starts("numeric") || starts("float") || starts("double") || starts("real")) {
    d.sql_type = SQL_DOUBLE;
  } else if (starts("tinyint")) {
    d.sql_type = SQL_TINYINT, whole = true;
  } else if (starts("smallint")) {
    d.sql_type = SQL_SMALLINT, whole = true;
  } else if (starts("timestamp") || starts("datetime")) {
    d.sql_type = SQL_TYPE_TIMESTAMP;
  } else if (starts("time")) {
    d.sql_type = SQL_TYPE_TIME;
  } else if (starts("date")) {
    d.sql_type = SQL_TYPE_DATE;
  } else if (starts("text") || starts("memo") || starts("longvarchar")) {
    d.sql_type = SQL_LONGVARCHAR;
  } else if (starts("bool") || starts("bit")) {
    d.sql_type = SQL_BIT;
  } else if (starts("bigint")) {
    d.sql_type = SQL_BIGINT, whole = true;
  } else if (starts("blob")) {
    d.sql_type = SQL_BINARY;
  } else if (starts("varbinary")) {
    d.sql_type = SQL_VARBINARY;
  } else if (starts("longvarbinary")) {
    d.sql_type = SQL_LONGVARBINARY;
  }
  if (whole) d.is_unsigned = type.find("unsigned") != std::string::npos;
  return d;
}

uint64_t DefaultSize(int16_t sql_type) {
  switch (sql_type) {
    case SQL_INTEGER:
      return 10;
    case SQL_TINYINT:
      return 4;
    case SQL_SMALLINT:
      return 6;
    case SQL_BIGINT:
      return 20;
    case SQL_DOUBLE:
      return 54;
    case SQL_BIT:
      return 1;
    case SQL_TYPE_DATE:
      return 10;
    case SQL_TYPE_TIME:
      return 8;
    case SQL_TYPE_TIMESTAMP:
      return 32;
    case SQL_LONGVARCHAR:
    case SQL_LONGVARBINARY:
      return 65536;
    default:
      return 255;
  }
}

// The n of "TYPE(n)" or "TYPE(n,m)" when the declaration has one.
std::optional<int> SizeInParentheses(const char* declared) {
  const char* open = std::strchr(declared, '(');
  if (open == nullptr || open == declared) return std::nullopt;
  char* end = nullptr;
  const long n = std::strtol(open + 1, &end, 10);
  if (end == open + 1) return std::nullopt;
  return static_cast<int>(n);
}

const char* OrEmpty(const char* text) { return text == nullptr ? "" : text; }

}  // namespace

odbc::ColumnDescription DescribeColumn(sqlite3_stmt* stmt, int index) {
  odbc::ColumnDescription d;
  // The driver splits "table.column" labels and keeps the column part (after the
  // second dot when there are two), and leaves out base columns of expressions.
  std::string label = OrEmpty(sqlite3_column_name(stmt, index));
  if (size_t dot = label.find('.'); dot != std::string::npos) {
    if (size_t second = label.find('.', dot + 1); second != std::string::npos) dot = second;
    label.erase(0, dot + 1);
  }
  d.name = label;
  if (label.find_first_of("()") == std::string::npos) d.base_column = label;
  d.base_catalog = OrEmpty(sqlite3_column_database_name(stmt, index));
  d.base_table = OrEmpty(sqlite3_column_table_name(stmt, index));
  d.nullable = SQL_NULLABLE;  // the driver reports NOT NULL columns as nullable too

  const char* declared = sqlite3_column_decltype(stmt, index);
  const DeclaredType type = SqlTypeOf(core::FoldCase(declared == nullptr ? "varchar" : declared));
  d.sql_type = type.sql_type;
  d.is_unsigned = type.is_unsigned;
  d.column_size = DefaultSize(d.sql_type);
  if (declared != nullptr && d.sql_type != SQL_TYPE_TIMESTAMP) {
    if (auto size = SizeInParentheses(declared)) d.column_size = static_cast<uint64_t>(*size);
  }
  if (d.sql_type == SQL_VARCHAR && d.column_size > 255) d.sql_type = SQL_LONGVARCHAR;
  if (d.sql_type == SQL_VARBINARY && d.column_size > 255) d.sql_type = SQL_LONGVARBINARY;

  const char* origin = sqlite3_column_origin_name(stmt, index);
  if (origin != nullptr && !d.base_table.empty()) {
    int autoincrement = 0;
    if (sqlite3_table_column_metadata(sqlite3_db_handle(stmt), d.base_catalog.c_str(),
                                      d.base_table.c_str(), origin, nullptr, nullptr, nullptr,
                                      nullptr, &autoincrement) == SQLITE_OK) {
      d.auto_increment = autoincrement != 0;
    }
  }
  return d;
}

SqliteResultReader::SqliteResultReader(SqliteStatement& statement) : statement_(statement) {
  const int count = statement_.ColumnCount();
  if (count <= 0) {
    while (statement_.Step()) {
    }
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returned no rows");
  }
  columns_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    odbc::ColumnDescription d = DescribeColumn(statement_.get(), i);
    odbc::ForUnboundedValues(d);
    columns_.push_back(odbc::MapColumn(d));
  }
}

std::vector<FieldDef> SqliteResultReader::Fields() const {
  std::vector<FieldDef> fields;
  fields.reserve(columns_.size());
  for (const auto& column : columns_) fields.push_back(column.field);
  return fields;
}

void SqliteResultReader::ReadInto(RecordStore& store) {
  while (Fetch(store, std::numeric_limits<size_t>::max()) > 0) {
  }
}

size_t SqliteResultReader::Fetch(RecordStore& store, size_t max_rows) {
  if (row_ == 0 && !at_end_) {
    const core::LocalTime now = core::LocalNow();
    today_ = std::tm{};
    today_.tm_year = now.year - 1900;
    today_.tm_mon = now.month - 1;
    today_.tm_mday = now.day;
    replaced_.assign(columns_.size(), 0);
    first_replaced_.assign(columns_.size(), 0);
    wrong_kind_.assign(columns_.size(), 0);
    first_wrong_kind_.assign(columns_.size(), 0);
  }
  size_t stored = 0;
  while (stored < max_rows && !at_end_) {
    if (!statement_.Step()) {
      at_end_ = true;
      break;
    }
    const size_t record = store.AppendRecord();
    ++row_;
    for (size_t c = 0; c < columns_.size(); ++c) {
      try {
        StoreValue(columns_[c], static_cast<int>(c), store, record);
      } catch (const core::Error& error) {
        at_end_ = true;
        cells::RethrowForColumn(error, columns_[c].field.name, row_,
                                {store, record, c + 1, columns_.size(), [&](size_t rest) {
                                   StoreValue(columns_[rest], static_cast<int>(rest), store,
                                              record);
                                 }});
      }
    }
    ++stored;
  }
  return stored;
}

std::vector<std::string> SqliteResultReader::Warnings() const {
  std::vector<std::string> warnings;
  for (size_t c = 0; c < replaced_.size(); ++c) {
    if (replaced_[c] == 0) continue;
    warnings.push_back(FileTextWarning(columns_[c].field.name, first_replaced_[c], replaced_[c]));
  }
  for (size_t c = 0; c < wrong_kind_.size(); ++c) {
    if (wrong_kind_[c] == 0) continue;
    const bool number = columns_[c].kind == odbc::FetchKind::kSigned ||
                        columns_[c].kind == odbc::FetchKind::kDouble;
    warnings.push_back(
        "Column '" + columns_[c].field.name + "', row " + std::to_string(first_wrong_kind_[c]) +
        ": " + std::to_string(wrong_kind_[c]) + " value(s) were not " +
        (number ? "a number" : "a date or time") + ", though the column is declared as one; " +
        (number ? "they are written as null, or as the number the text begins with"
                : "they are written as null"));
  }
  return warnings;
}

const char* SqliteResultReader::DriverText(int index) {
  sqlite3_stmt* stmt = statement_.get();
  if (sqlite3_column_type(stmt, index) != SQLITE_BLOB) {
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
  }
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, index));
  const size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, index));
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  text_.assign("X'");
  for (size_t i = 0; i < size; ++i) {
    text_.push_back(kUpperHex[bytes[i] >> 4]);
    text_.push_back(kUpperHex[bytes[i] & 15]);
  }
  text_.push_back('\'');
  return text_.c_str();
}

void SqliteResultReader::StoreValue(const odbc::ColumnMapping& map, int index, RecordStore& store,
                                    size_t record) {
  sqlite3_stmt* stmt = statement_.get();
  const size_t field = static_cast<size_t>(index);
  const int storage = sqlite3_column_type(stmt, index);
  if (storage == SQLITE_NULL) {
    store.SetNull(record, field);
    return;
  }
  switch (map.kind) {
    case odbc::FetchKind::kSigned: {
      // Whole numbers are read from the driver's text, so 1.5 and '12x' give 1 and 12.
      std::optional<int64_t> value;
      if (storage == SQLITE_INTEGER) {
        value = sqlite3_column_int64(stmt, index);
      } else {
        const char* text = DriverText(index);
        value = DriverInteger(text);
        if (!IsNumberText(text, /*integer=*/true)) WrongKind(field);
      }
      if (!value) {
        store.SetNull(record, field);
      } else {
        store.SetInteger(record, field, map.var_type, *value);
      }
      return;
    }
    case odbc::FetchKind::kDouble: {
      std::optional<double> value;
      if (storage == SQLITE_FLOAT || storage == SQLITE_INTEGER) {
        value = sqlite3_column_double(stmt, index);
      } else {
        const char* text = DriverText(index);
        value = DriverDouble(text);
        if (!IsNumberText(text, /*integer=*/false)) WrongKind(field);
      }
      if (!value) {
        store.SetNull(record, field);
      } else {
        store.SetDouble(record, field, VarType::kR8, *value);
      }
      return;
    }
    case odbc::FetchKind::kBit:
      store.SetBool(record, field, DriverBool(DriverText(index)));
      return;
    case odbc::FetchKind::kText:
      if (storage == SQLITE_BLOB) {
        StoreText(store, record, field, DriverText(index));
      } else {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
        StoreText(store, record, field,
                  std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(stmt, index))));
      }
      return;
    case odbc::FetchKind::kBinary: {
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, index));
      const size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, index));
      store.SetBytes(record, field, std::span<const uint8_t>(bytes, size));
      return;
    }
    case odbc::FetchKind::kDate: {
      const auto date = DriverDateOf(DriverText(index));
      if (!date) break;
      Date::Parts parts;
      parts.year = date->year;
      parts.month = date->month;
      parts.day = date->day;
      StoreDate(store, record, field, parts);
      return;
    }
    case odbc::FetchKind::kTime: {
      const auto time = DriverTimeOf(DriverText(index));
      if (!time) break;
      Date::Parts parts;  // the time of day on day zero, as ADO keeps a DBTIME
      parts.hour = time->hour;
      parts.minute = time->minute;
      parts.second = time->second;
      StoreDate(store, record, field, parts);
      return;
    }
    case odbc::FetchKind::kTimestamp: {
      const auto ts = DriverTimestampOf(DriverText(index), today_);
      if (!ts) break;
      Date::Parts parts;
      parts.year = ts->year;
      parts.month = ts->month;
      parts.day = ts->day;
      parts.hour = ts->hour;
      parts.minute = ts->minute;
      parts.second = ts->second;
      parts.nanosecond = static_cast<int32_t>(ts->fraction);
      StoreDate(store, record, field, parts);
      return;
    }
    default:
      // The driver's types map to none of the other kinds.
      throw core::Error(core::kErrDataConversion, "ODBC", "The column's type cannot be read");
  }
  // A date or time the driver cannot read comes as null.
  WrongKind(field);
  store.SetNull(record, field);
}

void SqliteResultReader::WrongKind(size_t field) {
  if (wrong_kind_[field]++ == 0) first_wrong_kind_[field] = row_;
}

void SqliteResultReader::StoreText(RecordStore& store, size_t record, size_t field,
                                   std::string_view text) {
  text_file_.assign(text);
  if (const size_t replaced = SanitizeFileText(text_file_); replaced > 0) {
    if (replaced_[field]++ == 0) first_replaced_[field] = row_;
  }
  store.SetText(record, field, text_file_);
}

void SqliteResultReader::StoreDate(RecordStore& store, size_t record, size_t field,
                                   const Date::Parts& parts) {
  cells::StoreDate(store, record, field, columns_[field].field.type, parts);
}

}  // namespace ado::sqlite
