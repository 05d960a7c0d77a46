// The operators' commands of the built program on the demo program folder: --check
// with each kind of mistake, a dry run against the run that follows it, the metrics
// file read by a parser of its format, --status and --reset-last under the run lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/ChildProcess.h"
#include "e2e/ProgramFolder.h"
#include "e2e/TestDatabase.h"
#include "platform/RunLock.h"
#include "support/TestFolder.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

const fs::path kDemoScripts = fs::path(QV_TEST_DATA_DIR) / ".." / ".." / "scripts" / "demo";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> FailLines(const std::string& text) {
  std::vector<std::string> fails;
  for (const std::string& line : Lines(text)) {
    if (line.rfind("FAIL ", 0) == 0) fails.push_back(line);
  }
  return fails;
}

// A file name with the number a change file's name draws replaced by '#'.
std::string WithoutDrawnNumber(const std::string& name) {
  static const std::regex drawn(R"(\.xml[0-9]{1,6}\.xml$)");
  return std::regex_replace(name, drawn, ".xml#.xml");
}

// The demo's program folder: its inventory database, rules and data source, a receiver
// and the built-in sender.
class Operators : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
    Demo("make_inventory.py", {folder_.File("inventory.db")});
    FromJson("rules.json", "QvExportRules.xml", "6", "OUT=" + folder_.File("out"));
    FromJson("datasources.json", "QvExportDS.xml", "1", "DATABASE=" + folder_.File("inventory.db"));
    folder_.StartReceiver();
    WriteRegistry(true);
  }

  void Demo(const std::string& script, const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"python3", (kDemoScripts / script).string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const ChildResult result = RunChild(argv);
    ASSERT_EQ(result.exit_code, 0) << script << ": " << result.err;
  }
  void FromJson(const std::string& json, const std::string& file, const std::string& encode,
                const std::string& fill) const {
    const std::string filled = folder_.File(json);
    Demo("fill.py", {(kDemoScripts / json).string(), filled, fill});
    const ChildResult result = RunChild(
        {ProgramFolder::RsfilePath(), "from-json", filled, folder_.File(file), "--encode", encode});
    ASSERT_EQ(result.exit_code, 0) << result.err;
  }
  void WriteRegistry(bool builtin) const {
    std::ofstream out(folder_.File("registry.reg"), std::ios::binary);
    out << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n"
        << "\"EventLogLevel\"=dword:00000001\r\n"
        << (builtin ? "\"Uploader\"=\"builtin\"\r\n" : "");
  }
  // Replaces the registry file with one holding `line` besides the built-in sender.
  void AddRegistryLine(const std::string& line) const {
    WriteRegistry(true);
    std::ofstream(folder_.File("registry.reg"), std::ios::binary | std::ios::app) << line << "\r\n";
  }
  void ChangeInventory() const {
    CreateSqliteDatabase(folder_.File("inventory.db"),
                         "UPDATE computers SET nRamMB = nRamMB + 1 WHERE rowid IN (5, 150, 420);"
                         "DELETE FROM applications WHERE rowid = 7;");
  }

  // Every file under out/ with its size and time, to see that nothing changed.
  std::map<std::string, std::string> OutputState() const {
    std::map<std::string, std::string> state;
    const fs::path out = folder_.File("out");
    if (!fs::exists(out)) return state;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      if (!entry.is_regular_file()) continue;
      state[entry.path().string()] =
          std::to_string(entry.file_size()) + "@" +
          std::to_string(entry.last_write_time().time_since_epoch().count());
    }
    return state;
  }

  ProgramFolder folder_;
};

