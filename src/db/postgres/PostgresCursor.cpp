#include "db/postgres/PostgresCursor.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "core/Error.h"
#include "core/Text.h"
#include "db/CellStore.h"
#include "db/CursorQuery.h"
#include "db/postgres/PostgresColumns.h"
#include "db/postgres/PostgresText.h"
#include "xmlformat/FileValues.h"
#include "xmlformat/XmlValueText.h"

namespace ado::postgres {

namespace {

// Rows per FETCH after the first block, and FETCHes in flight at a time.
constexpr int kPipelinedRows = 2000;
constexpr int kInFlight = 2;

[[noreturn]] void Unreadable(std::string_view what, std::string_view text) {
  throw core::Error(
      core::kErrDataConversion, "ODBC",
      "The server's " + std::string(what) + " '" + std::string(text) + "' cannot be read");
}

template <typename T>
T Whole(std::string_view text) {
  // Up to 18 digits cannot overflow: those are read here, longer ones by from_chars.
  const bool negative = std::is_signed_v<T> && !text.empty() && text[0] == '-';
  const std::string_view digits = text.substr(negative ? 1 : 0);
  if (!digits.empty() && digits.size() <= 18 &&
      std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    T number = 0;
    for (const char c : digits) number = static_cast<T>(number * 10 + static_cast<T>(c - '0'));
    return negative ? static_cast<T>(-number) : number;
  }
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) Unreadable("number", text);
  return value;
}

double Floating(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) Unreadable("number", text);
  return value;
}

