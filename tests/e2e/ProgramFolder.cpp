#include "e2e/ProgramFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "ado/Recordset.h"
#include "values/AdoEnums.h"
#include "values/Variant.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

// Wide enough for every SQL piece and path the tests use, encoded.
constexpr int64_t kTextSize = 4000;

struct Column {
  std::string name;
  bool is_text;
};

// A recordset file with one record per row, as ADO saves a fabricated recordset.
void WriteRecordsetFile(const std::string& path, const std::vector<Column>& columns,
                        const std::vector<std::vector<ado::Variant>>& rows) {
  ado::Recordset rs;
  for (const Column& column : columns) {
    if (column.is_text) {
      rs.Fields().Append(column.name, ado::adVarWChar, kTextSize, ado::adFldIsNullable);
    } else {
      rs.Fields().Append(column.name, ado::adInteger, 4, ado::adFldIsNullable);
    }
  }
  rs.SetCursorLocation(ado::adUseClient);
  rs.SetLockType(ado::adLockOptimistic);  // every Update commits, so nothing is pending
  rs.Open();
  for (const std::vector<ado::Variant>& row : rows) {
    rs.AddNew();
    for (size_t i = 0; i < row.size(); ++i) rs.Fields().Item(i).SetValue(row[i]);
    rs.Update();
  }
  rs.SaveToFile(path);
}

}  // namespace

int ExportRun::LogLines(const std::string& text) const {
  int count = 0;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

ProgramFolder::ProgramFolder() {
  const fs::path uploader = fs::path(QV_BINARY_DIR) / "upload.exe";
  fs::copy_file(uploader, folder_.Path() / "upload.exe");
}

void ProgramFolder::WriteRules(const std::vector<ExportRule>& rules, bool with_order_by) const {
  std::vector<Column> columns = {{"tTargetPath", true},
                                 {"nDSID", false},
                                 {"tSQLSelect", true},
                                 {"tSQLFrom", true},
                                 {"tSQLWhere", true}};
  if (with_order_by) columns.push_back({"tSQLOrderBy", true});
  columns.push_back({"tImportRuleFolder", true});

  // An empty text stays empty: there is nothing to encode.
  const auto encoded = [](const std::string& text) { return ado::Variant(Base64(text)); };
  std::vector<std::vector<ado::Variant>> rows;
  for (const ExportRule& rule : rules) {
    std::vector<ado::Variant> row = {encoded(rule.target_path), ado::Variant(rule.ds_id),
                                     encoded(rule.select), encoded(rule.from), encoded(rule.where)};
    if (with_order_by) row.push_back(encoded(rule.order_by));
    row.push_back(encoded(rule.import_rule));
    rows.push_back(std::move(row));
  }
  WriteRecordsetFile(File("QvExportRules.xml"), columns, rows);
}

void ProgramFolder::WriteDataSources(const std::vector<DataSourceEntry>& sources) const {
  std::vector<std::vector<ado::Variant>> rows;
  for (const DataSourceEntry& source : sources) {
    rows.push_back({ado::Variant(source.id), ado::Variant(PercentEncode(source.name)),
                    ado::Variant(PercentEncode(source.connection_string))});
  }
  WriteRecordsetFile(File("QvExportDS.xml"),
                     {{"nID", false}, {"tName", true}, {"tConnectionString", true}}, rows);
}

void ProgramFolder::WriteUploadAddress(const std::string& address) const {
  WriteRecordsetFile(File("QvExportSettings.xml"), {{"nID", false}, {"tValue", true}},
                     {{ado::Variant(int32_t{1}), ado::Variant(PercentEncode(address))}});
}

test::Receiver& ProgramFolder::StartReceiver() {
  receiver_ = std::make_unique<test::Receiver>();
  WriteUploadAddress(receiver_->BaseUrl());
  return *receiver_;
}

ExportRun ProgramFolder::Run(const std::vector<std::string>& args,
                             const std::map<std::string, std::optional<std::string>>& env) const {
  std::vector<std::string> argv = {ProgramPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunArgv(argv, env);
}

ExportRun ProgramFolder::RunUnderJournal(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {
      "sh", "-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\"",
      ProgramPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunArgv(argv, {});
}

ExportRun ProgramFolder::RunArgv(
    const std::vector<std::string>& argv,
    const std::map<std::string, std::optional<std::string>>& env) const {
  ChildOptions options;
  options.env = env;
  options.env["QVDATAEXPORTER_HOME"] = Path().string();
  options.env["QVDATAEXPORTER_REGISTRY"] = std::nullopt;
  // A receiver that is down or stalls must not hold a test for minutes.
  options.env.try_emplace("QV_UPLOAD_CONNECT_TIMEOUT", "5");
  options.env.try_emplace("QV_UPLOAD_MAX_TIME", "30");
  test::TestFolder scratch;
  options.scratch = scratch.Path();
  const ChildResult child = RunChild(argv, options);

  // Under the sanitizers a report may end the program with the same status as a failed
  // rule, which a test expects; the report itself must fail the test.
  for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error: "}) {
    if (child.err.find(report) != std::string::npos) ADD_FAILURE() << child.err;
  }

  ExportRun run;
  run.exit_code = child.exit_code;
  run.timed_out = child.timed_out;
  run.out = child.out;
  run.err = child.err;
  std::vector<std::string> logs;
  for (const std::string& name : FileNames(Path())) {
    if (name.starts_with("RX_") && name.ends_with(".log")) logs.push_back(name);
  }
  for (const std::string& name : logs) run.log += ReadText(Path() / name);
  return run;
}

std::string ProgramFolder::ProgramPath() { return QV_BINARY_DIR "/qvdataexporter"; }

std::string ProgramFolder::RsfilePath() { return QV_BINARY_DIR "/tools/rsfile/rsfile"; }

std::string Base64(const std::string& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto byte = [&](size_t k) { return unsigned{static_cast<unsigned char>(bytes[k])}; };
  std::string text;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    text += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], kDigits[n & 63]};
  }
  if (i + 1 == bytes.size()) {
    const unsigned n = byte(i) << 16;
    text += {kDigits[n >> 18], kDigits[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const unsigned n = byte(i) << 16 | byte(i + 1) << 8;
    text += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], '='};
  }
  return text;
}

std::string PercentEncode(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      text += c;
    } else {
      text += {'%', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return text;
}

std::vector<std::string> FileNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qv::e2e
