// The built qvdataexporter against command-line tools doing the same job, measured in
// the same run:
//   sqlite:   mode 1 over a table of N rows x 10 columns vs `sqlite3 -csv` writing the
//             same query to a file: time ratio (goal <= 1.2x), on the native path and
//             through the ODBC driver (NativeSqlite=0); peak memory of the
//             program vs the size of the file it wrote (goal <= 1.5x)
//   postgres: the same vs `psql -c "\copy (query) to file csv"`: through libpq (goal
//             <= 1.2x) and through psqlODBC (NativePostgres=0, shown beside it); then
//             mode 7 with nothing changed vs mode 1 through libpq (goal <= 3x), sending
//             its first run to a sink in this process; needs QV_TEST_PG, skipped without it
//   mariadb:  the same vs `mariadb -B -e "query" > file` (goal <= 1.5x); needs
//             QV_TEST_MARIADB, skipped without it
//   uploads:  mode 3 sending 200 small part files to a local receiver vs 200 bare
//             `curl --data-binary @file URL` runs posting the same files (goal <= 1.2x);
//             upload.exe alone on the same files is shown as well, and 200 calls of
//             CQVFileXfer::TransferFile in this process on copies of the files
//             (goal <= 1.2x against the same curl runs)
//   diff:     mode 4 with 0% and 1% of the rows changed vs mode 1 over the SQLite table,
//             each after an earlier mode 4 run left the keys of its last data (the first
//             run, which reads the last-data file itself, is shown as well)
//             (goal <= 1.5x without the uploads), and mode 4's peak memory vs the
//             last-data file (goal <= 1.5x)
// The mode 1 runs also show what a plain fsync of a file of the result's size, and of
// its folder, costs on the same disk: the save flushes the result before it replaces
// the old one, so that much of the program's time is the disk's, not the program's.
// The mode 1 runs and their baselines are medians of three runs taken in turns.
// Times are wall clock; CPU is user + system of the process and everything it waited
// for, which a busy machine disturbs less.
//
// Usage: bench_export [--rows N[,N...]] [--dir PATH]
//   [--only sqlite|postgres|mariadb|diff|uploads]
//   [--keep] (default 1,000,000 rows in the temp folder; the sqlite and postgres
//   sections run once per row count, e.g. --rows 1000000,5000000, the diff section at
//   the first; peak memory of mode 1 goal <= 64 MiB; --keep leaves the work folder, its
//   program folders ready for a profiler run, and the PostgreSQL and MariaDB tables)

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "HttpSink.h"
#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "db/OdbcConnectionString.h"
#include "store/CQvXMLManip.h"
#include "upload/CQVFileXfer.h"
#include "values/AdoEnums.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kUploadRules = 10;
constexpr int kPartsPerRule = 20;  // mode 3
constexpr int kRowsPerUploadRule = 200;

using bench::BinaryDir;
using bench::MakeProgramFolder;
using bench::Measure;
using bench::Require;
using bench::Run;
using bench::RunAll;
using bench::RunExporter;
using bench::SourceDir;
using bench::Spawn;
using bench::Start;

double MB(double kb) { return kb / 1024.0; }

// Each run three times, taking turns, so that a slow spell of the machine falls on all
// of them alike; per run, the measure of median time (with the highest peak memory).
std::vector<Measure> MediansOf3(const std::vector<std::function<Measure()>>& runs) {
  std::vector<std::vector<Measure>> taken(runs.size());
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < runs.size(); ++i) taken[i].push_back(runs[i]());
  }
  std::vector<Measure> medians;
  for (std::vector<Measure>& three : taken) {
    long peak = 0;
    for (const Measure& m : three) peak = std::max(peak, m.peak_kb);
    std::sort(three.begin(), three.end(),
              [](const Measure& a, const Measure& b) { return a.seconds < b.seconds; });
    medians.push_back(three[1]);
    medians.back().peak_kb = peak;
  }
  return medians;
}
double FileMB(const fs::path& path) { return static_cast<double>(fs::file_size(path)) / 1048576.0; }

