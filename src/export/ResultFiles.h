#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "export/ExportContext.h"
#include "export/Outbox.h"

namespace qv {

class QueryPager;

// A rule's query read and its rows written to result files, which go to the outbox.
class ResultFiles {
 public:
  ResultFiles(ExportContext& context, Outbox& outbox) : context_(context), outbox_(outbox) {}

  // The query's rows as a disconnected client-side static recordset with batch
  // optimistic locking; the caller owns it. Null after a failure.
  std::shared_ptr<ado::Recordset> GetRS(const std::string& sql,
                                        const std::shared_ptr<ado::Connection>& connection);
  // The query's rows for reading a block at a time; null after a (traced) failure.
  std::unique_ptr<ado::QueryCursor> OpenQuery(const std::string& sql,
                                              const std::shared_ptr<ado::Connection>& connection);
  // The number of rows the query returns, counted without keeping them; nothing after a
  // (traced) failure. Leaves the connection's CommandTimeout at 0 (no limit).
  std::optional<int32_t> CountRows(const std::string& sql,
                                   const std::shared_ptr<ado::Connection>& connection);
  // Writes the query's rows to `target_file` and hands it to the outbox with a non-empty
  // `upload_folder`. True when the file was written and, if asked, handed over.
  bool Export(const std::string& sql, const std::shared_ptr<ado::Connection>& connection,
              const std::string& target_file, bool encode, const std::string& upload_folder);
  // Export of plain text: the rows go from the driver to the file a block at a time, so
  // the result is never held whole, whatever its size.
  bool ExportStreamed(const std::string& sql, const std::shared_ptr<ado::Connection>& connection,
                      const std::string& target_file, const std::string& upload_folder);
  // The cursor's rows written to `target_file` as ExportStreamed writes them, without
  // sending it; each block written is then handed to `each_block`, when given. The rows
  // written (counted as read), or nothing after a reported failure.
  std::optional<int64_t> SaveStreamed(
      ado::QueryCursor& cursor, const std::string& target_file, bool flush_to_disk,
      const std::function<void(const ado::RecordStore&)>& each_block = {});
  // Export with its text values encoded: the whole result is read into a recordset
  // first.
  bool ExportEncoded(const std::string& sql, const std::shared_ptr<ado::Connection>& connection,
                     const std::string& target_file, const std::string& upload_folder);
  // Export for rows already read: writes `rs` to `target_file` and sends it as Export
  // does, calling `before_send` with the file once it is written. True when the file was
  // written.
  bool SaveAndSend(const std::shared_ptr<ado::Recordset>& rs, const std::string& target_file,
                   bool encode, const std::string& upload_folder,
                   const std::function<void(const std::string&)>& before_send = {});
  // One part of a split export: the pager's next `rows` rows streamed to `part_file`,
  // then sent as Export sends. False when the part could not be read or written.
  bool SavePartAndSend(QueryPager& pager, int64_t rows, const std::string& part_file,
                       const std::string& upload_folder);

 private:
  ExportContext& context_;
  Outbox& outbox_;
};

}  // namespace qv
