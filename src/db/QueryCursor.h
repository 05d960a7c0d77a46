#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "values/FieldDef.h"
#include "values/RecordStore.h"

namespace ado {

// A forward-only read of one query's result, for exports that write or compare the
// rows a block at a time instead of holding the whole result. Owns its statement; the
// connection that opened it must stay open while it lives.
class QueryCursor {
 public:
  virtual ~QueryCursor() = default;

  // ADO's field definitions of the result, as Connection::Query gives them.
  virtual const std::vector<FieldDef>& Fields() const = 0;
  // Appends up to `max_rows` of the next rows to `store` (whose field count matches
  // Fields()); returns how many it appended, 0 only at the end of the result. Throws
  // core::Error as Connection::Query does.
  virtual size_t FetchInto(RecordStore& store, size_t max_rows) = 0;
  // What the rows read so far changed to fit a recordset file, one text per column
  // (see Connection::TakeWarnings), and what the server said meanwhile where the back
  // end hears it (PostgreSQL's notices), one text each.
  virtual std::vector<std::string> Warnings() const = 0;
};

// Rows read from a query, and written or handed on, at a time.
inline constexpr size_t kBlockRows = 1000;

// Reads up to `rows` of the rows left in `cursor` (all of them by default) a block of
// kBlockRows at a time, and hands each block to `take`. Returns the rows read. What
// `take` throws passes through; a failed read is rethrown with `context` before its
// description when `context` is not empty.
int64_t CopyBlocks(QueryCursor& cursor, const std::function<void(const RecordStore&)>& take,
                   int64_t rows = INT64_MAX, const std::string& context = {});

}  // namespace ado