double CpuSeconds(int who) {
  struct rusage usage {};
  ::getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Writes a file of `bytes` beside `like` and returns the seconds that fsync of the
// file and of its folder take; the file is removed again.
double FsyncSeconds(const fs::path& like, uintmax_t bytes) {
  const fs::path path = like.parent_path() / ".fsync-probe";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path.string());
  const std::vector<char> block(size_t{1} << 20, 'x');
  for (uintmax_t left = bytes; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uintmax_t>(left, block.size()));
    if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
      ::close(fd);
      throw std::runtime_error("cannot write " + path.string());
    }
    left -= n;
  }
  const auto started = Clock::now();
  ::fsync(fd);
  const int folder = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  ::close(fd);
  fs::remove(path);
  return seconds;
}

void PrintFsync(const fs::path& target, const Measure& program) {
  const double seconds = FsyncSeconds(target, fs::file_size(target));
  std::printf("  %-34s %8.2f s  (%.0f%% of the program's time)\n", "fsync of a file that size",
              seconds, 100.0 * seconds / program.seconds);
}

void PrintRow(const char* what, const Measure& m, std::optional<double> file_mb) {
  std::printf("  %-34s %8.2f s  cpu %8.2f s  peak %8.1f MB", what, m.seconds, m.cpu_seconds,
              MB(static_cast<double>(m.peak_kb)));
  if (file_mb) std::printf("  file %8.1f MB", *file_mb);
  std::printf("\n");
}

void PrintRatio(const char* what, double value, double goal) {
  std::printf("  %-34s %8.2f   (goal <= %.1f: %s)\n", what, value, goal,
              value <= goal ? "met" : "MISSED");
}

const char* kColumns = "id, tSID, name, category, qty, price, weight, created, active, note";

// The SQLite table of `rows` rows x 10 columns in `dir`, made once for every section.
fs::path SqliteTable(const fs::path& dir, long rows) {
  const fs::path db = dir / ("big-" + std::to_string(rows) + ".db");
  if (fs::exists(db)) return db;
  const fs::path script = dir / "big.sql";
  std::ofstream(script)
      << "CREATE TABLE big(id INTEGER, tSID VARCHAR(38), name VARCHAR(40), category VARCHAR(20),"
         " qty INTEGER, price REAL, weight DOUBLE, created DATETIME, active BOOLEAN,"
         " note VARCHAR(80));\n"
         "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < "
      << rows
      << ")\n"
         "INSERT INTO big SELECT x, printf('{%08X-0000-4000-8000-%012X}', x, x * 7919),"
         " 'Item ' || x, 'category ' || (x % 17), x % 1000, (x % 10000) / 100.0, x * 0.001,"
         " datetime(1700000000 + x, 'unixepoch'), x % 2,"
         " 'note ' || (x * 31 % 997) || ' for item ' || x FROM c;\n";
  Spawn create;
  create.argv = {"sh", "-c", "sqlite3 \"$0\" < \"$1\"", db.string(), script.string()};
  Require(Run(create), "creating the SQLite table");
  return db;
}

