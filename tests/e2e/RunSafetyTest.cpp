// The run as a whole when something outside it goes wrong: a second run, stop signals,
// files that cannot be written, data sources that go away.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ado/Connection.h"
#include "e2e/DiffExport.h"
#include "e2e/RunningExport.h"
#include "support/Postgres.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRows = 3000;  // several fetch blocks and pages

// Rows e0001 to e<rows>, a null note in every third one.
std::string AppsTable(int rows) {
  return "CREATE TABLE apps (tSID VARCHAR(40), name VARCHAR(40), amount NUMERIC,"
         " note VARCHAR(40), Source_Timestamp VARCHAR(30));\n"
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
         std::to_string(rows) +
         ")\nINSERT INTO apps SELECT printf('e%04d', i), 'name ' || i, i,"
         " CASE WHEN i % 3 = 0 THEN NULL ELSE 'note ' || i END, 't1' FROM n;";
}

std::string Key(int number) {
  char key[16];
  std::snprintf(key, sizeof key, "e%04d", number);
  return key;
}

// Every file below `folder` with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& name : FileNames(folder)) files[name] = ReadText(folder / name);
  return files;
}

// Whether one line of `text` holds every piece.
bool HasLineWith(const std::string& text, const std::vector<std::string>& pieces) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    bool all = true;
    for (const std::string& piece : pieces) all = all && line.find(piece) != std::string::npos;
    if (all) return true;
  }
  return false;
}

class RunSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
    InstallHoldingUploader(folder_);
    folder_.StartReceiver();
  }

  // An SQLite database in the program folder with the apps table; its connection string.
  std::string Database(const std::string& name, int rows = kRows) {
    return CreateSqliteDatabase(folder_.File(name), AppsTable(rows));
  }
  ExportRule Rule(const std::string& target, int32_t ds_id = 1) const {
    return {Out(target), ds_id, "SELECT *", "FROM apps", "", "ORDER BY tSID", "Apps"};
  }
  // Renames every `step`th entity; the "tSID=name" pairs the receiver must see.
  std::multiset<std::string> Rename(const std::string& database, int step) {
    CreateSqliteDatabase(
        folder_.File(database),
        "UPDATE apps SET name = 'new ' || amount WHERE amount % " + std::to_string(step) + " = 0;");
    std::multiset<std::string> expected;
    for (int i = step; i <= kRows; i += step) {
      expected.insert(Key(i) + "=new " + std::to_string(i));
    }
    return expected;
  }

  std::vector<Delivery> Deliveries() { return NewDeliveries(folder_.receiver(), seen_); }
  static void ExpectSeen(const std::multiset<std::string>& expected,
                         const std::vector<Delivery>& deliveries) {
    const std::multiset<std::string> seen = KeyedValues(Accepted(deliveries), "name");
    for (const std::string& pair : expected) {
      EXPECT_TRUE(seen.count(pair) > 0) << pair << " never reached the receiver";
    }
  }
  void RunOk(const std::string& mode) {
    const ExportRun run = folder_.Run({mode});
    ASSERT_EQ(run.exit_code, 0) << run.err << run.log;
  }

  std::string Out(const std::string& relative) const { return folder_.File("out/" + relative); }

  ProgramFolder folder_;
  size_t seen_ = 0;
};

TEST_F(RunSafety, ASecondRunIsTurnedAwayAndAKilledHolderBlocksNothing) {
  folder_.WriteDataSources({{1, "Apps", Database("apps.db")}});
  folder_.WriteRules({Rule("apps.xml")});
  const int call = NextUploadCall(folder_);
  Hold(folder_, call);
  RunningExport first(folder_, {"2"});
  const pid_t uploader = WaitUntilHeld(folder_, call);
  ASSERT_GT(uploader, 0);

  const ExportRun second = folder_.Run({"2"});
  EXPECT_EQ(second.exit_code, 3);
  EXPECT_TRUE(
      HasLineWith(second.err, {"another run (pid " + std::to_string(first.Pid()) + ", started ",
                               ") holds the program folder"}))
      << second.err;
  EXPECT_EQ(second.LogLines("holds the program folder"), 1) << second.log;

  first.Signal(SIGKILL);
  EXPECT_EQ(first.Wait().exit_code, 128 + SIGKILL);
  ::kill(uploader, SIGKILL);
  Release(folder_, call);
  Deliveries();
  const ExportRun third = folder_.Run({"2"});
  EXPECT_EQ(third.exit_code, 0) << third.err << third.log;
  EXPECT_EQ(Accepted(Deliveries()).size(), 5u);
}

