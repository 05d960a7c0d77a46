#include "db/QueryCursor.h"

#include <algorithm>
#include <utility>

#include "core/Error.h"

namespace ado {

int64_t CopyBlocks(QueryCursor& cursor, const std::function<void(const RecordStore&)>& take,
                   int64_t rows, const std::string& context) {
  int64_t copied = 0;
  while (copied < rows) {
    RecordStore block(cursor.Fields().size());
    const auto wanted = static_cast<size_t>(std::min<int64_t>(kBlockRows, rows - copied));
    size_t got = 0;
    try {
      got = cursor.FetchInto(block, wanted);
    } catch (const core::Error& e) {
      if (context.empty()) throw;
      core::ErrorRecord record = e.record();
      record.description = context + record.description;
      throw core::Error(std::move(record));
    }
    if (got == 0) break;
    take(block);
    copied += static_cast<int64_t>(got);
  }
  return copied;
}

}  // namespace ado