void BenchSqlite(const fs::path& dir, long rows) {
  std::printf("sqlite: mode 1, %ld rows x 10 columns\n", rows);
  const fs::path db = SqliteTable(dir, rows);

  // The default native path and the ODBC driver (NativeSqlite=0), each in its folder.
  const fs::path target = dir / "sqlite" / "out" / "big.xml";
  const fs::path odbc_target = dir / "sqlite-odbc" / "out" / "big.xml";
  MakeProgramFolder(dir / "sqlite", "Driver=SQLite3;Database=" + db.string(),
                    {{target.string(), std::string("SELECT ") + kColumns, "FROM big", "", "Big"}},
                    "http://127.0.0.1:9/unused");
  MakeProgramFolder(
      dir / "sqlite-odbc", "Driver=SQLite3;NativeSqlite=0;Database=" + db.string(),
      {{odbc_target.string(), std::string("SELECT ") + kColumns, "FROM big", "", "Big"}},
      "http://127.0.0.1:9/unused");
  Spawn csv;
  const fs::path csv_file = dir / "big.csv";
  csv.argv = {"sqlite3", "-csv", db.string(), std::string("SELECT ") + kColumns + " FROM big"};
  csv.stdout_path = csv_file.string();
  const std::vector<Measure> medians = MediansOf3({
      [&] { return Require(RunExporter(dir / "sqlite", "1"), "qvdataexporter"); },
      [&] {
        return Require(RunExporter(dir / "sqlite-odbc", "1"), "qvdataexporter (NativeSqlite=0)");
      },
      [&] { return Require(Run(csv), "sqlite3 -csv"); },
  });
  const Measure& program = medians[0];
  const Measure& odbc = medians[1];
  const Measure& baseline = medians[2];

  PrintRow("qvdataexporter 1", program, FileMB(target));
  PrintRow("qvdataexporter 1, NativeSqlite=0", odbc, FileMB(odbc_target));
  PrintRow("sqlite3 -csv > file", baseline, FileMB(csv_file));
  PrintFsync(target, program);
  PrintRatio("time ratio", program.seconds / baseline.seconds, 1.2);
  PrintRatio("cpu ratio", program.cpu_seconds / baseline.cpu_seconds, 1.2);
  PrintRatio("time ratio, NativeSqlite=0", odbc.seconds / baseline.seconds, 1.2);
  PrintRatio("cpu ratio, NativeSqlite=0", odbc.cpu_seconds / baseline.cpu_seconds, 1.2);
  PrintRatio("peak memory, MiB", MB(static_cast<double>(program.peak_kb)), 64);
  fs::remove(odbc_target);
  fs::remove(target);
  fs::remove(csv_file);
}

// The libpq form of an ODBC connection string for PostgreSQL; the password apart.
std::string LibpqConnection(const std::string& odbc, std::string& password) {
  std::string text;
  for (const ado::ConnectionStringPair& pair : ado::ParseConnectionString(odbc)) {
    std::string key = pair.key;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = pair.value;
    if (value.size() >= 2 && value.front() == '{' && value.back() == '}') {
      value = value.substr(1, value.size() - 2);
    }
    if (key == "server" || key == "servername") text += " host=" + value;
    if (key == "port") text += " port=" + value;
    if (key == "database") text += " dbname=" + value;
    if (key == "uid" || key == "username") text += " user=" + value;
    if (ado::IsPasswordKey(pair.key)) password = value;
  }
  return text;
}

