#include "db/PrefetchCursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/Error.h"

namespace ado {
namespace {

// Rows 0, 1, 2 ... `count` - 1 in one integer field and one text field (null on every
// seventh row); fails with the read that would reach row `fail_at`.
class CountingCursor : public QueryCursor {
 public:
  CountingCursor(size_t count, size_t fail_at = SIZE_MAX) : count_(count), fail_at_(fail_at) {
    FieldDef number;
    number.name = "n";
    number.type = adBigInt;
    FieldDef text;
    text.name = "t";
    text.type = adVarWChar;
    fields_ = {number, text};
  }
  const std::vector<FieldDef>& Fields() const override { return fields_; }
  size_t FetchInto(RecordStore& store, size_t max_rows) override {
    const size_t rows = std::min(max_rows, count_ - next_);
    if (next_ + rows > fail_at_) throw core::Error(core::kErrOverflow, "test", "row failed");
    for (size_t i = 0; i < rows; ++i, ++next_) {
      const size_t record = store.AppendRecord();
      store.SetInteger(record, 0, VarType::kI8, static_cast<int64_t>(next_));
      if (next_ % 7 == 0) {
        store.SetNull(record, 1);
      } else {
        store.SetText(record, 1, "row " + std::to_string(next_));
      }
    }
    return rows;
  }
  std::vector<std::string> Warnings() const override { return {}; }

 private:
  std::vector<FieldDef> fields_;
  size_t count_;
  size_t fail_at_;
  size_t next_ = 0;
};

// Whatever the caller asks for, and however far ahead it reads, every call gets the
// next rows of the source, as many as it asked for until the end, values intact.
TEST(PrefetchCursor, GivesTheSourceRowsInOrderWhateverTheCountsAsked) {
  struct Case {
    std::vector<size_t> asks;  // repeated until the end
    size_t most_ahead;
  };
  for (const Case& c : std::vector<Case>{{{1000}, SIZE_MAX},
                                         {{1000, 7, 2500, 1}, SIZE_MAX},
                                         {{3000}, 1000},
                                         {{1, 999, 1000}, 100}}) {
    CountingCursor source(4321);
    PrefetchCursor ahead(source, c.most_ahead);
    size_t next = 0;
    for (size_t call = 0;; ++call) {
      const size_t ask = c.asks[call % c.asks.size()];
      RecordStore store(2);
      const size_t got = ahead.FetchInto(store, ask);
      ASSERT_EQ(got, std::min(ask, 4321 - next)) << "call " << call;
      ASSERT_EQ(store.RecordCount(), got);
      for (size_t r = 0; r < got; ++r, ++next) {
        ASSERT_EQ(store.IntAt(r, 0), static_cast<int64_t>(next));
        ASSERT_EQ(store.TypeAt(r, 1) == VarType::kNull, next % 7 == 0) << next;
      }
      if (got == 0) break;
    }
    EXPECT_EQ(next, 4321u);
  }
}

// A failure of the read ahead reaches the call that wants those rows, not an earlier one.
TEST(PrefetchCursor, AFailedReadAheadIsThrownByTheCallThatWantsItsRows) {
  CountingCursor source(5000, 2500);
  PrefetchCursor ahead(source);
  RecordStore first(2), second(2), third(2);
  EXPECT_EQ(ahead.FetchInto(first, 1000), 1000u);
  EXPECT_EQ(ahead.FetchInto(second, 1000), 1000u);
  EXPECT_THROW(ahead.FetchInto(third, 1000), core::Error);
}

}  // namespace
}  // namespace ado