// SIGTERM while an upload runs: the upload ends, nothing after it starts, and the last
// data moves only for what was delivered.
class StopAtSafePoint : public RunSafety, public ::testing::WithParamInterface<int> {};

TEST_P(StopAtSafePoint, TheRestIsLeftForTheNextRun) {
  const std::string mode = std::to_string(GetParam());
  folder_.WriteDataSources({{1, "Apps", Database("apps.db")}});
  folder_.WriteRules({Rule("apps.xml"), Rule("other.xml")});
  RunOk(mode);
  Deliveries();
  const std::map<std::string, std::string> last_before = Snapshot(Out("last"));
  const std::multiset<std::string> changes = Rename("apps.db", 75);

  const int call = NextUploadCall(folder_);
  Hold(folder_, call);
  RunningExport running(folder_, {mode});
  ASSERT_GT(WaitUntilHeld(folder_, call), 0);
  running.Signal(SIGTERM);
  Release(folder_, call);
  const ExportRun stopped = running.Wait();
  EXPECT_EQ(stopped.exit_code, 128 + SIGTERM) << stopped.err;
  EXPECT_EQ(stopped.LogLines("(stopped by SIGTERM)"), 1) << stopped.log;
  EXPECT_EQ(stopped.LogLines("left for the next run"), 1);
  EXPECT_EQ(stopped.LogLines("1 rule(s) worked through, 1 not run"), 1);
  std::vector<Delivery> all = Deliveries();
  EXPECT_EQ(Accepted(all).size(), 1u);

  // The one delivered file moves the last data on, but for mode 4 (only once every file
  // was delivered): mode 5's page of its own, mode 7's page and its page keys file.
  const std::map<std::string, std::string> last_after = Snapshot(Out("last"));
  ASSERT_EQ(last_after.size(), last_before.size());
  int moved = 0;
  for (const auto& [name, bytes] : last_after) moved += bytes != last_before.at(name);
  EXPECT_EQ(moved, GetParam() == 4 ? 0 : GetParam() == 5 ? 1 : 2);

  RunOk(mode);
  const std::vector<Delivery> rest = Deliveries();
  all.insert(all.end(), rest.begin(), rest.end());
  ExpectSeen(changes, all);
  RunOk(mode);
  EXPECT_TRUE(Deliveries().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, StopAtSafePoint, ::testing::Values(4, 5, 7),
                         [](const auto& mode) { return "Mode" + std::to_string(mode.param); });

TEST_F(RunSafety, ASecondSignalStopsAtOnceAndEndsTheUpload) {
  folder_.WriteDataSources({{1, "Apps", Database("apps.db")}});
  folder_.WriteRules({Rule("apps.xml")});
  RunOk("4");
  Deliveries();
  const std::string last_before = ReadText(Out("last/apps.xml"));
  const std::multiset<std::string> changes = Rename("apps.db", 75);

  const int call = NextUploadCall(folder_);
  Hold(folder_, call);
  RunningExport running(folder_, {"4"});
  const pid_t uploader = WaitUntilHeld(folder_, call);
  ASSERT_GT(uploader, 0);
  running.Signal(SIGTERM);
  running.Signal(SIGINT);
  // The held upload would keep the run for two minutes.
  const ExportRun stopped = running.Wait(60s);
  Release(folder_, call);
  EXPECT_FALSE(stopped.timed_out);
  // Both signals may be pending when the process next runs, and the lower number comes
  // first: the run names and exits with whichever it took first.
  const bool interrupt_first = stopped.exit_code == 128 + SIGINT;
  if (!interrupt_first) {
    EXPECT_EQ(stopped.exit_code, 128 + SIGTERM);
  }
  const std::string line =
      std::string("second stop signal (") + (interrupt_first ? "SIGINT" : "SIGTERM") + ")";
  EXPECT_NE(stopped.err.find(line + ", stopping at once"), std::string::npos) << stopped.err;
  EXPECT_EQ(stopped.LogLines("\tWarning\tqvdataexporter: " + line), 1) << stopped.log;
  EXPECT_FALSE(ProcessStays(uploader, 10s)) << "the upload outlived the run";

  EXPECT_EQ(ReadText(Out("last/apps.xml")), last_before);
  for (const auto& entry : fs::recursive_directory_iterator(Out(""))) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.starts_with(".")) continue;
    EXPECT_NO_THROW(ResultFile::Read(entry.path())) << entry.path();
  }

  RunOk("4");
  ExpectSeen(changes, Deliveries());
}

