#include "export/QueryPager.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <utility>

#include "db/QuietThread.h"
#include "export/ExportContext.h"
#include "export/RuleSql.h"
#include "values/AdoEnums.h"

namespace qv {

std::shared_ptr<ado::Recordset> NewResultRecordset(const std::string& sql) {
  auto rs = std::make_shared<ado::Recordset>();
  rs->SetCursorLocation(ado::adUseClient);
  rs->SetCursorType(ado::adOpenStatic);
  rs->SetLockType(ado::adLockBatchOptimistic);
  rs->SetSource(sql);
  return rs;
}

void CheckPageSize(int32_t page_size) {
  if (page_size <= 0) {
    throw core::Error(core::kErrInvalidProcedureCall, kExporterClass,
                      "a page needs at least one row, not " + std::to_string(page_size));
  }
}

PageRows PageAt(int64_t start, int32_t page_size) {
  // The start lies below the end: the end fitting is enough.
  const int32_t end = CheckedRowNumber(start + page_size - 1);
  return {static_cast<int32_t>(start), end};
}

QueryPager::QueryPager(std::shared_ptr<ado::Connection> connection, const std::string& sql,
                       const std::string& spool_for)
    : connection_(std::move(connection)), sql_(WithRowOrder(sql)) {
  if (!connection_) throw core::Error(core::kErrObjectRequired, "QueryPager", "no connection");
  cursor_ = connection_->OpenCursor(sql_);
  Start(spool_for);
}

QueryPager::QueryPager(std::shared_ptr<ado::Connection> connection, const std::string& sql,
                       std::unique_ptr<ado::QueryCursor> cursor, const std::string& spool_for)
    : connection_(std::move(connection)), sql_(sql), cursor_(std::move(cursor)) {
  if (!cursor_) throw core::Error(core::kErrObjectRequired, "QueryPager", "no query");
  Start(spool_for);
}

void QueryPager::Start(const std::string& spool_for) {
  if (!spool_for.empty()) return SpoolFor(spool_for);
  ahead_ = std::make_unique<ado::PrefetchCursor>(*cursor_, ado::kBlockRows);
}

QueryPager::~QueryPager() {
  if (!reading_.joinable()) return;
  spool_->Abandon();
  reading_.join();
}

ado::QueryCursor& QueryPager::Rows() const {
  if (spool_) return *spool_;
  return *ahead_;
}

std::optional<int64_t> QueryPager::TotalRows() const {
  if (!spool_) return std::nullopt;
  return static_cast<int64_t>(spool_->RowCount());
}

void QueryPager::SpoolFor(const std::string& result_file) {
  spool_ = std::make_unique<ado::SpoolCursor>(
      cursor_->Fields(), std::filesystem::path(result_file).parent_path().string(),
      result_file + " (its query read out)");
  reading_ = ado::StartQuietThread([this] { ReadOut(); });
  if (!reading_.joinable()) ReadOut();  // no thread to spare: read out first
}

void QueryPager::ReadOut() {
  std::vector<std::string> warnings;
  std::exception_ptr failure;
  try {
    // The driver reads the next block while the last one is written out.
    ado::PrefetchCursor ahead(*cursor_, ado::kBlockRows);
    ado::CopyBlocks(ahead, [&](const ado::RecordStore& block) { spool_->Append(block); });
    warnings = ahead.Warnings();
  } catch (...) {
    failure = std::current_exception();
  }
  // The statement ends here, and with it whatever the database held for it.
  cursor_.reset();
  connection_.reset();
  if (failure) {
    spool_->Fail(failure);
  } else {
    spool_->Finish(std::move(warnings));
  }
}

std::shared_ptr<ado::Recordset> QueryPager::NextPage(int32_t rows) {
  ado::RecordsetData data;
  data.fields = Fields();
  data.records = ado::RecordStore(data.fields.size());
  if (rows > 0) Rows().FetchInto(data.records, static_cast<size_t>(rows));
  rows_read_ += static_cast<int64_t>(data.records.RecordCount());
  // What GetRS sets before opening, so a page saves as the page query's result would.
  data.properties.updatable = true;
  std::shared_ptr<ado::Recordset> rs = NewResultRecordset(sql_);
  rs->OpenWith(std::move(data));
  return rs;
}

int64_t QueryPager::WriteNext(int64_t rows, XmlFileStream& out) {
  const int64_t written = ado::CopyBlocks(
      Rows(), [&](const ado::RecordStore& block) { out.WriteRows(block); }, rows);
  rows_read_ += written;
  return written;
}

}  // namespace qv
