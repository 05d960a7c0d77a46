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

}  // namespace

std::shared_ptr<ado::Recordset> ResultFiles::GetRS(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  return context_.Guarded(
      nullptr,
      [&](int&) {
        RequireConnection(connection);
        std::shared_ptr<ado::Recordset> rs = NewResultRecordset(sql);
        rs->SetActiveConnection(connection);
        rs->Open(ado::Variant(), nullptr, ado::adOpenUnspecified, ado::adLockUnspecified, -1);
        rs->SetActiveConnection(nullptr);
        // Values the file cannot hold as they came (a NUL in a text) were changed on the way.
        TraceValueWarnings(connection->TakeWarnings());
        return rs;
      },
      Fixed(kExporterClass + ".GetRS"));
}

std::unique_ptr<ado::QueryCursor> ResultFiles::OpenQuery(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  return context_.Guarded(
      nullptr,
      [&](int&) {
        RequireConnection(connection);
        return connection->OpenCursor(sql);
      },
      Fixed(kExporterClass + ".GetRS"));
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
  return context_.Guarded(
      false,
      [&](int&) {
        if (encode) {
          const std::shared_ptr<ado::Recordset> rs = GetRS(sql, connection);
          if (!rs)
            throw core::Error(core::kErrObjectRequired, kExporterClass,
                              "the query gave no recordset");
          return SaveAndSend(rs, target_file, encode, upload_folder);
        }

        // Unencoded rows go from the driver to the file a block at a time: the result is
        // never held whole, whatever its size.
        std::unique_ptr<ado::QueryCursor> cursor = OpenQuery(sql, connection);
        if (!cursor)
          throw core::Error(core::kErrObjectRequired, kExporterClass,
                            "the query gave no recordset");
        CreateFolderOf(target_file);
        context_.Trace("Save to " + target_file, kEventInformation);
        const std::optional<int64_t> rows = CQvXMLManip().SaveQueryToXML(*cursor, target_file);
        TraceValueWarnings(cursor->Warnings());
        if (rows == 0) context_.Trace("The query returned no records", kEventWarning);
        if (rows) context_.stats.rows_read += *rows;
        return outbox_.SendWritten(rows.has_value(), target_file, upload_folder);
      },
      Fixed(kExporterClass + ".Export"));
}

bool ResultFiles::SaveAndSend(const std::shared_ptr<ado::Recordset>& rs,
                              const std::string& target_file, bool encode,
                              const std::string& upload_folder) {
  return context_.Guarded(
      false,
      [&](int&) {
        CreateFolderOf(target_file);
        if (rs->Eof()) context_.Trace("The query returned no records", kEventWarning);
        context_.Trace("Save to " + target_file, kEventInformation);

        return outbox_.SendWritten(
            CQvXMLManip().SaveRSToXML(rs, target_file, encode, false, 1, context_.flush_each_file),
            target_file, upload_folder);
      },
      Fixed(kExporterClass + ".Export"));
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

void ResultFiles::TraceValueWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings)
    context_.Trace(kExporterClass + ".GetRS, " + warning, kEventWarning);
}

}  // namespace qv
