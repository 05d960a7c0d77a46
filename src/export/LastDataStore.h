#pragma once

#include <memory>
#include <string>

#include "ado/Recordset.h"
#include "export/EntityIndex.h"
#include "export/ExportContext.h"

namespace qv {

class XmlFileStream;

// A result path's last data: a complete earlier result of the same query (or page) in the
// folder "last" beside it, under the same file name, with the keys file that saves the
// next run reading it. It only advances past what the receiver was sent.
class LastDataStore {
 public:
  explicit LastDataStore(ExportContext& context) : context_(context) {}

  // The folder "last" beside the result file; a path without a folder part gives
  // "last" in the current folder. Nothing is checked or created.
  std::string GetLasDataFolder(const std::string& result_path) const;
  // The last-data file of a result file: its name in GetLasDataFolder.
  std::string GetLasDataFileName(const std::string& result_path) const;
  // The last-data file's path, or empty when there is no last data. A missing last-data
  // file is first made from the delivered copy of the whole result in LastTx, when no
  // later delivery of that result lies there.
  std::string FindLastData(const std::string& result_path);
  // The last data as an open recordset the caller owns, or null when there is none;
  // unreadable last data is set aside and counts as none.
  std::shared_ptr<ado::Recordset> GetLastDataRS(const std::string& result_path);
  // Replaces the last data with every record of `rs` and leaves `rs` on its first
  // record. A recordset without records writes nothing. True when written.
  bool CreateLastDataFileFromRS(const std::string& result_path,
                                const std::shared_ptr<ado::Recordset>& rs);
  // CreateLastDataFileFromRS for last data written as the query was read: puts `file`
  // in place unless it holds no rows. True when it did.
  bool CommitNewLastData(const std::string& result_path, XmlFileStream& file);
  // Replaces the last data with a copy of the result file. True when copied.
  bool CreateLastDataFile(const std::string& result_path);
  // Puts `xml` in place as the last-data file `last_file` of a page. Throws core::Error.
  void WriteLastDataFile(const std::string& last_file, const std::string& xml);
  // Saves `keys` as the keys file of the result's last data; a failure is a warning.
  void SaveLastDataKeys(const std::string& result_path, EntityIndex& keys);
  // Reports the result path's last data as unusable (`reason`) and moves it to
  // "<name>.bad" beside it, replacing an older one.
  void SetAsideLastData(const std::string& result_path, const std::string& reason);

 private:
  // The delivered copy of the whole result in LastTx, when no later delivery of the
  // result lies there; empty otherwise.
  std::string DeliveredWholeResult(const std::string& result_path) const;

  ExportContext& context_;
};

}  // namespace qv
