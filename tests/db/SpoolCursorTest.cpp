#include "db/SpoolCursor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestFolder.h"
#include "values/Decimal.h"

namespace ado {
namespace {

constexpr size_t kFields = 9;

// Row `row` of a table with a field of every kind a query gives, nulls interleaved
// (a different field each row) and empty texts and byte arrays now and then.
void FillRow(RecordStore& store, size_t row) {
  const size_t r = store.AppendRecord();
  const auto n = static_cast<int64_t>(row);
  store.SetInteger(r, 0, VarType::kI8, n * 7919 - 3);
  store.SetUnsigned(r, 1, UINT64_MAX - static_cast<uint64_t>(row));
  store.SetDouble(r, 2, VarType::kR8, static_cast<double>(n) / 3.0);
  store.SetCurrency(r, 3, Currency{n * 10001});
  store.SetDate(r, 4, Date{36526.0 + static_cast<double>(n) / 1440.0});
  store.SetBool(r, 5, row % 2 == 0);
  store.SetDecimal(r, 6, Decimal(Int128(n) * 1000000007, 4));
  store.SetText(r, 7, row % 11 == 0 ? "" : "row " + std::to_string(row) + " αβγ 中文 😀");
  const std::vector<uint8_t> bytes(row % 13, static_cast<uint8_t>(row));
  store.SetBytes(r, 8, bytes);
  store.SetNull(r, row % kFields);
}

// Whatever it holds in memory or in its file, the spool gives back every row as it was
// given, in order, in blocks of any size, and leaves no file behind.
TEST(SpoolCursor, GivesBackEveryRowAsGivenFromMemoryOrFile) {
  constexpr size_t kRows = 5000;
  for (const size_t memory : {SpoolCursor::kMemoryBytes, size_t{4096}}) {
    SCOPED_TRACE(memory);
    qv::test::TestFolder folder;
    RecordStore given(kFields);
    SpoolCursor spool(std::vector<FieldDef>(kFields), folder.Path().string(), "spool", memory);
    for (size_t start = 0; start < kRows; start += 1000) {
      RecordStore block(kFields);
      for (size_t row = start; row < start + 1000; ++row) {
        FillRow(block, row);
        FillRow(given, row);
      }
      spool.Append(block);
    }
    spool.Finish({"a warning"});
    EXPECT_EQ(spool.RowCount(), kRows);
    EXPECT_EQ(spool.Warnings(), std::vector<std::string>{"a warning"});
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));

    RecordStore back(kFields);
    const size_t asks[] = {1, 999, 1234, 7};
    for (size_t i = 0; spool.FetchInto(back, asks[i % 4]) > 0; ++i) {
    }
    ASSERT_EQ(back.RecordCount(), kRows);
    for (size_t row = 0; row < kRows; ++row) {
      for (size_t field = 0; field < kFields; ++field) {
        ASSERT_EQ(back.TypeAt(row, field), given.TypeAt(row, field)) << row << "," << field;
        EXPECT_TRUE(back.Get(row, field) == given.Get(row, field)) << row << "," << field;
      }
    }
  }
}

}  // namespace
}  // namespace ado
