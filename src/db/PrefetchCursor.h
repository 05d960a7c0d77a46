#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/QueryCursor.h"

namespace ado {

// A cursor that reads the next rows of `source` on a second thread while the caller
// works on the rows it was given: the database's and the driver's time overlaps the
// caller's. It reads ahead as many rows as the caller last asked for, at most
// `most_ahead`; the rows come in the source's order and count, whatever the caller asks.
// The source is used by one thread at a time and must outlive the cursor.
class PrefetchCursor : public QueryCursor {
 public:
  explicit PrefetchCursor(QueryCursor& source, size_t most_ahead = SIZE_MAX);
  // Waits for a read in flight (its rows and failure are dropped) and ends the thread.
  ~PrefetchCursor() override;
  PrefetchCursor(const PrefetchCursor&) = delete;
  PrefetchCursor& operator=(const PrefetchCursor&) = delete;

  const std::vector<FieldDef>& Fields() const override { return source_.Fields(); }
  // A failure of the read ahead is thrown here, by the call that wants its rows.
  size_t FetchInto(RecordStore& store, size_t max_rows) override;
  std::vector<std::string> Warnings() const override;

 private:
  // Takes the read in flight as the rows ready; rethrows its failure.
  void Collect();
  void StartRead(size_t rows);
  void Work();

  QueryCursor& source_;
  size_t most_ahead_;
  RecordStore ready_;
  size_t ready_next_ = 0;  // the first row of ready_ not handed out
  bool source_ended_ = false;

  // The reading thread, started on the first read ahead; the fields below are shared
  // with it under mutex_.
  std::thread worker_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  size_t wanted_ = 0;       // rows of the read asked for and not yet begun
  bool in_flight_ = false;  // a read was asked for and its result not yet taken
  bool done_ = false;       // its result (read_ or failure_) is there
  bool stopping_ = false;
  RecordStore read_;
  std::exception_ptr failure_;
};

}  // namespace ado
