#include "export/Outbox.h"

#define XXH_INLINE_ALL
#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <random>
#include <string_view>

#include "ado/RecordsetXml.h"
#include "core/AtomicFile.h"
#include "core/File.h"
#include "core/Folder.h"
#include "core/PosixError.h"
#include "core/Random.h"
#include "export/Deletions.h"
#include "export/EntityIndex.h"
#include "export/PageKeys.h"
#include "export/ResultFileNames.h"
#include "fs/basFileSystemPaths.h"
#include "platform/StopSignal.h"
#include "records/CQvRecordset.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedRecordCopier.h"
#include "upload/CQVFileXfer.h"

namespace qv {
namespace {

// A name's hash, for the sets of names taken: 64 bits, so that two names of one folder
// alike in hash are as good as impossible.
uint64_t NameHash(std::string_view name) { return XXH3_64bits(name.data(), name.size()); }

constexpr int32_t kMaxChangeFileNumber = 999999;
// Where a former version kept files to rewrite; removed when found.
constexpr const char* kFormerSpareFolder = ".qvdataexporter-spare";

}  // namespace

void Outbox::BeginRun() {
  unsent_emptied_.clear();
  warned_links_.clear();
  change_files_.clear();
  records_made_.clear();
}

void Outbox::EmptyUnsentOnce(const std::string& folder) {
  // Undelivered files of an earlier run are made again and sent by this one, so the
  // old copies go; once per folder, so this run's own undelivered files stay.
  if (folder.empty()) return;
  const std::string unsent = std::filesystem::path(ConcatenatePath(folder, kUndeliveredFolder))
                                 .lexically_normal()
                                 .string();
  if (!unsent_emptied_.insert(unsent).second) return;
  ClearOwnFolder(unsent);
}

void Outbox::Send(const std::string& file, const std::string& upload_folder) {
  if (upload_folder.empty()) return;
  CQVFileXfer transfer;
  transfer.MoveToLastTx = true;
  if (transfer.TransferFile(file, upload_folder)) {
    ++context_.stats.files_sent;
  } else {
    ++context_.stats.sends_failed;
  }
  context_.NotifyProgress();
}

bool Outbox::SendWritten(bool written, const std::string& target_file,
                         const std::string& upload_folder) {
  if (!written) {
    // Sending would deliver an old file or none: report and send nothing.
    context_.Trace(kExporterClass + ".Export, the file could not be written: " + target_file,
                   kEventWarning);
    ++context_.stats.failures;
    return false;
  }
  ++context_.stats.files_written;
  Send(target_file, upload_folder);
  return true;
}

void Outbox::SetAsideUndelivered(const std::string& path) {
  namespace fs = std::filesystem;
  if (core::KindOf(path) != core::EntryKind::kFile) return;
  const fs::path file(path);
  const fs::path unsent = file.parent_path() / kUndeliveredFolder;
  try {
    if (!core::Folder::Make(unsent.string(), core::Folder::Reach::kOwn, kExporterClass)
             .MoveIn(path, file.filename().string())) {
      throw core::ErrorFromErrno(EXDEV, kExporterClass, "Cannot move " + path);
    }
  } catch (const core::Error& error) {
    context_.Trace(kExporterClass +
                       ".Export_DiffPerEntity, an undelivered file could not be moved to " +
                       unsent.string() + ": " + path,
                   kEventWarning, error.record());
    ++context_.stats.failures;
    return;
  }
  context_.Trace(kExporterClass + ".Export_DiffPerEntity, not delivered, kept in " +
                     unsent.string() + ": " + path,
                 kEventWarning);
}

void Outbox::DropEarlierUndelivered(const std::string& result_path) {
  namespace fs = std::filesystem;
  const fs::path result(result_path);
  const std::string name = result.filename().string();
  const fs::path folder = result.has_parent_path() ? result.parent_path() : fs::path(".");
  const auto drop = [&](const fs::path& path) { RemoveOwnFile(path); };
  for (const fs::path& where : {folder, folder / kUndeliveredFolder}) {
    FolderListing& listing = ListingOf(where);
    if (const auto files = listing.change_files.find(name); files != listing.change_files.end()) {
      for (const std::string& file : files->second) {
        listing.by_name.erase(NameHash(file));
        drop(where / file);
      }
      listing.change_files.erase(files);
    }
    if (where == folder) continue;
    if (listing.by_name.erase(NameHash(name)) > 0) drop(where / name);
  }
}

Outbox::FolderListing& Outbox::ListingOf(const std::filesystem::path& folder) {
  // Listed once per rule: a paged rule asks for every page, and the files the run makes
  // itself are in change_files_.
  auto listed = folder_listings_.find(folder.string());
  if (listed != folder_listings_.end()) return listed->second;
  // The result's own folder may be reached through a link, its Unsent and LastTx not.
  const bool own = folder.filename() == kUndeliveredFolder || folder.filename() == kDeliveredFolder;
  std::vector<core::FolderEntry> entries;
  try {
    entries = core::Folder::Open(folder.string(),
                                 own ? core::Folder::Reach::kOwn : core::Folder::Reach::kFollow,
                                 "ListFiles")
                  .List();
  } catch (const core::Error&) {
    // A folder that is not there holds nothing; one that cannot be opened fails where its
    // files are written.
  }
  const bool delivered = folder.filename() == kDeliveredFolder;
  FolderListing listing;
  for (const core::FolderEntry& entry : entries) {
    if (entry.kind == core::EntryKind::kFile) {
      for (const std::string_view owner : ResultsOfChangeFile(entry.name)) {
        if (!delivered) listing.change_files[std::string(owner)].push_back(entry.name);
      }
      listing.by_name.insert(NameHash(entry.name));
    } else if (entry.kind == core::EntryKind::kLink) {
      // A link's name is taken too, though the link is not the program's file.
      listing.taken.insert(NameHash(entry.name));
    }
  }
  return folder_listings_.emplace(folder.string(), std::move(listing)).first->second;
}

void Outbox::WarnLinks(const std::vector<std::filesystem::path>& links) {
  for (const std::filesystem::path& link : links) {
    if (!warned_links_.insert(link.string()).second) continue;
    context_.Trace(kExporterClass +
                       ".ExportAll, a symbolic link where this program keeps its own files is " +
                       "left as it is and not taken for one of them: " + link.string(),
                   kEventWarning);
  }
}

void Outbox::RemoveOwnFile(const std::filesystem::path& path) {
  const std::optional<core::EntryKind> kind = core::KindOf(path.string());
  if (kind == core::EntryKind::kLink) WarnLinks({path});
  if (kind == core::EntryKind::kFile) ::unlink(path.c_str());
}

void Outbox::ClearOwnFolder(const std::string& path) {
  std::vector<std::filesystem::path> links;
  try {
    RemoveFilesIn(
        path, core::Folder::Reach::kOwn, [](const std::string&) { return true; }, links);
    // Only when that left it empty; a link in its place is not a folder to remove.
    ::rmdir(path.c_str());
  } catch (const core::Error& error) {
    context_.Trace(kExporterClass + ".ExportAll, the folder could not be emptied: " + path,
                   kEventWarning, error.record());
  }
  WarnLinks(links);
}

std::string Outbox::NewChangeFilePath(const std::string& result_path) {
  namespace fs = std::filesystem;
  const fs::path result(result_path);
  const fs::path folder = result.has_parent_path() ? result.parent_path() : fs::path(".");
  std::uniform_int_distribution<int32_t> number(0, kMaxChangeFileNumber);
  // A name taken once in a hundred draws is the rare case; a million taken ones, never.
  for (int attempt = 0; attempt < 10000; ++attempt) {
    std::string path = result_path + std::to_string(number(core::Random())) + ".xml";
    const uint64_t name = NameHash(fs::path(path).filename().string());
    const auto taken = [&](const fs::path& where) {
      const FolderListing& listing = ListingOf(where);
      return listing.by_name.contains(name) || listing.taken.contains(name);
    };
    const uint64_t drawn = NameHash(path);
    if (change_files_.contains(drawn) || taken(folder) || taken(folder / kUndeliveredFolder) ||
        taken(folder / kDeliveredFolder)) {
      continue;
    }
    change_files_.insert(drawn);
    return path;
  }
  throw core::Error(core::kErrPathNotFound, kExporterClass,
                    "no free change-file name for " + result_path);
}

std::string Outbox::WriteChangeFile(const std::shared_ptr<ado::Recordset>& rs,
                                    const std::string& result_path, int& line) {
  line = 61;
  CQvRecordset wrapper;
  const std::shared_ptr<ado::Recordset> one = wrapper.CreateInMemory(rs, true);
  if (!one) throw core::Error(core::kErrObjectRequired, kExporterClass, "no in-memory recordset");

  line = 62;
  QvSharedRecordCopier copier;
  copier.CopyRecord(rs, one, true);

  line = 63;
  return WriteNewChangeFile(ado::RecordsetXmlToString(*one), result_path, line);
}

std::string Outbox::RecordSent(const std::string& change_file, const std::string& last_folder) {
  CreateOwnFolderOf(SentRecordFileOf(last_folder, change_file), kExporterClass);
  // An earlier record of the same file stays: it may hold entities this one lacks.
  for (int copy = 0;; ++copy) {
    std::string record = SentRecordFileOf(last_folder, change_file, copy);
    if (::link(change_file.c_str(), record.c_str()) == 0) {
      records_made_.insert(record);
      return record;
    }
    if (errno == EEXIST && copy < 1000) continue;
    if (errno != EXDEV) throw core::ErrorFromErrno(errno, kExporterClass, "Cannot keep " + record);
    // Another file system: a copy.
    core::AtomicFile file(record, kExporterClass);
    file.Write(core::File::Open(change_file, O_RDONLY, kExporterClass).ReadAll());
    file.CommitNew(core::AtomicFile::Durability::kRenameOnly);
    records_made_.insert(record);
    return record;
  }
}

std::vector<std::string> Outbox::SentRecords(const std::string& last_folder,
                                             const std::string& result_name) {
  std::vector<std::string> records;
  // Only files: a link named like one is not the program's.
  for (const std::filesystem::path& file :
       ListFiles(last_folder, core::Folder::Reach::kOwn).files) {
    if (IsSentRecordOf(file.filename().string(), result_name)) records.push_back(file.string());
  }
  return records;
}

std::set<std::string> Outbox::SendDeletions(const ado::RecordsetData& rows,
                                            const std::string& result_path,
                                            const std::string& import_rule) {
  const RowReader reader = EntityIndex({}, kKeyField).QueryReader(rows.fields);
  std::set<std::string> delivered;
  for (size_t record = 0; record < rows.records.RecordCount(); ++record) {
    if (platform::StopRequested()) break;  // the rest wait in the pending deletions
    std::string key;
    if (!reader.Key(rows.records, record, key)) continue;
    try {
      const std::string file = WriteDeletionFile(rows, record, result_path);
      CQVFileXfer transfer;
      transfer.MoveToLastTx = true;
      transfer.SendLater(file, import_rule, [this, &delivered, key, file](bool sent) {
        if (sent) {
          ++context_.stats.files_sent;
          ++context_.stats.deletions_sent;
          delivered.insert(key);
        } else {
          ++context_.stats.sends_failed;
          SetAsideUndelivered(file);
        }
        context_.NotifyProgress();
      });
    } catch (...) {
      context_.Failed(".Export_DiffPerEntity, a deletion could not be written");
    }
  }
  CQVFileXfer::WaitForSends(true);
  return delivered;
}

std::string Outbox::WriteDeletionFile(const ado::RecordsetData& rows, size_t record,
                                      const std::string& result_path) {
  int line = 0;
  return WriteNewChangeFile(DeletionFileXml(rows, record), result_path, line);
}

std::string Outbox::WriteNewChangeFile(const std::string& xml, const std::string& result_path,
                                       int& line) {
  std::string change_file = NewChangeFilePath(result_path);
  if (context_.trace) context_.trace("Save to " + change_file, {}, kEventInformation, kLevelDetail);

  line = 64;
  // Without the flush to disk: a change file lives until its upload, and one lost in a
  // crash is made again by the next run, since the last data has not moved on. The
  // flushes would cost more than the rest of the run when many entities change. Its name
  // was free: whatever took it meanwhile is left as it is.
  try {
    core::AtomicFile file(change_file, kExporterClass);
    file.Write(xml);
    file.CommitNew(core::AtomicFile::Durability::kRenameOnly);
  } catch (const core::Error& error) {
    core::ErrorRecord record = error.record();
    record.description = change_file + " not written: " + record.description;
    throw core::Error(std::move(record));
  }
  ++context_.stats.files_written;
  return change_file;
}

void Outbox::RemoveTemporaries(const std::string& target_path) {
  namespace fs = std::filesystem;
  const fs::path target(target_path);
  const std::string name = target.filename().string();
  if (name.empty()) return;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const auto temporary = [&](const std::string& file) {
    // The last data's keys files are written the same way.
    return IsTemporaryOf(file, name) || IsTemporaryOf(file, EntityIndex::KeysFileOf(name)) ||
           IsTemporaryOf(file, fs::path(PageKeys::FileOf("", name)).filename().string()) ||
           IsTemporaryOf(file, fs::path(PendingDeletionsFileOf("", name)).filename().string());
  };
  for (const char* sub : {"", "last", kDeliveredFolder, kUndeliveredFolder}) {
    std::vector<fs::path> links;
    try {
      RemoveFilesIn(folder / sub, *sub ? core::Folder::Reach::kOwn : core::Folder::Reach::kFollow,
                    temporary, links);
    } catch (const core::Error&) {
      // A folder that cannot be listed holds nothing to remove now.
    }
    // Warned about here, once a rule: in the result's folder, links named like its files.
    for (const fs::path& link : links) {
      const std::string file = link.filename().string();
      if (*sub || file.starts_with(name) || temporary(file)) WarnLinks({link});
    }
  }
  // What a former version kept to rewrite holds nothing anything reads.
  ClearOwnFolder((folder / kFormerSpareFolder).string());
}

}  // namespace qv
