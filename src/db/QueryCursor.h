#pragma once

#include <cstddef>
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
  // (see Connection::TakeWarnings).
  virtual std::vector<std::string> Warnings() const = 0;
};

}  // namespace ado
