#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "export/ExportContext.h"
#include "export/ResultFiles.h"
#include "shared/QvDataSource.h"

namespace qv {

// Modes 2 and 3: a rule's whole result in a number of parts, each written and uploaded.
class SplitExport {
 public:
  // One range of rows, both ends inclusive, numbered from 0.
  struct RowRange {
    int32_t from_row = 0;
    int32_t to_row = -1;
    friend bool operator==(const RowRange&, const RowRange&) = default;
  };

  SplitExport(ExportContext& context, ResultFiles& results)
      : context_(context), results_(results) {}

  // Exports the query's result as `parts` files, target_path + "_0" to "_<parts-1>",
  // each holding an equal share of the rows (the last ones fewer or none) and each
  // written and uploaded before the next is read. When the rows cannot be counted or
  // `parts` is not positive, no part is exported.
  void ExportSplit(const std::string& sql, const std::shared_ptr<QvDataSource>& data_source,
                   const std::string& target_path, const std::string& upload_folder, int32_t parts);

  // `total` rows in `parts` ranges of ceil(total / parts) rows each, from row 0 on; ranges
  // past the end ask for rows that are not there. Throws core::Error 5 when `parts` is
  // not positive and 6 when a row number overflows.
  static std::vector<RowRange> SplitIntoRanges(int32_t total, int32_t parts);

 private:
  ExportContext& context_;
  ResultFiles& results_;
};

}  // namespace qv