void BenchPostgres(const fs::path& dir, long rows, bool keep_table) {
  const char* env = std::getenv("QV_TEST_PG");
  if (env == nullptr || *env == '\0') {
    std::printf("postgres: skipped (QV_TEST_PG is not set)\n");
    return;
  }
  std::printf("postgres: mode 1, %ld rows x 10 columns\n", rows);
  const std::string table = "qv_bench_" + std::to_string(::getpid());
  ado::Connection db;
  db.Open(env);
  db.SetCommandTimeout(0);
  db.Execute("CREATE TABLE " + table +
             "(id integer, tSID varchar(38), name varchar(40), category varchar(20), qty integer,"
             " price numeric(10,2), weight double precision, created timestamp, active boolean,"
             " note varchar(80))");
  struct Drop {
    ado::Connection& db;
    std::string table;
    bool keep;
    ~Drop() {
      if (keep) return;
      try {
        db.Execute("DROP TABLE IF EXISTS " + table);
      } catch (...) {
      }
    }
  } drop{db, table, keep_table};
  db.Execute("INSERT INTO " + table +
             " SELECT x, '{' || lpad(upper(to_hex(x)), 8, '0') || '-0000-4000-8000-' ||"
             " lpad(upper(to_hex(x::bigint * 7919)), 12, '0') || '}', 'Item ' || x, 'category ' || "
             "(x % 17),"
             " x % 1000, (x % 10000) / 100.0, x * 0.001,"
             " timestamp '2023-11-14 22:13:20' + x * interval '1 second', x % 2 = 1,"
             " 'note ' || (x * 31 % 997) || ' for item ' || x FROM generate_series(1, " +
             std::to_string(rows) + ") AS x");
  db.Execute("ANALYZE " + table);

  const fs::path folder = dir / "postgres";
  const fs::path target = folder / "out" / "big.xml";
  const fs::path odbc_folder = dir / "postgres-odbc";
  const fs::path odbc_target = odbc_folder / "out" / "big.xml";
  const std::string select = std::string("SELECT ") + kColumns;
  MakeProgramFolder(folder, env, {{target.string(), select, "FROM " + table, "", "Big"}},
                    "http://127.0.0.1:9/unused");
  MakeProgramFolder(odbc_folder, std::string(env) + ";NativePostgres=0",
                    {{odbc_target.string(), select, "FROM " + table, "", "Big"}},
                    "http://127.0.0.1:9/unused");
  std::string password;
  const std::string conninfo = LibpqConnection(env, password);
  const fs::path csv_file = dir / "big-pg.csv";
  Spawn copy;
  copy.argv = {
      "psql",
      "-X",
      "-q",
      "-v",
      "ON_ERROR_STOP=1",
      conninfo,
      "-c",
      std::string("\\copy (") + select + " FROM " + table + ") to '" + csv_file.string() + "' csv"};
  copy.env["PGPASSWORD"] = password;
  const std::vector<Measure> medians = MediansOf3({
      [&] { return Require(RunExporter(folder, "1"), "qvdataexporter"); },
      [&] { return Require(RunExporter(odbc_folder, "1"), "qvdataexporter (NativePostgres=0)"); },
      [&] { return Require(Run(copy), "psql \\copy"); },
  });
  const Measure& program = medians[0];
  const Measure& odbc = medians[1];
  const Measure& baseline = medians[2];

  PrintRow("qvdataexporter 1", program, FileMB(target));
  PrintRow("qvdataexporter 1, NativePostgres=0", odbc, FileMB(odbc_target));
  PrintRow("psql \\copy to file csv", baseline, FileMB(csv_file));
  PrintFsync(target, program);
  PrintRatio("time ratio", program.seconds / baseline.seconds, 1.2);
  PrintRatio("cpu ratio", program.cpu_seconds / baseline.cpu_seconds, 1.5);
  PrintRatio("time ratio, NativePostgres=0", odbc.seconds / baseline.seconds, 3.0);
  PrintRatio("peak memory, MiB", MB(static_cast<double>(program.peak_kb)), 64);
  fs::remove(odbc_target);
  fs::remove(csv_file);

  // Mode 7 over the same table: a first run sends every page to the sink, the next
  // finds nothing changed.
  bench::HttpSink sink;
  const fs::path paged = dir / "postgres-7";
  const fs::path paged_target = paged / "out" / "big.xml";
  MakeProgramFolder(paged, env, {{paged_target.string(), select, "FROM " + table, "", "Big"}},
                    sink.Url(), "\"Uploader\"=\"builtin\"\r\n");
  Require(RunExporter(paged, "7"), "qvdataexporter 7, first run");
  const std::vector<Measure> paged_medians = MediansOf3({
      [&] { return Require(RunExporter(paged, "7"), "qvdataexporter 7"); },
      [&] { return Require(RunExporter(folder, "1"), "qvdataexporter 1"); },
  });
  PrintRow("qvdataexporter 7, nothing changed", paged_medians[0], std::nullopt);
  PrintRatio("mode 7 nothing changed / mode 1", paged_medians[0].seconds / paged_medians[1].seconds,
             3.0);
  fs::remove(target);
}

// The mariadb client's arguments for an ODBC connection string of MariaDB's driver; the
// password apart.
std::vector<std::string> MariadbClientArgs(const std::string& odbc, std::string& password) {
  std::vector<std::string> args = {"mariadb", "--no-defaults", "--default-character-set=utf8mb4"};
  std::string database;
  for (const ado::ConnectionStringPair& pair : ado::ParseConnectionString(odbc)) {
    std::string key = pair.key;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = pair.value;
    if (value.size() >= 2 && value.front() == '{' && value.back() == '}') {
      value = value.substr(1, value.size() - 2);
    }
    if (key == "server") args.push_back("--host=" + value);
    if (key == "port") args.push_back("--port=" + value);
    if (key == "uid" || key == "user") args.push_back("--user=" + value);
    if (key == "database" || key == "db") database = value;
    if (ado::IsPasswordKey(pair.key)) password = value;
  }
  args.push_back("--database=" + database);
  return args;
}