float Single(std::string_view text) {
  const std::optional<float> value = xml::ParseSingle(text);
  if (!value) Unreadable("number", text);
  return *value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// bytea's text: hex ("\x00ff") or, from servers set to it, the escape format.
std::vector<uint8_t> ByteaValue(const char* text, size_t length) {
  std::vector<uint8_t> bytes;
  if (length >= 2 && text[0] == '\\' && text[1] == 'x') {
    bytes.reserve((length - 2) / 2);
    for (size_t i = 2; i + 1 < length; i += 2) {
      const int high = HexDigit(text[i]);
      const int low = HexDigit(text[i + 1]);
      if (high < 0 || low < 0) Unreadable("bytea", std::string_view(text, length));
      bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
  }
  size_t size = 0;
  unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
  if (raw == nullptr) Unreadable("bytea", std::string_view(text, length));
  bytes.assign(raw, raw + size);
  PQfreemem(raw);
  return bytes;
}

}  // namespace

PostgresCursor::PostgresCursor(PostgresSession& session, const PostgresOptions& options,
                               std::string_view sql, int32_t timeout)
    : session_(session), fetch_rows_(options.fetch_rows) {
  const auto lock = session_.Lock();
  session_.SetTimeout(timeout);
  bool whole = !CursorCanHold(sql);
  if (!whole) {
    session_.OpenCursor();
    cursor_ = session_.NextCursorName();
    try {
      session_.Run("DECLARE " + cursor_ + " NO SCROLL CURSOR FOR " + std::string(sql));
    } catch (const core::Error& error) {
      session_.CloseCursor(true);
      cursor_.clear();
      // A WITH that changes data cannot be a cursor's; it runs as a statement.
      if (error.record().description.rfind("[0A000] ", 0) != 0) throw;
      whole = true;
    }
  }
  if (whole) {
    PgResult result = session_.Run(std::string(sql));
    if (PQnfields(result.get()) == 0)
      throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returned no rows");
    blocks_.push_back(std::move(result));
    fetched_all_ = true;
  } else {
    try {
      FetchFirst();
    } catch (...) {
      session_.CloseCursor(true);
      throw;
    }
  }
  if (PQnfields(blocks_.front().get()) == 0) {
    if (!cursor_.empty()) session_.CloseCursor(false);
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returned no rows");
  }
  Describe(blocks_.front().get(), options.unicode);
  TakeNotices();
}

void PostgresCursor::TakeNotices() {
  for (std::string& notice : session_.TakeNotices()) notices_.push_back(std::move(notice));
}

PostgresCursor::~PostgresCursor() {
  if (cursor_.empty()) return;
  const auto lock = session_.Lock();
  if (pipelined_) EndPipeline();
  if (!failed_ && PQstatus(session_.get()) == CONNECTION_OK) {
    PQclear(PQexec(session_.get(), ("CLOSE " + cursor_).c_str()));
  }
  session_.CloseCursor(failed_);
}

void PostgresCursor::FetchFirst() {
  PgResult block;
  try {
    block = session_.Run("FETCH FORWARD " + std::to_string(fetch_rows_) + " FROM " + cursor_,
                         PGRES_TUPLES_OK);
  } catch (const core::Error&) {
    failed_ = true;
    fetched_all_ = true;
    throw;
  }
  if (static_cast<size_t>(PQntuples(block.get())) < fetch_rows_) fetched_all_ = true;
  blocks_.push_back(std::move(block));
}

bool PostgresCursor::FetchBlock() {
  if (!pending_error_.empty()) {
    throw core::Error(core::kErrProvider, "ODBC", std::exchange(pending_error_, {}));
  }
  if (fetched_all_) return false;
  if (session_.CurrentPipeline() != nullptr && session_.CurrentPipeline() != this) {
    session_.CurrentPipeline()->Settle();
  }
  if (!pipelined_) {
    if (PQenterPipelineMode(session_.get()) != 1) session_.Fail(nullptr);
    pipelined_ = true;
    session_.SetPipeline(this);
    while (in_flight_ < kInFlight && !sends_ended_) SendFetch();
  }
  PgResult block = TakeInFlight();
  if (PQresultStatus(block.get()) != PGRES_TUPLES_OK) {
    failed_ = true;
    fetched_all_ = true;
    std::string message;
    try {
      session_.Fail(block.get());
    } catch (const core::Error& error) {
      message = error.record().description;
    }
    EndPipeline();
    throw core::Error(core::kErrProvider, "ODBC", message);
  }
  const int rows = PQntuples(block.get());
  if (rows < kPipelinedRows) {
    sends_ended_ = true;
    fetched_all_ = true;
    EndPipeline();
  } else if (!sends_ended_) {
    SendFetch();
  }
  if (rows == 0) return false;
  blocks_.push_back(std::move(block));
  return true;
}

void PostgresCursor::SendFetch() {
  const std::string sql = "FETCH FORWARD " + std::to_string(kPipelinedRows) + " FROM " + cursor_;
  PGconn* connection = session_.get();
  if (PQsendQueryParams(connection, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) != 1 ||
      PQsendFlushRequest(connection) != 1 || PQflush(connection) != 0) {
    failed_ = true;
    fetched_all_ = true;
    session_.Fail(nullptr);
  }
  ++in_flight_;
}

PgResult PostgresCursor::TakeInFlight() {
  PgResult result(PQgetResult(session_.get()));
  // Each query's results end with a null one.
  while (PGresult* more = PQgetResult(session_.get())) PQclear(more);
  --in_flight_;
  return result;
}

void PostgresCursor::Settle() {
  while (in_flight_ > 0 && pending_error_.empty()) {
    PgResult block = TakeInFlight();
    if (PQresultStatus(block.get()) != PGRES_TUPLES_OK) {
      failed_ = true;
      fetched_all_ = true;
      try {
        session_.Fail(block.get());
      } catch (const core::Error& error) {
        pending_error_ = error.record().description;
      }
      break;
    }
    if (PQntuples(block.get()) < kPipelinedRows) sends_ended_ = fetched_all_ = true;
    if (PQntuples(block.get()) > 0) blocks_.push_back(std::move(block));
  }
  EndPipeline();
}

void PostgresCursor::EndPipeline() noexcept {
  PGconn* connection = session_.get();
  session_.SetPipeline(nullptr);
  pipelined_ = false;
  for (; in_flight_ > 0; --in_flight_) {
    if (PQstatus(connection) != CONNECTION_OK) break;
    while (PGresult* result = PQgetResult(connection)) PQclear(result);
  }
  in_flight_ = 0;
  if (PQstatus(connection) == CONNECTION_OK && PQpipelineSync(connection) == 1) {
    for (;;) {
      PGresult* result = PQgetResult(connection);
      if (result == nullptr) {
        if (PQstatus(connection) != CONNECTION_OK) break;
        continue;
      }
      const bool synced = PQresultStatus(result) == PGRES_PIPELINE_SYNC;
      PQclear(result);
      if (synced) break;
    }
  }
  PQexitPipelineMode(connection);
}

void PostgresCursor::Describe(const PGresult* first, bool unicode) {
  const int count = PQnfields(first);
  std::vector<uint32_t> tables;
  for (int i = 0; i < count; ++i) {
    if (PQftable(first, i) != InvalidOid) tables.push_back(PQftable(first, i));
  }
  session_.LoadTables(tables);
  columns_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    PgColumn c;
    c.name = PQfname(first, i);
    c.type = PQftype(first, i);
    c.typmod = PQfmod(first, i);
    if (const TableColumn* t = session_.Column(PQftable(first, i), PQftablecol(first, i))) {
      c.table = PQftable(first, i);
      c.catalog = session_.Database();
      c.schema = t->schema;
      c.table_name = t->table;
      c.column_name = t->column;
      c.not_null = t->not_null;
      c.auto_increment = t->auto_increment;
    }
    if (SizedFromValues(c)) {
      // psqlODBC sizes these from the values of the first block it reads.
      c.longest = 0;
      for (int row = 0; row < PQntuples(first); ++row) {
        if (PQgetisnull(first, row, i)) continue;
        const int length = PQgetlength(first, row, i);
        c.longest = std::max<int64_t>(c.longest, length);
        if (c.type != kNumeric) continue;
        const char* text = PQgetvalue(first, row, i);
        if (const char* point = std::strchr(text, '.')) {
          c.max_scale = std::max(c.max_scale, static_cast<int32_t>(text + length - point - 1));
        }
      }
    }
    Column& column = columns_[static_cast<size_t>(i)];
    column.map = odbc::MapColumn(DescribeAsPsqlodbc(c), unicode);
    column.type = c.type;
    fields_.push_back(column.map.field);
  }
}