TEST_F(Operators, CheckPassesOnTheDemoAndNamesEachMistakeOnItsOwnLine) {
  const ExportRun good = folder_.Run({"--check"});
  EXPECT_EQ(good.exit_code, 0) << good.out << good.err;
  EXPECT_TRUE(FailLines(good.out).empty()) << good.out;
  EXPECT_EQ(Lines(good.out).size(), 12u) << good.out;

  const std::string rules = folder_.File("QvExportRules.xml");
  const std::string sources = folder_.File("QvExportDS.xml");
  const std::string address = folder_.receiver().BaseUrl();
  const auto rule = [&](int ds_id, const std::string& select) {
    return std::vector<ExportRule>{
        {folder_.File("out/a.xml"), ds_id, select, "FROM computers", "", "ORDER BY tSID", "A"}};
  };
  const std::string rule_line =
      "FAIL rule 1 (" + folder_.File("out/a.xml") + ") in QvExportRules.xml: ";
  struct Mistake {
    const char* name;
    std::function<void()> make;
    std::string line;  // the start of the one FAIL line it gives
  };
  const std::vector<Mistake> mistakes = {
      {"missing rules file", [&] { fs::remove(rules); },
       "FAIL rules file QvExportRules.xml: missing"},
      {"unknown data source", [&] { folder_.WriteRules(rule(9, "SELECT tSID")); },
       rule_line + "data source 9 is not in QvExportDS.xml"},
      {"bad connection string",
       [&] {
         folder_.WriteDataSources(
             {{1, "Inventory", "Driver=SQLite3;Database=/nonexistent/inventory.db;PWD=s3cr3t"}});
       },
       "FAIL data source 1 (Inventory) in QvExportDS.xml: "},
      {"bad SQL", [&] { folder_.WriteRules(rule(1, "SELECT tNoSuchColumn")); },
       rule_line + "the SQL does not prepare"},
      {"mode 7 rule without tSID", [&] { folder_.WriteRules(rule(1, "SELECT tName, tOS")); },
       rule_line + "mode 7 keys each entity by a tSID column, and the query returns none (tName, "
                   "tOS)"},
      {"empty tImportRuleFolder",
       [&] {
         folder_.WriteRules({{folder_.File("out/a.xml"), 1, "SELECT tSID", "FROM computers", "",
                              "ORDER BY tSID", ""}});
       },
       rule_line + "tImportRuleFolder is empty"},
      {"misspelled rules field",
       [&] {
         std::string text = test::ReadBytes(rules);
         text.replace(text.find("tSQLOrderBy"), 11, "tOrderBy");
         test::WriteBytes(rules, text);
       },
       "FAIL rules file QvExportRules.xml: unknown field tOrderBy (did you mean tSQLOrderBy?)"},
      {"rules file encoded for the data sources",
       [&] {
         const ChildResult copy = RunChild({ProgramFolder::RsfilePath(), "copy", rules, rules + "1",
                                            "--decode", "6", "--encode", "1"});
         ASSERT_EQ(copy.exit_code, 0) << copy.err;
         fs::rename(rules + "1", rules);
       },
       "FAIL rules file QvExportRules.xml: its texts are encoded with type 1 (or not at all), not "
       "6 "
       "(the program reads this file with type 6: rsfile from-json ... --encode 6)"},
      {"misspelled uploader", [&] { AddRegistryLine("\"Uploader\"=\"bultin\""); },
       "FAIL registry file " + folder_.File("registry.reg") +
           ": \"Uploader\" is \"bultin\" (did you mean \"builtin\"?)"},
      {"log level without a message", [&] { AddRegistryLine("\"EventLogLevel\"=dword:00000007"); },
       "FAIL registry file " + folder_.File("registry.reg") + ": \"EventLogLevel\" is 7, which "},
      {"misspelled registry value", [&] { AddRegistryLine("\"LogRetentionDay\"=dword:00000007"); },
       "FAIL registry file " + folder_.File("registry.reg") +
           ": unknown value \"LogRetentionDay\" (did you mean \"LogRetentionDays\"?)"},
      {"uploader connections out of range",
       [&] { AddRegistryLine("\"UploaderConnections\"=dword:00000011"); },
       "FAIL registry file " + folder_.File("registry.reg") +
           ": \"UploaderConnections\" is 17; it must be a dword from 1 to 16"},
      {"bad upload address", [&] { folder_.WriteUploadAddress("ftp://127.0.0.1/upload"); },
       "FAIL upload address ftp://127.0.0.1/upload in QvExportSettings.xml: "},
      {"unreachable receiver", [&] { folder_.WriteUploadAddress("http://127.0.0.1:1/upload"); },
       "FAIL upload address http://127.0.0.1:1/upload in QvExportSettings.xml: cannot connect"},
      {"upload.exe not executable",
       [&] {
         WriteRegistry(false);
         fs::permissions(folder_.File("upload.exe"), fs::perms::all, fs::perm_options::remove);
       },
       "FAIL uploader " + folder_.File("upload.exe") + ": not an executable file"},
      {"target folder that cannot be made",
       [&] {
         folder_.WriteRules(
             {{sources + "/out/a.xml", 1, "SELECT tSID", "FROM computers", "", "", "A"}});
       },
       "FAIL rule 1 (" + sources + "/out/a.xml) in QvExportRules.xml: target folder"},
  };
  for (const Mistake& mistake : mistakes) {
    SCOPED_TRACE(mistake.name);
    const fs::path saved = folder_.File("saved");
    fs::create_directory(saved);
    for (const char* file : {"QvExportRules.xml", "QvExportDS.xml", "QvExportSettings.xml",
                             "upload.exe", "registry.reg"}) {
      fs::copy_file(folder_.File(file), saved / file);
    }
    mistake.make();
    const ExportRun run = folder_.Run({"--check"});
    EXPECT_EQ(run.exit_code, 1) << run.out;
    const std::vector<std::string> fails = FailLines(run.out);
    ASSERT_EQ(fails.size(), 1u) << run.out;
    EXPECT_EQ(fails.front().rfind(mistake.line, 0), 0u) << fails.front();
    EXPECT_EQ(run.out.find("s3cr3t"), std::string::npos) << run.out;
    for (const auto& entry : fs::directory_iterator(saved)) {
      const std::string restored = folder_.File(entry.path().filename().string());
      fs::remove(restored);
      fs::copy_file(entry.path(), restored);
    }
    fs::remove_all(saved);
  }

  // A request the receiver gets with '?' for some characters is a warning: the run works.
  folder_.WriteRules(
      {{folder_.File("out/a.xml"), 1, "SELECT tSID", "FROM computers", "", "ORDER BY tSID", "Ε"}});
  const ExportRun greek = folder_.Run({"--check"});
  EXPECT_EQ(greek.exit_code, 0) << greek.out;
  EXPECT_NE(greek.out.find("warn rule 1 (" + folder_.File("out/a.xml") +
                           ") in QvExportRules.xml: the upload request's ImpID (tImportRuleFolder "
                           "\"Ε\") holds characters"),
            std::string::npos)
      << greek.out;

  if (::geteuid() != 0) {  // root writes anywhere
    fs::permissions(folder_.Path(), fs::perms::owner_write, fs::perm_options::remove);
    const ExportRun run = folder_.Run({"--check"});
    fs::permissions(folder_.Path(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(run.exit_code, 1);
    const std::vector<std::string> fails = FailLines(run.out);
    ASSERT_EQ(fails.size(), 1u) << run.out;
    EXPECT_EQ(fails.front().rfind("FAIL log folder ", 0), 0u) << fails.front();
  }
  EXPECT_FALSE(fs::exists(folder_.File("out"))) << "--check wrote into the output folder";
  EXPECT_TRUE(folder_.receiver().Requests().empty());
}

TEST_F(Operators, DryRunOfMode7ListsTheFilesTheRunThenSends) {
  // A first run sends whole pages; after a change, the changed entities.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    if (round == 1) ChangeInventory();
    const std::map<std::string, std::string> before = OutputState();
    const size_t requests_before = folder_.receiver().Requests().size();
    const ExportRun dry = folder_.Run({"--dry-run", "7"});
    ASSERT_EQ(dry.exit_code, 0) << dry.out << dry.err;
    EXPECT_EQ(OutputState(), before) << "the dry run changed the output folder";
    EXPECT_EQ(folder_.receiver().Requests().size(), requests_before) << "the dry run sent";

    std::multiset<std::string> would_send;
    static const std::regex line(R"(^  would send (\S+) \(([0-9]+) bytes\) to ImpID (.+)$)");
    for (const std::string& text : Lines(dry.out)) {
      std::smatch match;
      if (std::regex_match(text, match, line)) {
        would_send.insert(match[3].str() + "|" + WithoutDrawnNumber(match[1]) + "|" +
                          match[2].str());
      }
    }
    ASSERT_FALSE(would_send.empty()) << dry.out;
    if (round == 1) {
      // The deleted application moves the rows after it to other pages: moved, not new.
      static const std::regex moved(
          R"(entities new 0, changed [0-9]+, unchanged [0-9]+, moved [1-9])");
      EXPECT_TRUE(std::regex_search(dry.out, moved)) << dry.out;
    }

    const ExportRun real = folder_.Run({"7"});
    ASSERT_EQ(real.exit_code, 0) << real.err;
    std::multiset<std::string> sent;
    const std::vector<test::ReceivedRequest> requests = folder_.receiver().Requests();
    for (size_t i = requests_before; i < requests.size(); ++i) {
      sent.insert(requests[i].imp_id.value_or("") + "|" +
                  WithoutDrawnNumber(requests[i].fn.value_or("")) + "|" +
                  std::to_string(requests[i].size));
    }
    EXPECT_EQ(would_send, sent) << dry.out;
  }
}

// A value no recordset can hold fails its rule, and the dry run, the log and standard
// error name the rule, the entity, the column and the value, for the operator to mend.
TEST_F(Operators, AValueNoFileCanHoldNamesRuleEntityColumnAndValue) {
  CreateSqliteDatabase(folder_.File("inventory.db"),
                       "UPDATE computers SET dLastSeen = '0050-01-01 00:00:00' WHERE rowid = 150");
  const std::regex named(
      "Rule 1 of 3, File: [^,]*computers\\.xml, tSID '[^']+', column 'dLastSeen', row [0-9]+: "
      "Overflow: value 0050-01-01 00:00:00");
  const ExportRun dry = folder_.Run({"--dry-run", "7"});
  EXPECT_NE(dry.exit_code, 0);
  std::smatch failed;
  ASSERT_TRUE(std::regex_search(dry.out, failed, std::regex("  failed: (.*)"))) << dry.out;
  EXPECT_TRUE(std::regex_search(failed[1].str(), named)) << failed[1];

  const ExportRun real = folder_.Run({"7"});
  EXPECT_NE(real.exit_code, 0);
  EXPECT_TRUE(std::regex_search(real.err, named)) << real.err;
  EXPECT_TRUE(std::regex_search(real.log, named)) << real.log;
}

TEST_F(Operators, MetricsFileReadsAsTextfileFormat) {
  const std::string metrics = folder_.File("metrics/qvdataexporter.prom");
  fs::create_directory(folder_.File("metrics"));
  const ExportRun run = folder_.Run({"--metrics", metrics, "7"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const size_t sent = folder_.receiver().Requests().size();
  ASSERT_GT(sent, 0u);

  // A parser of the format: "# HELP name text", "# TYPE name gauge", then samples
  // "name{label="value",...} number"; every sample's name has both lines before it.
  const std::string parser = R"(
import re, sys
line_re = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*",?)*\})? (\S+)$')
helps, types, values = set(), {}, {}
for line in open(sys.argv[1], encoding='utf-8').read().splitlines():
    if line.startswith('# HELP '): helps.add(line.split(' ')[2]); continue
    if line.startswith('# TYPE '):
        _, _, name, kind = line.split(' '); types[name] = kind; continue
    m = line_re.match(line)
    assert m, 'bad line: ' + line
    name = m.group(1)
    assert name in helps and types.get(name) == 'gauge', 'no HELP/TYPE for ' + name
    values.setdefault(name, []).append((m.group(2) or '', float(m.group(4))))
p = 'qvdataexporter_last_run_'
def one(n): return values[p + n][0][1]
assert one('exit_status') == 0
assert one('mode') == 7
assert one('rules_run') == 3 and one('rules_failed') == 0
assert one('files_sent') == int(sys.argv[2]) and one('files_failed') == 0
assert one('rows_read') > 3000 and one('bytes_sent') > 0
assert 0 < one('end_timestamp_seconds') - one('start_timestamp_seconds') < 600
assert len(values[p + 'rule_duration_seconds']) == 3
assert [v for _, v in values[p + 'rule_failed']] == [0, 0, 0]
assert 'rule="' in values[p + 'rule_failed'][0][0]
print('ok')
)";
  const fs::path script = folder_.File("parse_metrics.py");
  std::ofstream(script) << parser;
  const ChildResult parsed = RunChild({"python3", script.string(), metrics, std::to_string(sent)});
  EXPECT_EQ(parsed.exit_code, 0) << parsed.err << ReadText(metrics);
  EXPECT_EQ(parsed.out, "ok\n");
  // Written whole through a temporary beside it, which is gone.
  EXPECT_EQ(FileNames(folder_.File("metrics")), std::vector<std::string>{"qvdataexporter.prom"});
}

TEST_F(Operators, UnderTheJournalEveryLineCarriesItsPriorityAndSuccessIsTold) {
  const ExportRun good = folder_.RunUnderJournal({});
  EXPECT_EQ(good.exit_code, 0) << good.err;
  EXPECT_EQ(good.err.rfind("<6>qvdataexporter mode 7: rules run 3, rules failed 0, ", 0), 0u)
      << good.err;
  EXPECT_EQ(Lines(good.err).size(), 1u) << good.err;
  // Elsewhere a run that succeeds stays silent.
  EXPECT_EQ(folder_.Run({}).err, "");

  folder_.WriteUploadAddress("http://127.0.0.1:1/upload");
  ChangeInventory();
  const ExportRun failed = folder_.RunUnderJournal({});
  EXPECT_EQ(failed.exit_code, 1);
  const std::vector<std::string> lines = Lines(failed.err);
  ASSERT_GE(lines.size(), 2u) << failed.err;
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("<4>") || line.starts_with("<3>")) << line;
  }
  EXPECT_NE(lines.back().find("<3>"), std::string::npos);
  EXPECT_NE(lines.back().find("\tError\tqvdataexporter mode 7: "), std::string::npos)
      << lines.back();

  // What is not a log entry is an error.
  const ExportRun bad = folder_.RunUnderJournal({"9"});
  EXPECT_EQ(bad.exit_code, 2);
  for (const std::string& line : Lines(bad.err)) EXPECT_TRUE(line.starts_with("<3>")) << line;
}