void BenchMariadb(const fs::path& dir, long rows, bool keep_table) {
  const char* env = std::getenv("QV_TEST_MARIADB");
  if (env == nullptr || *env == '\0') {
    std::printf("mariadb: skipped (QV_TEST_MARIADB is not set)\n");
    return;
  }
  std::printf("mariadb: mode 1, %ld rows x 10 columns\n", rows);
  const std::string table = "qv_bench_" + std::to_string(::getpid());
  ado::Connection db;
  db.Open(env);
  db.SetCommandTimeout(0);
  db.Execute("CREATE TABLE " + table +
             "(id integer, tSID varchar(38), name varchar(40), category varchar(20), qty integer,"
             " price decimal(10,2), weight double, created datetime, active boolean,"
             " note varchar(80))");
  struct Drop {
    ado::Connection& db;
    std::string table;
    bool keep;
    ~Drop() {
      if (keep) return;
      try {
        db.Execute("DROP TABLE IF EXISTS " + table);
      } catch (...) {
      }
    }
  } drop{db, table, keep_table};
  db.Execute("INSERT INTO " + table +
             " SELECT x, CONCAT('{', LPAD(HEX(x), 8, '0'), '-0000-4000-8000-', "
             "LPAD(HEX(x * 7919), 12, '0'), '}'), CONCAT('Item ', x), CONCAT('category ', x % 17),"
             " x % 1000, (x % 10000) / 100.0, x * 0.001e0,"
             " TIMESTAMP '2023-11-14 22:13:20' + INTERVAL x SECOND, x % 2 = 1,"
             " CONCAT('note ', x * 31 % 997, ' for item ', x)"
             " FROM (SELECT CAST(seq AS SIGNED) AS x FROM seq_1_to_" +
             std::to_string(rows) + ") AS g");
  db.Execute("ANALYZE TABLE " + table);

  const fs::path folder = dir / "mariadb";
  const fs::path target = folder / "out" / "big.xml";
  MakeProgramFolder(
      folder, env,
      {{target.string(), std::string("SELECT ") + kColumns, "FROM " + table, "", "Big"}},
      "http://127.0.0.1:9/unused");
  std::string password;
  const fs::path tsv_file = dir / "big-mariadb.tsv";
  Spawn client;
  client.argv = MariadbClientArgs(env, password);
  client.argv.insert(client.argv.end(),
                     {"-B", "-e", std::string("SELECT ") + kColumns + " FROM " + table});
  client.env["MYSQL_PWD"] = password;
  client.stdout_path = tsv_file.string();
  const std::vector<Measure> medians = MediansOf3({
      [&] { return Require(RunExporter(folder, "1"), "qvdataexporter"); },
      [&] { return Require(Run(client), "mariadb -B"); },
  });
  const Measure& program = medians[0];
  const Measure& baseline = medians[1];

  PrintRow("qvdataexporter 1", program, FileMB(target));
  PrintRow("mariadb -B -e > file", baseline, FileMB(tsv_file));
  PrintFsync(target, program);
  PrintRatio("time ratio", program.seconds / baseline.seconds, 1.5);
  PrintRatio("peak memory, MiB", MB(static_cast<double>(program.peak_kb)), 64);
  fs::remove(target);
  fs::remove(tsv_file);
}