size_t PostgresCursor::FetchInto(RecordStore& store, size_t max_rows) {
  size_t stored = 0;
  while (stored < max_rows) {
    // Another thread's statement may settle the read ahead into blocks_ meanwhile; the
    // block taken stays where it is until this reader drops it.
    const PGresult* block = nullptr;
    {
      const auto lock = session_.Lock();
      TakeNotices();
      if (!blocks_.empty() && next_row_ >= PQntuples(blocks_.front().get())) {
        blocks_.pop_front();
        next_row_ = 0;
      }
      if (blocks_.empty() && !FetchBlock()) break;
      block = blocks_.front().get();
    }
    const int rows = PQntuples(block);
    for (; next_row_ < rows && stored < max_rows; ++next_row_, ++stored) {
      const size_t record = store.AppendRecord();
      ++row_;
      for (size_t f = 0; f < columns_.size(); ++f) {
        const int field = static_cast<int>(f);
        // Only an empty value can be null.
        const int length = PQgetlength(block, next_row_, field);
        if (length == 0 && PQgetisnull(block, next_row_, field)) {
          store.SetNull(record, f);
          continue;
        }
        try {
          StoreValue(columns_[f], PQgetvalue(block, next_row_, field), static_cast<size_t>(length),
                     store, record, f);
        } catch (const core::Error& error) {
          cells::RethrowForColumn(error, columns_[f].map.field.name, row_,
                                  {store, record, f + 1, columns_.size(), [&](size_t rest) {
                                     const int at = static_cast<int>(rest);
                                     if (PQgetisnull(block, next_row_, at)) {
                                       store.SetNull(record, rest);
                                       return;
                                     }
                                     StoreValue(
                                         columns_[rest], PQgetvalue(block, next_row_, at),
                                         static_cast<size_t>(PQgetlength(block, next_row_, at)),
                                         store, record, rest);
                                   }});
        }
      }
    }
  }
  return stored;
}

void PostgresCursor::StoreValue(Column& column, const char* text, size_t length, RecordStore& store,
                                size_t record, size_t field) {
  const std::string_view value(text, length);
  const odbc::ColumnMapping& map = column.map;
  switch (map.kind) {
    case odbc::FetchKind::kSigned:
      cells::StoreInteger(store, record, field, map.var_type, Whole<int64_t>(value));
      return;
    case odbc::FetchKind::kUnsigned:
      cells::StoreUnsigned(store, record, field, map.var_type, Whole<uint64_t>(value));
      return;
    case odbc::FetchKind::kReal:
      store.SetDouble(record, field, VarType::kR4, static_cast<double>(Single(value)));
      return;
    case odbc::FetchKind::kDouble: {
      std::optional<double> number;
      if (column.type == kMoney) {
        number = MoneyValue(value);
        if (!number) Unreadable("money", value);
      } else {
        number = Floating(value);
      }
      store.SetDouble(record, field, VarType::kR8, *number);
      return;
    }
    case odbc::FetchKind::kBit:
      store.SetBool(record, field, length > 0 && (text[0] == 't' || text[0] == '1'));
      return;
    case odbc::FetchKind::kDecimal:
      cells::StoreDecimal(store, record, field, value);
      return;
    case odbc::FetchKind::kTimestamp:
    case odbc::FetchKind::kDate:
    case odbc::FetchKind::kTime: {
      std::optional<Date::Parts> parts;
      if (column.type == kDate) {
        parts = DateParts(value);
      } else if (column.type == kTime) {
        parts = TimeParts(value);
      } else {
        parts = TimestampParts(value);
      }
      if (!parts) Unreadable("date or time", value);
      cells::StoreDate(store, record, field, map.field.type, *parts);
      return;
    }
    case odbc::FetchKind::kText:
    case odbc::FetchKind::kGuid: {
      if (map.kind == odbc::FetchKind::kText && IsFileText(value)) {
        store.SetText(record, field, value);
        return;
      }
      size_t replaced = cells::CheckedUtf8(text, length, text_);
      replaced += SanitizeFileText(text_);
      if (replaced > 0 && column.replaced++ == 0) column.first_replaced = row_;
      if (map.kind == odbc::FetchKind::kGuid) cells::GuidText(text_);
      store.SetText(record, field, text_);
      return;
    }
    case odbc::FetchKind::kBinary: {
      const std::vector<uint8_t> bytes = ByteaValue(text, length);
      store.SetBytes(record, field, std::span<const uint8_t>(bytes.data(), bytes.size()));
      return;
    }
  }
  throw core::Error(core::kErrDataConversion, "ODBC", "The column's type cannot be read");
}

std::vector<std::string> PostgresCursor::Warnings() const {
  std::vector<std::string> warnings;
  for (const Column& column : columns_) {
    if (column.replaced == 0) continue;
    warnings.push_back(
        FileTextWarning(column.map.field.name, column.first_replaced, column.replaced));
  }
  warnings.insert(warnings.end(), notices_.begin(), notices_.end());
  return warnings;
}

}  // namespace ado::postgres
