// Mode 4 (per-entity diff) against mode 1 (plain export) over the same SQLite query in
// one run: mode 1 writes the result, mode 4 then compares a changed share of it with
// that result as its last data and uploads each changed entity to the test receiver on
// 127.0.0.1. Prints the ratio of mode 4's time without its uploads to mode 1's time,
// and where mode 4's time went.
//
//   bench_diff [rows [changed-percent]]      (1000000 rows, 1% changed by default)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "app/CQvDataExporter.h"
#include "store/CQvXMLManip.h"
#include "support/Receiver.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A fresh temporary folder, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "qvbench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// Saves a table of text and number fields, encoded as the program reads it.
void SaveTable(const std::string& path, int32_t encode_type,
               const std::vector<std::pair<std::string, int32_t>>& fields,
               const std::vector<std::vector<ado::Variant>>& rows) {
  auto rs = std::make_shared<ado::Recordset>();
  for (const auto& [name, type] : fields) rs->Fields().Append(name, type, 1000);
  rs->SetCursorLocation(ado::adUseClient);
  rs->SetLockType(ado::adLockOptimistic);
  rs->Open();
  for (const auto& row : rows) {
    rs->AddNew();
    for (size_t i = 0; i < row.size(); ++i) rs->Fields().Item(i).SetValue(row[i]);
    rs->Update();
  }
  rs->MoveFirst();
  qv::CQvXMLManip manip;
  if (!manip.SaveRSToXML(rs, path, true, false, encode_type)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

int64_t RecordsIn(const std::string& path) {
  qv::CQvXMLManip manip;
  const auto rs = manip.OpenXMLToRS(path, false);
  return rs && rs->State() == ado::adStateOpen ? rs->RecordCount() : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
  const long percent = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1;
  if (rows <= 0 || percent <= 0 || percent > 100) {
    std::fprintf(stderr, "usage: bench_diff [rows [changed-percent]]\n");
    return 2;
  }
  if (const std::string missing = qv::test::Receiver::MissingTool(); !missing.empty()) {
    std::fprintf(stderr, "bench_diff needs %s\n", missing.c_str());
    return 2;
  }

  ScratchFolder home;
  ::setenv("QVDATAEXPORTER_HOME", home.File("").c_str(), 1);
  ::setenv("QVDATAEXPORTER_REGISTRY", home.File("registry.reg").c_str(), 1);
  {
    // Only the export's own failures reach the log and standard error.
    std::ofstream registry(home.File("registry.reg"), std::ios::binary);
    registry << "Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"EventLogLevel\"=dword:00000001\r\n";
  }
  const fs::path uploader =
      fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "upload.exe";
  fs::copy_file(uploader, home.File("upload.exe"));

  const std::string connection_string = "Driver=SQLite3;Database=" + home.File("data.db");
  std::ofstream(home.File("data.db"));  // an empty file is an empty database
  ado::Connection db;
  db.Open(connection_string + ";NoCreat=0");
  db.Execute(
      "CREATE TABLE apps(tSID TEXT, name TEXT, amount NUMERIC, note TEXT,"
      " Source_Timestamp TEXT)");
  db.Execute(
      "INSERT INTO apps SELECT printf('e%08d', x), 'name ' || x, x % 1000,"
      " CASE WHEN x % 3 = 0 THEN NULL ELSE 'note' END, 't1' FROM (WITH RECURSIVE c(x) AS"
      " (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
      std::to_string(rows) + ") SELECT x FROM c)");

  qv::test::Receiver receiver;
  const std::string target = home.File("out/apps.xml");
  SaveTable(
      home.File("QvExportDS.xml"), 1,
      {{"nID", ado::adInteger}, {"tName", ado::adVarWChar}, {"tConnectionString", ado::adVarWChar}},
      {{int32_t{1}, "bench", connection_string}});
  SaveTable(home.File("QvExportSettings.xml"), 1,
            {{"nID", ado::adInteger}, {"tValue", ado::adVarWChar}},
            {{int32_t{1}, receiver.BaseUrl()}});
  SaveTable(home.File("QvExportRules.xml"), 6,
            {{"tTargetPath", ado::adVarWChar},
             {"nDSID", ado::adInteger},
             {"tSQLSelect", ado::adVarWChar},
             {"tSQLFrom", ado::adVarWChar},
             {"tSQLWhere", ado::adVarWChar},
             {"tSQLOrderBy", ado::adVarWChar},
             {"tImportRuleFolder", ado::adVarWChar}},
            {{target, int32_t{1}, "SELECT tSID, name, amount, note, Source_Timestamp", "FROM apps",
              "", "ORDER BY tSID", "Apps"}});

  // Mode 1: the baseline, and the result file that mode 4 takes for its last data.
  qv::CQvDataExporter plain(
      [](const std::string& message, const ado::ErrorRecord& error, int32_t event_type, int32_t) {
        if (event_type != 4)
          std::fprintf(stderr, "%s %s\n", message.c_str(), error.description.c_str());
      });
  const Clock::time_point plain_start = Clock::now();
  plain.ExportAll(1);
  const double plain_seconds = SecondsSince(plain_start);
  if (RecordsIn(target) != rows) {
    std::fprintf(stderr, "mode 1 did not write %ld rows\n", rows);
    return 1;
  }

  // Every changed row differs in a compared field; every row gets a new time stamp,
  // which is not compared.
  const long every = 100 / percent;
  db.Execute("UPDATE apps SET Source_Timestamp = 't2', name = CASE WHEN rowid % " +
             std::to_string(every) + " = 0 THEN name || ' changed' ELSE name END");
  const long expected_changes = rows / every;

  qv::CQvDataExporter diff(nullptr);
  const Clock::time_point diff_start = Clock::now();
  diff.ExportAll(4);
  const double diff_seconds = SecondsSince(diff_start);

  const qv::RunStats& stats = diff.Stats();
  const qv::CQvDataExporter::DiffTimes& times = diff.DiffTimings();
  const size_t received = receiver.Requests().size();
  if (stats.files_sent != expected_changes || static_cast<long>(received) != expected_changes) {
    std::fprintf(stderr, "mode 4 sent %d files (receiver: %zu), expected %ld\n", stats.files_sent,
                 received, expected_changes);
    return 1;
  }

  const double without_uploads = diff_seconds - times.upload;
  std::printf("rows %ld, changed %ld (%ld%%)\n", rows, expected_changes, percent);
  std::printf("mode 1 (query, write):          %8.2f s\n", plain_seconds);
  std::printf("mode 4 (all):                   %8.2f s\n", diff_seconds);
  std::printf("  query and last data load      %8.2f s\n", times.query);
  std::printf("  compare                       %8.2f s\n", times.compare);
  std::printf("  write (change files, last)    %8.2f s\n", times.write);
  std::printf("  upload (%ld files)          %8.2f s  (%.1f ms per file)\n", expected_changes,
              times.upload, 1000.0 * times.upload / static_cast<double>(expected_changes));
  std::printf("mode 4 without uploads / mode 1 = %.2fx (goal: at most 2x)\n",
              without_uploads / plain_seconds);
  return 0;
}