// The test receiver on a free port of 127.0.0.1, for the lifetime of the object.
class Receiver {
 public:
  explicit Receiver(const fs::path& dir) {
    const fs::path port_file = dir / "receiver.port";
    // An earlier receiver of the same run left its port there.
    fs::remove(port_file);
    Spawn spawn;
    spawn.argv = {"python3",     (SourceDir() / "tests" / "support" / "receiver.py").string(),
                  "--root",      (dir / "received").string(),
                  "--port-file", port_file.string()};
    pid_ = Start(spawn);
    for (int i = 0; i < 150 && !fs::exists(port_file); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::ifstream in(port_file);
    int port = 0;
    if (!(in >> port)) throw std::runtime_error("the receiver did not start");
    url_ = "http://127.0.0.1:" + std::to_string(port) + "/upload";
  }
  ~Receiver() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  const std::string& Url() const { return url_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
};

// Mode 4 (per-entity diff) against mode 1 over the SQLite table, each run a process
// of its own: with nothing changed, and with 1% of the rows changed, the change files
// sent by the built-in sender to the local receiver. "Uploads aside" is the same 1%
// run without an upload address, the change files set aside in Unsent: the walk, the
// change files and the last data without any upload; the run whose every send is
// refused at once (nothing listens at the address) shows the cost of the attempts.
void BenchDiff(const fs::path& dir, long rows) {
  std::printf("diff: mode 4 vs mode 1, %ld rows x 10 columns\n", rows);
  ::setenv("NO_PROXY", "127.0.0.1", 1);
  ::setenv("no_proxy", "127.0.0.1", 1);
  const Receiver receiver(dir);
  const fs::path db = dir / "diff.db";
  fs::copy_file(SqliteTable(dir, rows), db, fs::copy_options::overwrite_existing);
  const std::string connection = "Driver=SQLite3;Database=" + db.string();
  const std::string select = std::string("SELECT ") + kColumns;
  const std::string builtin = "\"Uploader\"=\"builtin\"\r\n";

  const fs::path plain = dir / "diff-1";
  const fs::path plain_target = plain / "out" / "big.xml";
  MakeProgramFolder(plain, connection, {{plain_target.string(), select, "FROM big", "", "Big"}},
                    "http://127.0.0.1:9/unused", builtin);
  const Measure mode1 = RunExporter(plain, "1");
  Require(mode1, "qvdataexporter 1");
  const fs::path last_copy = dir / "diff-last.xml";
  fs::copy_file(plain_target, last_copy, fs::copy_options::overwrite_existing);
  fs::remove(plain_target);

  // Program folders whose last data is the mode 1 result, each primed by a mode 4 run
  // over the unchanged table: that run reads the last-data file itself and leaves its
  // keys beside it, as every later run finds them.
  Measure first_run{};
  const auto prime = [&](const std::string& name, const std::string& url) {
    const fs::path folder = dir / name;
    const fs::path target = folder / "out" / "big.xml";
    MakeProgramFolder(folder, connection, {{target.string(), select, "FROM big", "", "Big"}}, url,
                      builtin);
    fs::create_directories(folder / "out" / "last");
    fs::copy_file(last_copy, folder / "out" / "last" / "big.xml",
                  fs::copy_options::overwrite_existing);
    const Measure m = RunExporter(folder, "4");
    Require(m, "qvdataexporter 4 (priming " + name + ")");
    if (first_run.seconds == 0) first_run = m;
  };
  const auto run_mode4 = [&](const std::string& name, const std::string& url) {
    const fs::path folder = dir / name;
    const Measure m = RunExporter(folder, "4");
    // Refused sends make the run end with status 1.
    if (m.exit_code != 1 || (!url.empty() && url.find(":9/") == std::string::npos)) {
      Require(m, "qvdataexporter 4 (" + name + ")");
    }
    return m;
  };
  prime("diff-4-same", receiver.Url());
  prime("diff-4-changed", receiver.Url());
  prime("diff-4-refused", "http://127.0.0.1:9/upload");
  prime("diff-4-unsent", "");
  const Measure unchanged = run_mode4("diff-4-same", receiver.Url());
  Spawn update;
  update.argv = {"sqlite3", db.string(),
                 "UPDATE big SET note = note || ' changed' WHERE id % 100 = 0"};
  Require(Run(update), "changing 1% of the rows");
  const Measure changed = run_mode4("diff-4-changed", receiver.Url());
  const Measure refused = run_mode4("diff-4-refused", "http://127.0.0.1:9/upload");
  const Measure aside = run_mode4("diff-4-unsent", "");
  for (const char* name : {"diff-4-same", "diff-4-changed", "diff-4-refused", "diff-4-unsent"}) {
    fs::remove_all(dir / name / "out");
  }

  const double last_mb = FileMB(last_copy);
  PrintRow("qvdataexporter 1", mode1, last_mb);
  PrintRow("qvdataexporter 4, first run, 0%", first_run, std::nullopt);
  PrintRow("qvdataexporter 4, 0% changed", unchanged, std::nullopt);
  PrintRow("qvdataexporter 4, 1% changed", changed, std::nullopt);
  PrintRow("  the same, sends refused", refused, std::nullopt);
  PrintRow("  the same, no upload address", aside, std::nullopt);
  PrintRatio("first run (no keys file) / mode 1", first_run.seconds / mode1.seconds, 1.5);
  PrintRatio("0% changed / mode 1 time", unchanged.seconds / mode1.seconds, 1.5);
  PrintRatio("1% changed / mode 1 time", changed.seconds / mode1.seconds, 1.5);
  PrintRatio("1%, uploads aside / mode 1 time", aside.seconds / mode1.seconds, 1.5);
  PrintRatio("1%, uploads aside / mode 1 cpu", aside.cpu_seconds / mode1.cpu_seconds, 1.5);
  const double peak_kb = static_cast<double>(std::max(
      {first_run.peak_kb, unchanged.peak_kb, changed.peak_kb, refused.peak_kb, aside.peak_kb}));
  PrintRatio("mode 4 peak / last-data file", MB(peak_kb) / last_mb, 1.5);
  fs::remove(last_copy);
  fs::remove(db);
}

void BenchUploads(const fs::path& dir) {
  const int uploads = kUploadRules * kPartsPerRule;
  std::printf("uploads: mode 3, %d rules x %d parts = %d small files\n", kUploadRules,
              kPartsPerRule, uploads);
  ::setenv("NO_PROXY", "127.0.0.1", 1);
  ::setenv("no_proxy", "127.0.0.1", 1);
  const Receiver receiver(dir);

  const fs::path db = dir / "small.db";
  const fs::path script = dir / "small.sql";
  std::ofstream(script) << "CREATE TABLE small(id INTEGER, name VARCHAR(40), qty INTEGER);\n"
                           "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c"
                           " WHERE x < "
                        << kRowsPerUploadRule
                        << ")\nINSERT INTO small SELECT x, 'Item ' || x, x % 7 FROM c;\n";
  Spawn create;
  create.argv = {"sh", "-c", "sqlite3 \"$0\" < \"$1\"", db.string(), script.string()};
  Require(Run(create), "creating the SQLite table");

  const fs::path folder = dir / "uploads";
  std::vector<bench::RuleText> rules;
  for (int r = 0; r < kUploadRules; ++r) {
    rules.push_back({(folder / "out" / ("rule" + std::to_string(r) + ".xml")).string(),
                     "SELECT id, name, qty", "FROM small", "ORDER BY id",
                     "Rule " + std::to_string(r)});
  }
  MakeProgramFolder(folder, "Driver=SQLite3;Database=" + db.string(), rules, receiver.Url());
  const Measure program = RunExporter(folder, "3");
  Require(program, "qvdataexporter");

  // The same files, posted to the same addresses by bare curl and by the uploader.
  std::vector<Spawn> curls;
  std::vector<Spawn> uploaders;
  for (int r = 0; r < kUploadRules; ++r) {
    for (int p = 0; p < kPartsPerRule; ++p) {
      const std::string name = "rule" + std::to_string(r) + ".xml_" + std::to_string(p);
      const std::string file = "@" + (folder / "out" / "LastTx" / name).string();
      const std::string url = receiver.Url() + "?ImpID=Rule%20" + std::to_string(r) + "&FN=" + name;
      Spawn curl;
      curl.argv = {"curl", "--data-binary", file, url};
      curls.push_back(curl);
      Spawn uploader;
      uploader.argv = {(folder / "upload.exe").string(), "--data-binary", file, url, "-k"};
      uploaders.push_back(uploader);
    }
  }
  const Measure baseline = RunAll(curls);
  Require(baseline, "curl");
  const Measure uploader = RunAll(uploaders);
  Require(uploader, "upload.exe");

  // The same files through CQVFileXfer in this process, from a folder of their own so
  // that each moves into that folder's LastTx afterwards.
  const fs::path xfer_folder = dir / "xfer";
  fs::create_directories(xfer_folder);
  std::vector<std::pair<std::string, std::string>> transfers;  // file, import rule
  for (int r = 0; r < kUploadRules; ++r) {
    for (int p = 0; p < kPartsPerRule; ++p) {
      const std::string name = "rule" + std::to_string(r) + ".xml_" + std::to_string(p);
      fs::copy_file(folder / "out" / "LastTx" / name, xfer_folder / name);
      transfers.emplace_back((xfer_folder / name).string(), "Rule " + std::to_string(r));
    }
  }
  ::setenv("QVDATAEXPORTER_HOME", folder.c_str(), 1);
  Measure xfer;
  xfer.exit_code = 0;
  const double cpu_before = CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN);
  const auto started = Clock::now();
  for (const auto& [file, rule] : transfers) {
    qv::CQVFileXfer sender;
    sender.MoveToLastTx = true;
    if (!sender.TransferFile(file, rule)) xfer.exit_code = 1;
  }
  xfer.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  xfer.cpu_seconds = CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN) - cpu_before;
  struct rusage children {};
  ::getrusage(RUSAGE_CHILDREN, &children);
  xfer.peak_kb = children.ru_maxrss;  // the largest uploader run, as for the others
  ::unsetenv("QVDATAEXPORTER_HOME");
  Require(xfer, "CQVFileXfer::TransferFile");

