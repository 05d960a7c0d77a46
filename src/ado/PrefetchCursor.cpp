#include "ado/PrefetchCursor.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace ado {

PrefetchCursor::PrefetchCursor(QueryCursor& source, size_t most_ahead)
    : source_(source), most_ahead_(most_ahead), ready_(source.Fields().size()) {}

PrefetchCursor::~PrefetchCursor() {
  if (!in_flight_.valid()) return;
  try {
    in_flight_.get();
  } catch (...) {  // NOLINT(bugprone-empty-catch): nobody wants these rows any more
  }
}

void PrefetchCursor::StartRead(size_t rows) {
  try {
    in_flight_ = std::async(std::launch::async, [this, rows] {
      RecordStore block(source_.Fields().size());
      source_.FetchInto(block, rows);
      return block;
    });
  } catch (const std::system_error&) {
    // No thread to spare: the next rows are read when they are asked for.
  }
}

void PrefetchCursor::Collect() {
  if (!in_flight_.valid()) return;
  ready_ = in_flight_.get();
  ready_next_ = 0;
  if (ready_.RecordCount() == 0) source_ended_ = true;
}

size_t PrefetchCursor::FetchInto(RecordStore& store, size_t max_rows) {
  if (max_rows == 0) return 0;
  Collect();
  size_t given = 0;
  const size_t ready = ready_.RecordCount() - ready_next_;
  if (ready > 0 && ready_next_ == 0 && ready <= max_rows && store.RecordCount() == 0) {
    // The usual case: the block read ahead is what was asked for.
    store = std::exchange(ready_, RecordStore(source_.Fields().size()));
    given = ready;
  } else {
    // The caller asked for another count: the rows go over one at a time.
    const size_t count = std::min(ready, max_rows);
    for (size_t i = ready_next_; i < ready_next_ + count; ++i) {
      const size_t record = store.AppendRecord(ready_.Status(i));
      for (size_t field = 0; field < store.FieldCount(); ++field) {
        store.Set(record, field, ready_.Get(i, field));
      }
    }
    ready_next_ += count;
    given = count;
  }
  if (given < max_rows && !source_ended_) {
    const size_t got = source_.FetchInto(store, max_rows - given);
    if (got == 0) source_ended_ = true;
    given += got;
  }
  if (!source_ended_ && ready_next_ == ready_.RecordCount())
    StartRead(std::min(max_rows, most_ahead_));
  return given;
}

std::vector<std::string> PrefetchCursor::Warnings() const {
  // The rows read ahead count too: they have been read.
  if (in_flight_.valid()) in_flight_.wait();
  return source_.Warnings();
}

}  // namespace ado
