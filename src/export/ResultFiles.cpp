#include "export/ResultFiles.h"

#include <limits>

#include "export/QueryPager.h"
#include "export/ResultFileNames.h"
#include "shared/QvSharedErrorLog.h"
#include "store/CQvXMLManip.h"
#include "store/XmlFileStream.h"

namespace qv {
namespace {

void RequireConnection(const std::shared_ptr<ado::Connection>& connection) {
  if (!connection) throw core::Error(core::kErrObjectRequired, kExporterClass, "no connection");
}

// What Export reports when the query gave nothing to write.
core::ErrorRecord NoRecordset() {
  return core::Error(core::kErrObjectRequired, kExporterClass, "the query gave no recordset")
      .record();
}

}  // namespace

std::shared_ptr<ado::Recordset> ResultFiles::GetRS(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  try {
    RequireConnection(connection);
    std::shared_ptr<ado::Recordset> rs = NewResultRecordset(sql);
    rs->SetActiveConnection(connection);
    rs->Open(ado::Variant(), nullptr, ado::adOpenUnspecified, ado::adLockUnspecified, -1);
    rs->SetActiveConnection(nullptr);
    // Values the file cannot hold as they came (a NUL in a text) were changed on the way.
    context_.TraceValueWarnings(connection->TakeWarnings());
    return rs;
  } catch (...) {
    context_.Failed(".GetRS");
    return nullptr;
  }
}

std::unique_ptr<ado::QueryCursor> ResultFiles::OpenQuery(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  try {
    RequireConnection(connection);
    return connection->OpenCursor(sql);
  } catch (...) {
    context_.Failed(".GetRS");
    return nullptr;
  }
}

std::optional<int32_t> ResultFiles::CountRows(const std::string& sql,
                                              const std::shared_ptr<ado::Connection>& connection) {
  return context_.Guarded(
      std::nullopt,
      [&](int& line) -> std::optional<int32_t> {
        line = 1;
        RequireConnection(connection);
        connection->SetCommandTimeout(0);

        line = 2;
        const int64_t rows = connection->CountRows(sql);

        line = 3;
        if (rows > std::numeric_limits<int32_t>::max()) {
          throw core::Error(core::kErrOverflow, kExporterClass,
                            "the query returns " + std::to_string(rows) + " rows");
        }
        const auto count = static_cast<int32_t>(rows);
        context_.Trace(kExporterClass + ".GetCount, GetCount: " + std::to_string(count),
                       kEventInformation);
        return count;
      },
      AtLine(kExporterClass + ".GetCount, @Line#"));
}

bool ResultFiles::Export(const std::string& sql, const std::shared_ptr<ado::Connection>& connection,
                         const std::string& target_file, bool encode,
                         const std::string& upload_folder) {
  return encode ? ExportEncoded(sql, connection, target_file, upload_folder)
                : ExportStreamed(sql, connection, target_file, upload_folder);
}

bool ResultFiles::ExportStreamed(const std::string& sql,
                                 const std::shared_ptr<ado::Connection>& connection,
                                 const std::string& target_file, const std::string& upload_folder) {
  try {
    std::unique_ptr<ado::QueryCursor> cursor = OpenQuery(sql, connection);
    if (!cursor) {
      context_.Failed(".Export", NoRecordset());
      return false;
    }
    const std::optional<int64_t> rows = SaveStreamed(*cursor, target_file, true);
    return outbox_.SendWritten(rows.has_value(), target_file, upload_folder);
  } catch (...) {
    context_.Failed(".Export");
    return false;
  }
}

std::optional<int64_t> ResultFiles::SaveStreamed(
    ado::QueryCursor& cursor, const std::string& target_file, bool flush_to_disk,
    const std::function<void(const ado::RecordStore&)>& each_block) {
  CreateFolderOf(target_file);
  context_.Trace("Save to " + target_file, kEventInformation);
  const std::optional<int64_t> rows =
      SaveQueryToXml(cursor, target_file, flush_to_disk, each_block);
  context_.TraceValueWarnings(cursor.Warnings());
  if (rows == 0) context_.Trace("The query returned no records", kEventWarning);
  if (rows) context_.stats.rows_read += *rows;
  return rows;
}

bool ResultFiles::ExportEncoded(const std::string& sql,
                                const std::shared_ptr<ado::Connection>& connection,
                                const std::string& target_file, const std::string& upload_folder) {
  const std::shared_ptr<ado::Recordset> rs = GetRS(sql, connection);
  if (!rs) {
    context_.Failed(".Export", NoRecordset());
    return false;
  }
  return SaveAndSend(rs, target_file, true, upload_folder);
}

bool ResultFiles::SaveAndSend(const std::shared_ptr<ado::Recordset>& rs,
                              const std::string& target_file, bool encode,
                              const std::string& upload_folder,
                              const std::function<void(const std::string&)>& before_send) {
  try {
    CreateFolderOf(target_file);
    if (rs->Eof()) context_.Trace("The query returned no records", kEventWarning);
    context_.Trace("Save to " + target_file, kEventInformation);
    const bool saved =
        CQvXMLManip().SaveRSToXML(rs, target_file, encode, false, 1, context_.flush_each_file);
    if (saved && before_send) before_send(target_file);
    return outbox_.SendWritten(saved, target_file, upload_folder);
  } catch (...) {
    context_.Failed(".Export");
    return false;
  }
}

bool ResultFiles::SavePartAndSend(QueryPager& pager, int64_t rows, const std::string& part_file,
                                  const std::string& upload_folder) {
  CreateFolderOf(part_file);
  context_.Trace("Save to " + part_file, kEventInformation);
  std::optional<int64_t> written;
  try {
    XmlFileStream out(part_file, pager.Fields());
    written = pager.WriteNext(rows, out);
    out.Commit(context_.flush_each_file);
  } catch (...) {
    written.reset();
    context_.Trace(kExporterClass + ".Export", kEventWarning, CurrentErrorRecord());
  }
  if (written) context_.stats.rows_read += *written;
  if (written == 0) context_.Trace("The query returned no records", kEventWarning);
  return outbox_.SendWritten(written.has_value(), part_file, upload_folder);
}

}  // namespace qv