  PrintRow("qvdataexporter 3 (200 uploads)", program, std::nullopt);
  PrintRow("200 x upload.exe", uploader, std::nullopt);
  PrintRow("200 x CQVFileXfer::TransferFile", xfer, std::nullopt);
  PrintRow("200 x curl --data-binary", baseline, std::nullopt);
  PrintRatio("time ratio", program.seconds / baseline.seconds, 1.2);
  PrintRatio("cpu ratio", program.cpu_seconds / baseline.cpu_seconds, 1.2);
  std::printf("  %-34s %8.2f\n", "upload.exe / curl time", uploader.seconds / baseline.seconds);
  PrintRatio("TransferFile / curl time", xfer.seconds / baseline.seconds, 1.2);
  PrintRatio("TransferFile / curl cpu", xfer.cpu_seconds / baseline.cpu_seconds, 1.2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> row_counts = {1000000};
  fs::path base = fs::temp_directory_path();
  std::string only;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--keep") {
      keep = true;
    } else if (i + 1 < argc) {
      if (option == "--rows") {
        row_counts.clear();
        std::stringstream list(argv[i + 1]);
        for (std::string count; std::getline(list, count, ',');) {
          row_counts.push_back(std::atol(count.c_str()));
        }
      }
      if (option == "--dir") base = argv[i + 1];
      if (option == "--only") only = argv[i + 1];
      ++i;
    }
  }
  fs::path dir;
  try {
    dir = bench::MakeWorkFolder(base, "bench-export");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  int status = 0;
  try {
    for (const long rows : row_counts) {
      if (only.empty() || only == "sqlite") BenchSqlite(dir, rows);
      if (only.empty() || only == "postgres") BenchPostgres(dir, rows, keep);
      if (only.empty() || only == "mariadb") BenchMariadb(dir, rows, keep);
    }
    if (only.empty() || only == "diff") BenchDiff(dir, row_counts.front());
    if (only.empty() || only == "uploads") BenchUploads(dir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_export: %s\n", e.what());
    status = 1;
  }
  if (keep) {
    std::printf("work folder kept: %s\n", dir.c_str());
  } else {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  return status;
}
