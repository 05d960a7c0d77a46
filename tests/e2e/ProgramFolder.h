#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"
#include "support/Receiver.h"
#include "support/TestFolder.h"

namespace qv::e2e {

// One record of QvExportRules.xml.
struct ExportRule {
  std::string target_path;
  int32_t ds_id = 1;
  std::string select;
  std::string from;
  std::string where;
  std::string order_by;  // written only when the rules file has the field
  std::string import_rule;
};

// One record of QvExportDS.xml.
struct DataSourceEntry {
  int32_t id = 1;
  std::string name;
  std::string connection_string;
};

// How one run of the program went.
struct ExportRun {
  int exit_code = -1;
  bool timed_out = false;
  std::string out;
  std::string err;
  std::string log;  // every RX_*.log of the program folder, in name order

  // How many lines of the log contain `text`.
  int LogLines(const std::string& text) const;
};

// A program folder in a fresh temporary folder: the rules, data sources and settings
// files, the uploader, and optionally a receiver for the uploads. Runs the built
// qvdataexporter with QVDATAEXPORTER_HOME pointing here.
class ProgramFolder {
 public:
  // Creates the folder and copies the built uploader into it.
  ProgramFolder();

  const std::filesystem::path& Path() const { return folder_.Path(); }
  std::string File(const std::string& name) const { return folder_.File(name); }

  // Writes QvExportRules.xml, text values Base64-encoded (encode type 6). Without
  // `with_order_by` the file has no tSQLOrderBy field at all.
  void WriteRules(const std::vector<ExportRule>& rules, bool with_order_by = true) const;
  // Writes QvExportDS.xml, text values percent-encoded (encode type 1).
  void WriteDataSources(const std::vector<DataSourceEntry>& sources) const;
  // Writes QvExportSettings.xml with setting 1, the upload address, percent-encoded.
  void WriteUploadAddress(const std::string& address) const;

  // Starts a receiver and makes its address the upload address. Throws when the
  // receiver cannot start; see ReceiverMissingTool().
  test::Receiver& StartReceiver();
  test::Receiver& receiver() { return *receiver_; }

  // Runs the program with `args`; `env` is added to the environment.
  ExportRun Run(const std::vector<std::string>& args,
                const std::map<std::string, std::optional<std::string>>& env = {}) const;
  // Run, with standard error taken for the journal, as systemd starts a service:
  // JOURNAL_STREAM names the file it is open on.
  ExportRun RunUnderJournal(const std::vector<std::string>& args) const;

  // The built program and the tool.
  static std::string ProgramPath();
  static std::string RsfilePath();

 private:
  ExportRun RunArgv(const std::vector<std::string>& argv,
                    const std::map<std::string, std::optional<std::string>>& env) const;

  test::TestFolder folder_;
  std::unique_ptr<test::Receiver> receiver_;
};

// Encode type 6 and 1 of a text value, done here on their own so that the tests do
// not share the program's encoder.
std::string Base64(const std::string& bytes);
std::string PercentEncode(const std::string& bytes);

// The files directly in `folder` (no subfolders), by name; empty when it does not exist.
std::vector<std::string> FileNames(const std::filesystem::path& folder);

// The text of a file; empty when it cannot be read.
std::string ReadText(const std::filesystem::path& path);

}  // namespace qv::e2e
