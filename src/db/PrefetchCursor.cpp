#include "db/PrefetchCursor.h"

#include <algorithm>
#include <utility>

#include "db/QuietThread.h"

namespace ado {

PrefetchCursor::PrefetchCursor(QueryCursor& source, size_t most_ahead)
    : source_(source), most_ahead_(most_ahead), ready_(source.Fields().size()) {}

PrefetchCursor::~PrefetchCursor() {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void PrefetchCursor::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || wanted_ > 0; });
    if (stopping_) return;
    const size_t rows = std::exchange(wanted_, 0);
    lock.unlock();
    RecordStore block(source_.Fields().size());
    std::exception_ptr failure;
    try {
      source_.FetchInto(block, rows);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    read_ = std::move(block);
    failure_ = failure;
    done_ = true;
    changed_.notify_all();
  }
}

void PrefetchCursor::StartRead(size_t rows) {
  if (!worker_.joinable()) {
    // Without a thread the next rows are read when they are asked for.
    worker_ = StartQuietThread([this] { Work(); });
    if (!worker_.joinable()) return;
  }
  {
    const std::lock_guard lock(mutex_);
    wanted_ = rows;
    in_flight_ = true;
    done_ = false;
  }
  changed_.notify_all();
}

void PrefetchCursor::Collect() {
  std::unique_lock lock(mutex_);
  if (!in_flight_) return;
  changed_.wait(lock, [this] { return done_; });
  in_flight_ = false;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  ready_ = std::exchange(read_, RecordStore(source_.Fields().size()));
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
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !in_flight_ || done_; });
  return source_.Warnings();
}

}  // namespace ado
