#include "db/SpoolCursor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/Error.h"
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

// Rows `from` to `to` (exclusive) of FillRow's table.
RecordStore Rows(size_t from, size_t to) {
  RecordStore block(kFields);
  for (size_t row = from; row < to; ++row) FillRow(block, row);
  return block;
}

// Fetches in blocks of changing sizes until the spool gives no more.
RecordStore FetchAll(SpoolCursor& spool) {
  RecordStore back(kFields);
  const size_t asks[] = {1, 999, 1234, 7};
  for (size_t i = 0; spool.FetchInto(back, asks[i % 4]) > 0; ++i) {
  }
  return back;
}

void ExpectRows(const RecordStore& back, size_t rows) {
  ASSERT_EQ(back.RecordCount(), rows);
  const RecordStore given = Rows(0, rows);
  for (size_t row = 0; row < rows; ++row) {
    for (size_t field = 0; field < kFields; ++field) {
      ASSERT_EQ(back.TypeAt(row, field), given.TypeAt(row, field)) << row << "," << field;
      EXPECT_TRUE(back.Get(row, field) == given.Get(row, field)) << row << "," << field;
    }
  }
}

// Whatever it holds in memory or in its file, the spool gives back every row as it was
// given, in order, in blocks of any size, and leaves no file behind; read after the
// writing or while it goes on.
TEST(SpoolCursor, GivesBackEveryRowAsGivenFromMemoryOrFile) {
  constexpr size_t kRows = 5000;
  for (const bool alongside : {false, true}) {
    for (const size_t memory : {SpoolCursor::kMemoryBytes, size_t{4096}, size_t{64}}) {
      SCOPED_TRACE(std::to_string(memory) + (alongside ? " read alongside" : ""));
      qv::test::TestFolder folder;
      SpoolCursor spool(std::vector<FieldDef>(kFields), folder.Path().string(), "spool", memory);
      const auto write = [&] {
        for (size_t start = 0; start < kRows; start += 1000)
          spool.Append(Rows(start, start + 1000));
        spool.Finish({"a warning"});
      };
      std::thread writer;
      if (alongside) {
        writer = std::thread(write);
      } else {
        write();
      }
      const RecordStore back = FetchAll(spool);
      if (writer.joinable()) writer.join();
      EXPECT_EQ(spool.RowCount(), kRows);
      EXPECT_EQ(spool.Warnings(), std::vector<std::string>{"a warning"});
      EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
      ExpectRows(back, kRows);
    }
  }
}

// A read that failed midway: the reader gets the rows before the failure, then the
// failure; a reader that lets go stops the writer.
TEST(SpoolCursor, FailureReachesTheReaderAfterTheRowsBeforeIt) {
  for (const size_t memory : {SpoolCursor::kMemoryBytes, size_t{4096}}) {
    SCOPED_TRACE(memory);
    qv::test::TestFolder folder;
    SpoolCursor spool(std::vector<FieldDef>(kFields), folder.Path().string(), "spool", memory);
    std::thread writer([&] {
      spool.Append(Rows(0, 2500));
      spool.Fail(std::make_exception_ptr(std::runtime_error("the server went away")));
    });
    RecordStore back(kFields);
    try {
      while (spool.FetchInto(back, 100) > 0) {
      }
      ADD_FAILURE() << "the failure was not thrown";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "the server went away");
    }
    writer.join();
    ExpectRows(back, 2500);
    EXPECT_THROW(spool.RowCount(), std::runtime_error);
  }
  SpoolCursor spool(std::vector<FieldDef>(kFields), ".", "spool");
  spool.Append(Rows(0, 10));
  spool.Abandon();
  EXPECT_THROW(spool.Append(Rows(10, 20)), core::Error);
}

}  // namespace
}  // namespace ado