// SIGTERM while the built-in sender has transfers in flight (the receiver holds each
// answer a while): they end and count, nothing more is sent, the last data moves only
// for pages whose files all arrived, and the next run sends the rest.
TEST_F(RunSafety, AStopSignalLetsTheTransfersInFlightEnd) {
  folder_.WriteDataSources({{1, "Apps", Database("apps.db")}});
  folder_.WriteRules({Rule("apps.xml")});
  RunOk("7");
  Deliveries();
  std::ofstream(folder_.File("registry.reg"))
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n"
         "\"Uploader\"=\"builtin\"\r\n\"UploaderConnections\"=dword:00000008\r\n";
  const std::multiset<std::string> changes = Rename("apps.db", 75);
  folder_.receiver().FailNext(test::ReceiverMode::kStall, 1000, 1.0);
  RunningExport running(folder_, {"7"});
  // The change files still beside the result: each but the newest is on its way.
  const auto in_flight = [&] {
    size_t files = 0;
    for (const std::string& name : FileNames(Out(""))) files += !name.starts_with(".");
    return files;
  };
  for (int i = 0; i < 3000 && in_flight() < 3; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GE(in_flight(), 3u);
  running.Signal(SIGTERM);
  const ExportRun stopped = running.Wait();
  folder_.receiver().FailNext(test::ReceiverMode::kOk, 0);

  EXPECT_EQ(stopped.exit_code, 128 + SIGTERM) << stopped.err;
  EXPECT_EQ(stopped.LogLines("(stopped by SIGTERM)"), 1) << stopped.log;
  std::vector<Delivery> all = Deliveries();
  const size_t delivered = Accepted(all).size();
  EXPECT_GE(delivered, 1u);
  EXPECT_LE(delivered, 8u);                               // those in flight when the signal came
  EXPECT_EQ(FileNames(Out("LastTx")).size(), delivered);  // the run's own delivered files
  EXPECT_EQ(in_flight(), 0u);

  RunOk("7");
  const std::vector<Delivery> rest = Deliveries();
  all.insert(all.end(), rest.begin(), rest.end());
  ExpectSeen(changes, all);
}

// A file the size limit refuses: the old one stays whole, the log says which and why.
struct TooLarge {
  const char* mode;
  const char* file;  // below out/
};

void PrintTo(const TooLarge& c, std::ostream* os) { *os << "Mode" << c.mode; }

class WriteFailure : public RunSafety, public ::testing::WithParamInterface<TooLarge> {};

TEST_P(WriteFailure, TheOldFileStaysAndTheRunFails) {
  const TooLarge& param = GetParam();
  folder_.WriteDataSources({{1, "Apps", Database("apps.db")}});
  folder_.WriteRules({Rule("apps.xml")});
  RunOk(param.mode);
  Deliveries();
  const std::string before = ReadText(Out(param.file));
  ASSERT_GT(before.size(), 100000u);
  const std::multiset<std::string> changes = Rename("apps.db", 75);

  const ExportRun limited = RunLimited(folder_, {param.mode}, before.size() / 2);
  EXPECT_EQ(limited.exit_code, 1) << limited.err << limited.log;
  EXPECT_TRUE(HasLineWith(limited.log, {Out(param.file), "File too large"})) << limited.log;
  EXPECT_EQ(ReadText(Out(param.file)), before);
  for (const std::string& name : FileNames(fs::path(Out(param.file)).parent_path())) {
    if (name == ".apps.xml.keys") continue;  // the last data's keys
    EXPECT_FALSE(name.starts_with(".")) << "temporary left behind: " << name;
  }

  RunOk(param.mode);
  if (std::string(param.mode) == "4") {
    std::vector<Delivery> all = Deliveries();
    ExpectSeen(changes, all);
    EXPECT_NE(ReadText(Out(param.file)), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, WriteFailure,
                         ::testing::Values(TooLarge{"1", "apps.xml"},
                                           TooLarge{"4", "last/apps.xml"}),
                         [](const ::testing::TestParamInfo<TooLarge>& test) {
                           return std::string("Mode") + test.param.mode;
                         });

std::string LogName(std::time_t moment) {
  std::tm local{};
  localtime_r(&moment, &local);
  char name[48];
  std::strftime(name, sizeof name, "RX_%Y-%m-%d_%H.log", &local);
  return name;
}

TEST_F(RunSafety, ALogThatCannotGrowStaysWholeAndTheOutcomeGoesToStandardError) {
  folder_.WriteDataSources({{1, "Apps", Database("apps.db", 50)}});
  folder_.WriteRules({Rule("apps.xml")});
  constexpr size_t kLimit = 65536;
  // This hour's log and the next one's, in case the run crosses the hour; a few bytes
  // short of the limit, so that the first entry is cut.
  std::map<std::string, std::string> logs;
  const std::time_t now = std::time(nullptr);
  for (const std::time_t moment : {now, now + 3600}) {
    std::string text;
    while (text.size() + 40 < kLimit - 10) text += "2000-01-01 00:00:00\tInformation\tfiller\n";
    text.append(kLimit - 10 - text.size() - 1, 'x');
    text += '\n';
    test::WriteBytes(folder_.File(LogName(moment)), text);
    logs[LogName(moment)] = text;
  }

  const ExportRun run = RunLimited(folder_, {"1"}, kLimit);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(HasLineWith(run.err, {"cannot write the log file", "File too large"})) << run.err;
  EXPECT_TRUE(HasLineWith(run.err, {"qvdataexporter mode 1: rules run 1, rules failed 0"}))
      << run.err;
  for (const auto& [name, text] : logs) EXPECT_EQ(ReadText(folder_.File(name)), text) << name;
}

// A data source spoilt while the run works on another one.
struct Spoil {
  const char* name;
  const char* driver_says;
  void (*apply)(const fs::path& database);
};

void PrintTo(const Spoil& c, std::ostream* os) { *os << c.name; }

class LostSqlite : public RunSafety, public ::testing::WithParamInterface<Spoil> {};

TEST_P(LostSqlite, OnlyItsRuleFailsAndTheNextRunDeliversEverything) {
  folder_.WriteDataSources({{1, "A", Database("a.db")}, {2, "B", Database("b.db")}});
  folder_.WriteRules({Rule("b.xml", 2), Rule("a.xml", 1), Rule("b2.xml", 2)});
  RunOk("4");
  Deliveries();
  const std::string a_last = ReadText(Out("last/a.xml"));
  const std::multiset<std::string> a_changes = Rename("a.db", 75);
  Rename("b.db", 100);
  fs::copy_file(folder_.File("a.db"), folder_.File("a.good"));

  // The first upload is one of b.xml's; a.db goes before a.xml's turn.
  const int call = NextUploadCall(folder_);
  Hold(folder_, call);
  RunningExport running(folder_, {"4"});
  ASSERT_GT(WaitUntilHeld(folder_, call), 0);
  GetParam().apply(folder_.File("a.db"));
  Release(folder_, call);
  const ExportRun failed = running.Wait();
  EXPECT_EQ(failed.exit_code, 1) << failed.err;
  EXPECT_TRUE(HasLineWith(failed.log, {GetParam().driver_says})) << failed.log;
  EXPECT_EQ(ReadText(Out("last/a.xml")), a_last);
  int b2_files = 0;
  for (const Delivery& delivery : Accepted(Deliveries())) {
    b2_files += IsChangeFileName(delivery.fn, "b2.xml");
  }
  EXPECT_EQ(b2_files, kRows / 100) << "the rule after the lost one did not run";

  fs::copy_file(folder_.File("a.good"), folder_.File("a.db"), fs::copy_options::overwrite_existing);
  RunOk("4");
  ExpectSeen(a_changes, Deliveries());
}

void RemoveFile(const fs::path& file) { fs::remove(file); }

void OverwriteHeader(const fs::path& file) {
  std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
  out << std::string(100, 'x');
}

INSTANTIATE_TEST_SUITE_P(
    Ways, LostSqlite,
    ::testing::Values(Spoil{"Removed", "unable to open database file", RemoveFile},
                      Spoil{"Corrupt", "not a database", OverwriteHeader}),
    [](const ::testing::TestParamInfo<Spoil>& test) { return std::string(test.param.name); });

// A database server of the test's own on a free port, started by one of the scripts of
// tests/support, since the test stops it; removed again with the object.
class OwnServer {
 public:
  explicit OwnServer(std::string script = "pg_test_env.sh") : script_(std::move(script)) {
    const ChildResult started = Script({});
    // "<script>: cluster in <dir> (stop with: ...)", or "server in".
    const size_t in = started.err.find(" in ", started.err.find("_test_env: "));
    const size_t end = started.err.find(" (stop", in);
    if (started.exit_code != 0 || in == std::string::npos || end == std::string::npos) {
      throw std::runtime_error("no server: " + started.err);
    }
    dir_ = started.err.substr(in + 4, end - in - 4);
    connection_string_ = started.out.substr(0, started.out.find('\n'));
  }
  ~OwnServer() { Script({"--stop", dir_}); }
  OwnServer(const OwnServer&) = delete;
  OwnServer& operator=(const OwnServer&) = delete;

  const std::string& ConnectionString() const { return connection_string_; }
  void Pause() const { ASSERT_EQ(Script({"--pause", dir_}).exit_code, 0); }
  // Stops the server at once, without a word to its clients.
  void Kill() const { ASSERT_EQ(Script({"--kill", dir_}).exit_code, 0); }
  void Resume() const { ASSERT_EQ(Script({"--resume", dir_}).exit_code, 0); }

 private:
  ChildResult Script(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"/bin/sh", QV_TEST_DATA_DIR "/../support/" + script_};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunChild(argv);
  }

  std::string script_;
  std::string dir_;
  std::string connection_string_;
};

TEST_F(RunSafety, APostgresServerThatGoesAwayFailsOnlyTheRulesItCannotServe) {
  if (PostgresConnectionString().empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
  const OwnServer cluster;
  PostgresTables tables(cluster.ConnectionString());
  std::vector<std::string> names;
  for (const char* base : {"one", "two", "four"}) {
    names.push_back(tables.Table(base));
    tables.Execute(CreateAppsTable(names.back()));
    tables.Execute(InsertNumberedApps(names.back(), kRows));
  }
  folder_.WriteDataSources(
      {{1, "Pg", cluster.ConnectionString()}, {2, "Lite", Database("apps.db")}});
  const auto pg_rule = [&](const std::string& table) {
    return ExportRule{
        Out(table + ".xml"), 1,     std::string("SELECT ") + kAppsColumns, "FROM " + table, "",
        "ORDER BY tSID",     "Apps"};
  };
  folder_.WriteRules(
      {pg_rule(names[0]), pg_rule(names[1]), Rule("lite.xml", 2), pg_rule(names[2])});

  // The server goes with the first rule's upload and comes back with the third's.
  const int first = NextUploadCall(folder_);
  Hold(folder_, first);
  Hold(folder_, first + 1);
  RunningExport running(folder_, {"4"});
  ASSERT_GT(WaitUntilHeld(folder_, first), 0);
  cluster.Pause();
  Release(folder_, first);
  ASSERT_GT(WaitUntilHeld(folder_, first + 1), 0);
  cluster.Resume();
  Release(folder_, first + 1);
  const ExportRun failed = running.Wait();
  EXPECT_EQ(failed.exit_code, 1) << failed.err;
  // psqlODBC words a lost server in several ways, depending on when it notices (a keyed
  // mode prepares the query before it runs it); libpq in one.
  EXPECT_TRUE(
      HasLineWith(failed.log, {"CQvDataExporter.GetRS", "connection has been lost"}) ||
      HasLineWith(failed.log, {"CQvDataExporter.GetRS", "connection is down"}) ||
      HasLineWith(failed.log, {"CQvDataExporter.GetRS", "connection lost"}) ||
      HasLineWith(failed.log, {"CQvDataExporter.GetRS", "connection to the server was lost"}))
      << failed.log;
  std::vector<std::string> sent;
  for (const Delivery& delivery : Accepted(Deliveries())) sent.push_back(delivery.fn);
  EXPECT_EQ(sent, (std::vector<std::string>{names[0] + ".xml", "lite.xml", names[2] + ".xml"}));
  EXPECT_FALSE(fs::exists(Out("last/" + names[1] + ".xml")));

  RunOk("4");
  const std::vector<Delivery> recovered = Accepted(Deliveries());
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0].fn, names[1] + ".xml");
  EXPECT_EQ(recovered[0].file->rows.size(), static_cast<size_t>(kRows));
}

// A server stopped at once while a long result is read, by each way to it.
struct LostServer {
  const char* name;
  const char* script;  // in tests/support
  bool mariadb;
  const char* options;      // added to the connection string
  const char* fill;         // makes table big
  const char* driver_says;  // in the failed run's log
};

void PrintTo(const LostServer& c, std::ostream* os) { *os << c.name; }

class LostServerDuringRead : public RunSafety, public ::testing::WithParamInterface<LostServer> {};

TEST_P(LostServerDuringRead, FailsTheRuleWithoutACrashAndTheNextRunWritesEverything) {
  const LostServer& c = GetParam();
  if ((c.mariadb ? test::MariadbConnectionString() : PostgresConnectionString()).empty()) {
    GTEST_SKIP() << (c.mariadb ? "QV_TEST_MARIADB" : "QV_TEST_PG") << " is not set";
  }
  constexpr int kBigRows = 400000;
  const OwnServer server(c.script);
  {
    ado::Connection db;
    db.Open(server.ConnectionString());
    std::string fill = c.fill;
    fill.replace(fill.find("ROWS"), 4, std::to_string(kBigRows));
    db.Execute(fill);
  }
  folder_.WriteDataSources({{1, "Big", server.ConnectionString() + c.options}});
  folder_.WriteRules(
      {{Out("big.xml"), 1, "SELECT id, note", "FROM big", "", "ORDER BY id", "Big"}});

  RunningExport running(folder_, {"1"});
  // psqlODBC and libpq stream the rows into a temporary file beside big.xml: stopped
  // while they come in. MariaDB's driver takes in the whole result when the query runs,
  // right after the run names the rule's file: stopped then.
  const auto reading = [&] {
    std::error_code error;
    if (c.mariadb) {
      for (const std::string& name : FileNames(folder_.Path())) {
        if (name.starts_with("RX_") &&
            HasLineWith(ReadText(folder_.Path() / name), {"Start", "File: " + Out("big.xml")})) {
          return true;
        }
      }
      return false;
    }
    for (const auto& entry : fs::directory_iterator(Out(""), error)) {
      if (entry.file_size(error) > 256 * 1024) return true;
    }
    return false;
  };
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (!reading() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(2ms);
  }
  server.Kill();
  const ExportRun failed = running.Wait();
  EXPECT_EQ(failed.exit_code, 1) << failed.err;
  EXPECT_TRUE(HasLineWith(failed.log, {c.driver_says})) << failed.log;
  // The server's parting notice goes to the log, never raw to standard error.
  EXPECT_FALSE(failed.err.starts_with("WARNING:") ||
               failed.err.find("\nWARNING:") != std::string::npos)
      << failed.err;
  EXPECT_FALSE(fs::exists(Out("big.xml")));

  server.Resume();
  const ExportRun next = folder_.Run({"1"});
  ASSERT_EQ(next.exit_code, 0) << next.err << next.log;
  const std::string file = ReadText(Out("big.xml"));
  size_t rows = 0;
  for (size_t at = file.find("<z:row "); at != std::string::npos; at = file.find("<z:row ", at + 1))
    ++rows;
  EXPECT_EQ(rows, static_cast<size_t>(kBigRows));
}

constexpr const char* kPgFill =
    "CREATE TABLE big AS SELECT g AS id, md5(g::text) AS note FROM generate_series(1, ROWS) g";

INSTANTIATE_TEST_SUITE_P(
    Ways, LostServerDuringRead,
    ::testing::Values(
        LostServer{"Psqlodbc", "pg_test_env.sh", false, ";NativePostgres=0", kPgFill,
                   "The connection has been lost"},
        LostServer{"Libpq", "pg_test_env.sh", false, "", kPgFill,
                   "the connection to the server was lost"},
        LostServer{
            "Mariadb", "mariadb_test_env.sh", true, "",
            "CREATE TABLE big AS SELECT seq AS id, REPEAT(MD5(seq), 4) AS note FROM seq_1_to_ROWS",
            "Lost connection to server"}),
    [](const ::testing::TestParamInfo<LostServer>& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace qv::e2e
