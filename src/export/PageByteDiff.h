#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ado/Recordset.h"
#include "export/ExportContext.h"
#include "export/LastDataStore.h"
#include "export/ResultFiles.h"
#include "shared/QvDataSource.h"

namespace qv {

class CQvFileSystem;
class CQVFileXfer;

// Modes 5 and 6: the query in pages of a fixed number of rows, each page uploaded only
// when its file differs byte for byte from its last data.
class PageByteDiff {
 public:
  PageByteDiff(ExportContext& context, ResultFiles& results, LastDataStore& last)
      : context_(context), results_(results), last_(last) {}

  // Writes the query in pages of `page_size` rows, each page to result path +
  // "_start-end.xml", and uploads a page (left in place) only when it differs byte for
  // byte from its last data. A page becomes its own last data when it did not differ or
  // was delivered. Last data of pages past the end is left alone.
  void Export_EntGrpDiff_BinDiff(const std::string& sql,
                                 const std::shared_ptr<QvDataSource>& data_source,
                                 const std::string& result_path, const std::string& import_rule,
                                 int32_t page_size);

 private:
  // Writes one page and sends it when it differs from its last data; whether it becomes
  // its own last data. Sets `line` to the step it is in.
  bool WriteAndSendIfChanged(const std::shared_ptr<ado::Recordset>& rows,
                             const std::string& page_file, const std::string& import_rule,
                             CQVFileXfer& transfer, CQvFileSystem& file_system, int& line);

  ExportContext& context_;
  ResultFiles& results_;
  LastDataStore& last_;
};

}  // namespace qv