TEST_F(Operators, ResetLastIsRefusedWhileARunHoldsTheFolderAndStatusShowsIt) {
  ASSERT_EQ(folder_.Run({"7"}).exit_code, 0);
  const ExportRun status = folder_.Run({"--status"});
  EXPECT_EQ(status.exit_code, 0);
  EXPECT_TRUE(std::regex_search(status.out, std::regex("servers.xml\n  last data: 3 file\\(s\\)")))
      << status.out;
  EXPECT_NE(status.out.find("qvdataexporter mode 7: rules run 3"), std::string::npos) << status.out;
  EXPECT_TRUE(std::regex_search(status.out, std::regex("\nLast successful run: [-0-9]{10} "
                                                       "[:0-9]{8} \\([0-9]+ s ago\\)\n")))
      << status.out;
  EXPECT_EQ(status.out.find("Running now"), std::string::npos) << status.out;
  // Waiting in Unsent: the change files of the result and of its pages, nothing else.
  fs::create_directories(folder_.File("out/Unsent"));
  for (const char* name : {"servers.xml12.xml", "servers.xml_0-99.xml3.xml", "servers.xmlx1.xml"}) {
    std::ofstream(folder_.File("out/Unsent/" + std::string(name))) << "x";
  }
  const std::string waiting = folder_.Run({"--status"}).out;
  EXPECT_TRUE(std::regex_search(
      waiting, std::regex("servers.xml\n.*\n  waiting in Unsent: 2 file\\(s\\), 2 bytes\n")))
      << waiting;
  fs::remove_all(folder_.File("out/Unsent"));
  const size_t last_files = FileNames(folder_.File("out/last")).size();
  ASSERT_GT(last_files, 0u);
  {
    const platform::RunLock lock(folder_.Path().string());
    ASSERT_TRUE(lock.Held());
    // The run in progress, for people and for scripts; looking does not take the lock.
    const std::string pid = std::to_string(::getpid());
    EXPECT_NE(folder_.Run({"--status"}).out.find("Running now: pid " + pid + ", started "),
              std::string::npos);
    const nlohmann::json json = nlohmann::json::parse(folder_.Run({"--status", "--json"}).out);
    EXPECT_EQ(json.at("running").at("pid"), ::getpid());
    EXPECT_EQ(json.at("rules").size(), 3u);
    EXPECT_EQ(json.at("rules").at(2).at("last_data").at("files"), 3);
    EXPECT_EQ(json.at("last_success")
                  .at("summary")
                  .get<std::string>()
                  .rfind("qvdataexporter mode 7: rules run 3", 0),
              0u);
    EXPECT_GE(json.at("last_success").at("age_seconds"), 0);
    const ExportRun refused = folder_.Run({"--reset-last", "all"});
    EXPECT_EQ(refused.exit_code, 3) << refused.out;
    EXPECT_EQ(FileNames(folder_.File("out/last")).size(), last_files);
  }
  const ExportRun reset = folder_.Run({"--reset-last", "servers.xml"});
  EXPECT_EQ(reset.exit_code, 0) << reset.out;
  EXPECT_NE(folder_.Run({"--status"}).out.find("servers.xml\n  last data: none"),
            std::string::npos);
  EXPECT_EQ(folder_.Run({"--reset-last", "nosuchrule"}).exit_code, 2);

  // The next run sends the reset rule whole: its pages, not change files.
  const size_t before = folder_.receiver().Requests().size();
  ASSERT_EQ(folder_.Run({"7"}).exit_code, 0);
  const std::vector<test::ReceivedRequest> requests = folder_.receiver().Requests();
  std::set<std::string> names;
  for (size_t i = before; i < requests.size(); ++i) names.insert(requests[i].fn.value_or(""));
  EXPECT_EQ(names, (std::set<std::string>{"servers.xml_0-99.xml", "servers.xml_100-199.xml",
                                          "servers.xml_200-299.xml"}));

  // Without a rules file a script still gets JSON, naming what is wrong.
  fs::remove(folder_.File("QvExportRules.xml"));
  const ExportRun broken = folder_.Run({"--status", "--json"});
  EXPECT_EQ(broken.exit_code, 2);
  EXPECT_NE(nlohmann::json::parse(broken.out)
                .at("error")
                .get<std::string>()
                .find("QvExportRules.xml is missing"),
            std::string::npos)
      << broken.out;
}

}  // namespace
}  // namespace qv::e2e
