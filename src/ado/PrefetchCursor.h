#pragma once

#include <cstddef>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "ado/QueryCursor.h"

namespace ado {

// A cursor that reads the next rows of `source` on a second thread while the caller
// works on the rows it was given: the database's and the driver's time overlaps the
// caller's. It reads ahead as many rows as the caller last asked for, at most
// `most_ahead`; the rows come in the source's order and count, whatever the caller asks.
// The source is used by one thread at a time and must outlive the cursor.
class PrefetchCursor : public QueryCursor {
 public:
  explicit PrefetchCursor(QueryCursor& source, size_t most_ahead = SIZE_MAX);
  // Waits for a read in flight; its rows and failure are dropped.
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

  QueryCursor& source_;
  size_t most_ahead_;
  mutable std::future<RecordStore> in_flight_;
  RecordStore ready_;
  size_t ready_next_ = 0;  // the first row of ready_ not handed out
  bool source_ended_ = false;
};

}  // namespace ado
