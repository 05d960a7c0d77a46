#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ado/Recordset.h"
#include "export/ExportContext.h"

namespace qv {

// The files a rule hands to the uploader and what becomes of them: change files and their
// names, the Unsent folder where undelivered files wait, the LastTx folder where the
// uploader puts delivered ones, the listing of what earlier runs left, and the links
// found where the program keeps its own files, which are never taken for its files.
class Outbox {
 public:
  explicit Outbox(ExportContext& context) : context_(context) {}

  // A new run: no folder emptied, no link warned about, no change-file name drawn yet.
  void BeginRun();
  // A new per-entity export: its folders are listed again when first asked for.
  void BeginRule() { folder_listings_.clear(); }

  // Deletes the "Unsent" folder beside `folder` the first time the run exports there.
  void EmptyUnsentOnce(const std::string& folder);
  // Hands a written file to the uploader (nothing without an upload folder), counting
  // the outcome; the uploader moves it into LastTx or Unsent.
  void Send(const std::string& file, const std::string& upload_folder);
  // After a save: counts a written file and sends it; reports one that was not written
  // and sends nothing. Whether it was written.
  bool SendWritten(bool written, const std::string& target_file, const std::string& upload_folder);
  // Moves a file whose send failed but that is still at `path` into "Unsent" beside it,
  // so that it is not later taken for delivered data.
  void SetAsideUndelivered(const std::string& path);
  // Removes the change files of the result path that an earlier run left undelivered
  // beside it or in Unsent, and its whole result in Unsent.
  void DropEarlierUndelivered(const std::string& result_path);
  // Writes the entity `rs` stands on as a new change file of the result and returns its
  // path. Sets `line` to its step; throws core::Error when the file cannot be made.
  std::string WriteChangeFile(const std::shared_ptr<ado::Recordset>& rs,
                              const std::string& result_path, int& line);
  // Keeps the change file of an entity the last data lacks as a sent record in
  // `last_folder` (SentRecordFileOf) before it is handed over; the record's path. Throws
  // core::Error when it cannot.
  std::string RecordSent(const std::string& change_file, const std::string& last_folder);
  // Whether this run made the sent record `record`: its entities are in the run's result,
  // so that it need not be read.
  bool MadeThisRun(const std::string& record) const { return records_made_.contains(record); }
  // The sent records of the result in `last_folder`.
  std::vector<std::string> SentRecords(const std::string& last_folder,
                                       const std::string& result_name);
  // Writes the deletion file of the record `record` of `rows` (the entity's last delivered
  // row) as a new change file of the result and returns its path. Throws core::Error
  // when the file cannot be made.
  std::string WriteDeletionFile(const ado::RecordsetData& rows, size_t record,
                                const std::string& result_path);
  // Writes and hands over a deletion file for each of `rows` (keyed by tSID), all in
  // flight before it waits for them; a file not delivered goes to Unsent. The keys
  // delivered.
  std::set<std::string> SendDeletions(const ado::RecordsetData& rows,
                                      const std::string& result_path,
                                      const std::string& import_rule);
  // Warns once a run of each symbolic link found where the program keeps its own files;
  // the links are left as they are.
  void WarnLinks(const std::vector<std::filesystem::path>& links);
  // Removes the regular files of a folder the program made, then the folder when that
  // left it empty. A link in its place or in it is left and warned about.
  void ClearOwnFolder(const std::string& path);
  // Removes the temporary files that a killed run left beside the rule's results and
  // in their "last", "LastTx" and "Unsent" folders, and the folder a former version kept
  // spare files in; warns of the links found where the rule's files are kept.
  void RemoveTemporaries(const std::string& target_path);

 private:
  // Writes `xml` to a new change file name of the result; its path.
  std::string WriteNewChangeFile(const std::string& xml, const std::string& result_path, int& line);
  // A folder's files: its change files by the result they belong to (not for LastTx,
  // whose files are never removed), and the hashes of all names (NameHash): LastTx may
  // hold hundreds of thousands of files.
  struct FolderListing {
    std::unordered_map<std::string, std::vector<std::string>> change_files;
    std::unordered_set<uint64_t> by_name;
    // The names of the symbolic links there: taken, but not the program's files.
    std::unordered_set<uint64_t> taken;
  };
  // The files of `folder` when the rule began (see folder_listings_).
  FolderListing& ListingOf(const std::filesystem::path& folder);
  // Removes `path` when it is a regular file; a link there is left and warned about.
  void RemoveOwnFile(const std::filesystem::path& path);
  // A change-file path for the result that this run has not drawn before and that no
  // file beside the result, in Unsent or in LastTx had when the rule began.
  std::string NewChangeFilePath(const std::string& result_path);

  ExportContext& context_;
  std::set<std::string> unsent_emptied_;
  // The hashes of the change-file paths drawn in this run (NameHash).
  std::unordered_set<uint64_t> change_files_;
  // Folders listed once per call of a per-entity export, for the files of earlier runs
  // (DropEarlierUndelivered) and the names taken (NewChangeFilePath).
  std::unordered_map<std::string, FolderListing> folder_listings_;
  std::unordered_set<std::string> records_made_;  // sent records made by this run
  // The links warned about in this run (WarnLinks).
  std::unordered_set<std::string> warned_links_;
};

}  // namespace qv
