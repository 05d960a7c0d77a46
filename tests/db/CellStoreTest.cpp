#include "db/CellStore.h"

#include <gtest/gtest.h>

#include <vector>

#include "values/AdoEnums.h"
#include "xmlformat/FileValues.h"

namespace ado {
namespace {

// Whole seconds skip the file's text; every value must still store as FileDate.
TEST(CellStore, DatesStoreAsTheFileReadsThemBack) {
  std::vector<Date::Parts> values = {
      {100, 1, 1, 0, 0, 0, 0},          {1899, 12, 29, 23, 59, 59, 0},
      {1899, 12, 30, 0, 0, 0, 0},       {1899, 12, 30, 0, 0, 1, 0},
      {1900, 2, 28, 12, 0, 0, 0},       {2023, 11, 14, 22, 13, 20, 0},
      {9999, 12, 31, 23, 59, 59, 0},    {2024, 2, 29, 13, 14, 15, 123456000},
      {1899, 12, 29, 12, 0, 0, 500000}, {9999, 12, 31, 23, 59, 59, 999999999},
  };
  // A spread of whole seconds over the whole range, both sides of 1899-12-30.
  for (int64_t i = 0; i < 20000; ++i) {
    const int64_t second = i * 7919 * 86399;
    values.push_back({static_cast<int>(100 + i * 9899 / 20000), static_cast<int>(1 + i % 12),
                      static_cast<int>(1 + i % 28), static_cast<int>(second / 3600 % 24),
                      static_cast<int>(second / 60 % 60), static_cast<int>(second % 60), 0});
  }
  const int32_t types[] = {adDBTimeStamp, adDate, adDBDate, adDBTime};
  RecordStore store(std::size(types));
  for (const Date::Parts& parts : values) {
    const size_t record = store.AppendRecord();
    for (size_t f = 0; f < std::size(types); ++f) {
      cells::StoreDate(store, record, f, types[f], parts);
      ASSERT_EQ(store.Get(record, f).AsDate(), FileDate(Date::FromParts(parts), types[f]))
          << parts.year << "-" << parts.month << "-" << parts.day << " " << parts.hour << ":"
          << parts.minute << ":" << parts.second << "." << parts.nanosecond << " type " << types[f];
    }
  }
}

}  // namespace
}  // namespace ado
