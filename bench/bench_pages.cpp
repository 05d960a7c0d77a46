// The paged and split modes against mode 1 over the same SQLite rows, measured in one
// run with the built program:
//   - mode 7 with nothing changed, and with a share of the rows changed (uploads to the
//     test receiver included), against mode 1 (goals: <= 3x and <= 4x at 1,000,000 rows)
//   - modes 2, 3, 5, 6 and 7 at each row count, and how their time grows from the
//     smallest to the largest count (goal: linear, <= 12x for 10x the rows)
//   - the peak memory of every mode against mode 1's (goal: <= 1.5x)
//   - mode 7 after a day of churn (0.1% of the rows deleted and 0.1% inserted, both
//     spread over the key order, 0.1% changed): the files it sends (goal: exactly the
//     inserted and changed entities) and its time against an unchanged run, sending with
//     the built-in sender to an HTTP sink in this process that answers at once (goal:
//     <= 2x); for reference also with the uploads set aside (no upload address: every
//     send fails and the file waits in Unsent) and with the test receiver
//   - modes 4 and 7 side by side, each sending with the built-in sender to an HTTP sink
//     in this process that answers at once: the first run, an unchanged run, a run after
//     a day of churn, a run that rewrites the last data of about the pages the churn did
//     but sends one file (a column no comparison reads changed, and one entity: the cost
//     of the rewriting alone) and a run with P% of the rows changed, each against mode 1's time
//     and peak memory and the unchanged run's time, with the files sent and the last-data
//     files written; at the end a table of them over every row count, and per mode its
//     peak memory at each count with the bytes per row between the smallest and the
//     largest count (and likewise the time of each kind of run)
// Mode 1, the yardstick, is the median of three runs at each row count.
// Modes 5 and 6 run without an upload address (their pages are written and compared,
// nothing is posted), so that one upload process per page does not drown the reading.
//
// With --uploads, only mode 7's uploads at the receiver's pace, at the largest row count:
//   - a run with P% of the rows changed, sent by the built-in sender to each kind of
//     receiver (HTTP/1.0, HTTP/1.1 keep-alive, "Connection: close" or chunked answers,
//     https with HTTP/1.1 and with HTTP/2) answering each POST after 20 ms, with 1, 4 and
//     8 transfers in flight: the time, the most transfers at once and the files, against
//     the floor (the unchanged run plus files x 20 ms / N; goal: 8 in flight <= 1.5x)
//     and against the same files sent one after another (the run to the same kind
//     answering at once, 1 in flight, plus 20 ms per file; goal: 1 in flight <= 1.05x);
//     and 8 in flight to the keep-alive receiver <= 30 s for 10,000 files
//   - the same run against an address that refuses connections: the time the run takes
//     beyond the same run to a sink that answers at once (goal: <= 10 s) and its
//     standard error, whole
//   - the program's own cost per change file without uploads: a run whose upload address
//     is empty (each change file written, handed over, moved into Unsent) against an
//     unchanged run (goal: <= 0.1 ms per file, on ext4 with a journal, as servers run:
//     --dir on such a file system); for reference the run to a sink that answers at once
//     (the built-in sender's work and the pages' last data rewritten too)
// The first line names the file system the files are made on: the cost of a new file
// depends on it (ext4 without a journal pays for each one made right after many were
// removed).
//
// With --deletions, only modes 4 and 7 after a day of churn (0.1% of the rows deleted,
// inserted and changed) at the largest row count, with "SendDeletions" on against off:
// the files sent (goal: exactly the deleted, inserted and changed entities) and the time
// (goal: <= 1.1x the run with deletions off).
//
// Usage: bench_pages [--rows N[,N...]] [--percent P] [--dir PATH] [--registry TEXT]
//                    [--modes M[,M...]] [--receiver 0]
//                    [--uploads 1 [--connections N[,N...]]] [--deletions 1]
//   (default 100000,1000000 rows, 1% changed, every mode; --registry adds lines to
//   registry.reg, for instance a value that selects another uploader; --modes runs only
//   the modes listed, mode 1 always; --receiver 0 leaves out mode 7's runs to the test
//   receiver, whose upload.exe per file takes over an hour at 10,000,000 rows)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BenchProcess.h"
#include "HttpSink.h"
#include "KindReceiver.h"
#include "support/Receiver.h"

namespace {

using bench::Measure;
namespace fs = std::filesystem;

struct Options {
  std::vector<long> rows = {100000, 1000000};
  long percent = 1;
  fs::path dir = fs::temp_directory_path();
  std::string registry;
  bool uploads_only = false;
  bool deletions_only = false;
  std::vector<int> connections = {1, 4, 8};
  std::set<int> modes = {1, 2, 3, 4, 5, 6, 7};
  bool receiver = true;  // mode 7's runs to the test receiver

  bool Runs(int mode) const { return modes.count(mode) != 0; }
};

template <typename T>
std::vector<T> List(const std::string& value) {
  std::vector<T> items;
  std::stringstream list(value);
  for (std::string item; std::getline(list, item, ',');) {
    items.push_back(static_cast<T>(std::strtol(item.c_str(), nullptr, 10)));
  }
  return items;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--rows") {
      options.rows = List<long>(value);
    } else if (flag == "--modes") {
      const std::vector<int> modes = List<int>(value);
      options.modes = {modes.begin(), modes.end()};
      options.modes.insert(1);  // the baseline
    } else if (flag == "--receiver") {
      options.receiver = value != "0";
    } else if (flag == "--percent") {
      options.percent = std::strtol(value.c_str(), nullptr, 10);
    } else if (flag == "--dir") {
      options.dir = value;
    } else if (flag == "--registry") {
      options.registry = value + "\r\n";
    } else if (flag == "--uploads") {
      options.uploads_only = value == "1";
    } else if (flag == "--deletions") {
      options.deletions_only = value == "1";
    } else if (flag == "--connections") {
      options.connections = List<int>(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      std::exit(2);
    }
  }
  if (options.rows.empty() || options.percent <= 0 || options.percent > 100 ||
      !std::all_of(options.modes.begin(), options.modes.end(),
                   [](int mode) { return mode >= 1 && mode <= 7; })) {
    std::exit(2);
  }
  return options;
}

void Sql(const fs::path& db, const std::string& statements) {
  bench::Spawn spawn;
  spawn.argv = {"sqlite3", db.string(), statements};
  bench::Require(bench::Run(spawn), "sqlite3");
  // The database's write-back is over before the next run is timed.
  ::sync();
}

double MB(long kb) { return static_cast<double>(kb) / 1024.0; }

double MemoryRatio(const Measure& m, const Measure& baseline) {
  return static_cast<double>(m.peak_kb) / static_cast<double>(baseline.peak_kb);
}

void Print(const std::string& what, const Measure& m, const Measure& baseline,
           const std::string& note = "") {
  std::printf("  %-28s %8.2f s  peak %7.1f MB  time %6.2fx  memory %5.2fx mode 1%s\n", what.c_str(),
              m.seconds, MB(m.peak_kb), m.seconds / baseline.seconds, MemoryRatio(m, baseline),
              note.c_str());
}

void Goal(const std::string& what, double value, double goal) {
  std::printf("  %-52s %6.2f  (goal <= %.2f: %s)\n", what.c_str(), value, goal,
              value <= goal ? "met" : "MISSED");
}

std::string AppsTable(long rows) {
  return "CREATE TABLE apps(tSID TEXT, name TEXT, version TEXT, amount NUMERIC, installed "
         "DATETIME, note TEXT, Source_Timestamp TEXT); INSERT INTO apps WITH RECURSIVE c(x) AS "
         "(SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
         std::to_string(rows) +
         ") SELECT printf('e%08d', x), 'name ' || x, (x % 7) || '.' || (x % 13), x % 1000, "
         "datetime(1600000000 + x * 60, 'unixepoch'), CASE WHEN x % 3 THEN 'note ' || x "
         "END, 't1' FROM c;";
}

// A day of churn: the rows at `deleted` (of every 1000) leave, a copy of those at `copied`
// arrives with its key followed by `day` (next to the original in the key order), and
// those at `changed` change: 0.1% each, spread over the key order.
void Churn(const fs::path& db, int deleted, int copied, int changed, const std::string& day) {
  const auto at = [](int residue) { return " WHERE rowid % 1000 = " + std::to_string(residue); };
  Sql(db, "DELETE FROM apps" + at(deleted) + "; INSERT INTO apps SELECT tSID || '" + day +
              "', name, version, amount, installed, note, 't" + day + "' FROM apps" + at(copied) +
              "; UPDATE apps SET name = name || ' " + day + "'" + at(changed) + ";");
}

// Changes the Source_Timestamp, which no comparison reads, of the rows a day of churn
// (Churn with `deleted` and `changed`) moves to another page or changes, and one entity
// among them: the last data of about the same pages is rewritten (in mode 4 the whole last
// data, as after any change), but only one entity is sent.
void Touch(const fs::path& db, int deleted, int changed, const std::string& mark) {
  const std::string one = std::to_string((deleted + changed) / 2);
  Sql(db, "UPDATE apps SET Source_Timestamp = '" + mark + "' WHERE rowid % 1000 BETWEEN " +
              std::to_string(deleted) + " AND " + std::to_string(changed) +
              "; UPDATE apps SET name = name || ' " + mark + "' WHERE rowid = " + one + ";");
}

// The last-data files in `last` (pages, or the whole result) written since `since`.
uint64_t LastDataWritten(const fs::path& last, fs::file_time_type since) {
  uint64_t written = 0;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(last, error)) {
    if (entry.is_regular_file() && entry.path().extension() == ".xml" &&
        entry.last_write_time() >= since) {
      ++written;
    }
  }
  return written;
}

// Changes the rows at `offset` of every `every`, and the Source_Timestamp of all rows,
// which no comparison reads.
void Change(const fs::path& db, long every, long offset, const std::string& mark) {
  Sql(db, "UPDATE apps SET Source_Timestamp = '" + mark + "', name = CASE WHEN rowid % " +
              std::to_string(every) + " = " + std::to_string(offset) + " THEN name || ' " + mark +
              "' ELSE name END;");
}

// "100k", "5M", or the count itself.
std::string Count(long rows) {
  if (rows % 1000000 == 0) return std::to_string(rows / 1000000) + "M";
  if (rows % 1000 == 0) return std::to_string(rows / 1000) + "k";
  return std::to_string(rows);
}

// A figure at each row count with `decimals`, and its growth per row from the smallest
// count to the largest, `scale` times the figure's unit in `per_row`.
void Slope(const std::string& what, const std::map<long, double>& by_rows, int decimals,
           double scale, const char* per_row) {
  std::string line = "  " + what + ":";
  const char* separator = " ";
  for (const auto& [rows, value] : by_rows) {
    char figure[64];
    std::snprintf(figure, sizeof figure, "%s%s %.*f", separator, Count(rows).c_str(), decimals,
                  value);
    line += figure;
    separator = ", ";
  }
  const auto& [small, low] = *by_rows.begin();
  const auto& [large, high] = *by_rows.rbegin();
  if (large > small) {
    std::printf("%s  (%.2f %s, %s to %s)\n", line.c_str(),
                (high - low) * scale / static_cast<double>(large - small), per_row,
                Count(small).c_str(), Count(large).c_str());
  } else {
    std::printf("%s\n", line.c_str());
  }
}

const std::vector<int> kEntityModes = {4, 7};

// The kinds of run of the entity modes, in the order they run.
std::vector<std::string> EntityRunKinds(const Options& options) {
  return {"first run", "unchanged", "0.1% churn", "rewrite only",
          std::to_string(options.percent) + "% changed"};
}

struct EntityRun {
  Measure m;
  uint64_t files = 0;      // sent by the run
  uint64_t rewritten = 0;  // last-data files it wrote
};
// Per mode, one per kind of run.
using EntityRuns = std::map<int, std::vector<EntityRun>>;

// Modes 4 and 7 over the same rows, each in a program folder of its own sending with the
// built-in sender to a sink that answers at once, so that the times are the program's own:
// the kinds of run of EntityRunKinds, each mode's run right after the other's.
EntityRuns MeasureEntityModes(const Options& options, const fs::path& db, const fs::path& here,
                              const std::string& connection, const Measure& mode1) {
  bench::HttpSink sink;
  std::map<int, fs::path> folders;
  for (const int mode : kEntityModes) {
    if (!options.Runs(mode)) continue;
    const fs::path folder = folders[mode] = here / ("entity" + std::to_string(mode));
    bench::MakeProgramFolder(
        folder, connection,
        {{(folder / "out" / "apps.xml").string(),
          "SELECT tSID, name, version, amount, installed, note, Source_Timestamp", "FROM apps", "",
          "Apps"}},
        sink.Url(), options.registry + "\"Uploader\"=\"builtin\"\r\n");
  }
  const std::vector<std::string> kinds = EntityRunKinds(options);
  EntityRuns runs;
  // Runs every mode once; `kind` names the run kept, none for a run that only settles.
  const auto run = [&](const std::string& kind) {
    for (const auto& [mode, folder] : folders) {
      const uint64_t before = sink.Requests();
      // A tick early: the file system's clock is coarser than this one.
      const fs::file_time_type since =
          fs::file_time_type::clock::now() - std::chrono::milliseconds(20);
      const Measure m = bench::RunExporter(folder, std::to_string(mode));
      if (m.exit_code != 0) {
        throw std::runtime_error("mode " + std::to_string(mode) + " failed with status " +
                                 std::to_string(m.exit_code) + ", see " +
                                 (folder / "stderr.txt").string());
      }
      if (kind.empty()) continue;
      const uint64_t files = sink.Requests() - before;
      const uint64_t rewritten = LastDataWritten(folder / "out" / "last", since);
      runs[mode].push_back({m, files, rewritten});
      Print("mode " + std::to_string(mode) + " " + kind, m, mode1,
            "  " + std::to_string(files) + " files, " + std::to_string(rewritten) +
                " last-data files written");
    }
  };
  const long every = 100 / options.percent;
  run(kinds[0]);
  run("");  // puts mode 7's page keys in place
  run(kinds[1]);
  Churn(db, 200, 450, 650, "c");
  run(kinds[2]);
  Touch(db, 200, 650, "r");
  run(kinds[3]);
  Change(db, every, every / 2, "p");
  run(kinds[4]);
  return runs;
}

// The entity modes' runs at every row count against mode 1's at the same count, and the
// peak memory of every mode measured at each count with its slope.
void PrintSummary(const Options& options,
                  const std::map<long, std::map<std::string, Measure>>& runs,
                  const std::map<long, EntityRuns>& entity) {
  const std::vector<std::string> kinds = EntityRunKinds(options);
  std::printf(
      "modes 4 and 7 against mode 1 at the same row count (built-in sender, a sink answering at "
      "once; /unch: time against the unchanged run; written: last-data files)\n"
      "  %10s %5s  %-12s %9s %9s %8s %8s %8s %8s %8s\n",
      "rows", "mode", "run", "seconds", "peak MiB", "time/m1", "mem/m1", "/unch", "files",
      "written");
  for (const int mode : kEntityModes) {
    for (const auto& [rows, by_mode] : entity) {
      const auto found = by_mode.find(mode);
      if (found == by_mode.end()) continue;
      const Measure& mode1 = runs.at(rows).at("1");
      // The same mode's unchanged run at the same row count (EntityRunKinds).
      const double unchanged = found->second.size() > 1 ? found->second[1].m.seconds : 0;
      for (size_t kind = 0; kind < found->second.size(); ++kind) {
        const auto& [m, files, rewritten] = found->second[kind];
        std::printf("  %10ld %5d  %-12s %9.2f %9.1f %7.2fx %7.2fx %7.2fx %8llu %8llu\n", rows, mode,
                    kinds[kind].c_str(), m.seconds, MB(m.peak_kb), m.seconds / mode1.seconds,
                    MemoryRatio(m, mode1), m.seconds / unchanged,
                    static_cast<unsigned long long>(files),
                    static_cast<unsigned long long>(rewritten));
      }
    }
  }
  std::printf("peak memory per row count (modes 4 and 7: the largest of their runs)\n");
  for (int mode = 1; mode <= 7; ++mode) {
    std::map<long, double> peak;
    for (const auto& [rows, measured] : runs) {
      const auto single = measured.find(std::to_string(mode));
      if (single != measured.end() && mode != 7) peak[rows] = MB(single->second.peak_kb);
      const auto found = entity.at(rows).find(mode);
      if (found == entity.at(rows).end()) continue;
      for (const EntityRun& run : found->second) {
        peak[rows] = std::max(peak[rows], MB(run.m.peak_kb));
      }
    }
    if (!peak.empty()) {
      Slope("mode " + std::to_string(mode) + " peak MiB", peak, 1, 1024.0 * 1024.0,
            "bytes per row");
    }
  }
  std::printf("time per row count\n");
  std::map<long, double> seconds;
  for (const auto& [rows, measured] : runs) seconds[rows] = measured.at("1").seconds;
  Slope("mode 1 seconds", seconds, 2, 1e6, "us per row");
  for (const int mode : kEntityModes) {
    for (size_t kind = 0; kind < kinds.size(); ++kind) {
      seconds.clear();
      for (const auto& [rows, by_mode] : entity) {
        const auto found = by_mode.find(mode);
        if (found != by_mode.end()) seconds[rows] = found->second.at(kind).m.seconds;
      }
      if (!seconds.empty()) {
        Slope("mode " + std::to_string(mode) + " " + kinds[kind] + " seconds", seconds, 2, 1e6,
              "us per row");
      }
    }
  }
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// See --uploads at the top.
void MeasureUploads(const Options& options, const fs::path& work) {
  const long rows = options.rows.back();
  const long every = 100 / options.percent;
  const fs::path db = work / "uploads.db";
  Sql(db, AppsTable(rows));
  bench::HttpSink at_once;
  bench::HttpSink slow(std::chrono::milliseconds(20));
  const fs::path folder = work / "uploads";
  const auto registry = [&](int connections) {
    return "\"Uploader\"=\"builtin\"\r\n\"UploaderConnections\"=dword:0000000" +
           std::to_string(connections) + "\r\n";
  };
  bench::MakeProgramFolder(
      folder, "Driver=SQLite3;Database=" + db.string(),
      {{(folder / "out" / "apps.xml").string(),
        "SELECT tSID, name, version, amount, installed, note, Source_Timestamp", "FROM apps", "",
        "Apps"}},
      slow.Url(), registry(8));
  const auto set_address = [&](const std::string& url) {
    bench::WriteConfigFile(folder / "QvExportSettings.xml", {"nID", "tValue"},
                           {{ado::Variant(int32_t{1}), ado::Variant(url)}}, 1);
  };
  const auto set_connections = [&](int connections) {
    std::ofstream(folder / "registry.reg")
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"EventLogLevel\"=dword:00000001\r\n"
        << registry(connections);
  };
  int day = 0;
  // Changes `percent` of the rows, others each time.
  const auto change = [&] {
    ++day;
    Sql(db, "UPDATE apps SET name = name || ' d" + std::to_string(day) + "' WHERE rowid % " +
                std::to_string(every) + " = " + std::to_string(day % every) + ";");
  };
  const auto run = [&](bool may_fail) {
    const Measure m = bench::RunExporter(folder, "7");
    if (m.exit_code != 0 && !may_fail) {
      throw std::runtime_error("mode 7 failed with status " + std::to_string(m.exit_code) +
                               ", see " + (folder / "stderr.txt").string());
    }
    return m;
  };

  std::printf("mode 7 uploads, %ld rows, %ld changed per run, a receiver answering after 20 ms\n",
              rows, rows / every);
  uint64_t before = slow.Requests();
  const Measure first = run(false);
  std::printf("  %-44s %8.2f s  %6llu files\n", "first run, 8 in flight", first.seconds,
              static_cast<unsigned long long>(slow.Requests() - before));
  run(false);  // puts the page keys in place
  const Measure unchanged = run(false);
  std::printf("  %-44s %8.2f s\n", "unchanged run (the walk alone)", unchanged.seconds);
  // The same work sent to a sink that answers at once: what the run costs besides the
  // receiver's time.
  set_address(at_once.Url());
  change();
  before = at_once.Requests();
  const Measure own = run(false);
  const auto own_files = static_cast<double>(at_once.Requests() - before);
  std::printf("  %-44s %8.2f s  %6.0f files  %6.3f ms per change file beyond unchanged\n",
              "to a sink answering at once, 8 in flight", own.seconds, own_files,
              (own.seconds - unchanged.seconds) * 1000.0 / own_files);
  // Each kind of receiver, answering after 20 ms, with each number in flight.
  const bool tls = qv::test::TlsReceiver::MissingTool().empty();
  for (const std::string& kind : bench::kReceiverKinds) {
    if (bench::KindReceiver::Tls(kind) && !tls) {
      std::printf("  %-27s skipped: node or openssl missing\n", kind.c_str());
      continue;
    }
    // One after another: the same kind answering at once, 1 in flight, plus 20 ms a file.
    bench::KindReceiver quick(kind, std::chrono::milliseconds(0));
    set_address(quick.Url());
    set_connections(1);
    change();
    const Measure base = run(false);
    quick.Take();
    bench::KindReceiver answering(kind, std::chrono::milliseconds(20));
    set_address(answering.Url());
    for (const int connections : options.connections) {
      set_connections(connections);
      change();
      const Measure m = run(false);
      const auto [answered, most] = answering.Take();
      const auto files = static_cast<double>(answered);
      const double sequential = base.seconds + files * 0.020;
      const double floor = unchanged.seconds + files * 0.020 / connections;
      std::printf(
          "  %-27s N=%-2d %8.2f s  at once %2d  %6.0f files  %6.2fx floor + unchanged (%.2f s)  "
          "%6.2fx one after another (%.2f s)\n",
          kind.c_str(), connections, m.seconds, most, files, m.seconds / floor, floor,
          m.seconds / sequential, sequential);
      if (connections == 1) {
        Goal(kind + ": 1 in flight / one after another", m.seconds / sequential, 1.05);
      }
      if (connections == 8) {
        Goal(kind + ": 8 in flight / floor + unchanged", m.seconds / floor, 1.5);
        if (kind == "HTTP/1.1 keep-alive") {
          Goal("8 in flight: seconds for the changed files", m.seconds, 30.0);
        }
      }
    }
  }

  // A receiver that refuses connections.
  set_connections(8);
  set_address("http://127.0.0.1:" + std::to_string(bench::ClosedPort()) + "/upload");
  change();
  const Measure shut = run(true);
  std::printf("  %-44s %8.2f s  exit status %d  %6.2f s beyond the run to the sink\n",
              "refused connections, 8 in flight", shut.seconds, shut.exit_code,
              shut.seconds - own.seconds);
  Goal("refused: seconds beyond the same run to the sink", shut.seconds - own.seconds, 10.0);
  std::printf("  its standard error, whole:\n%s", ReadWhole(folder / "stderr.txt").c_str());
  set_connections(1);
  change();
  const Measure shut_one = run(true);
  std::printf("  %-44s %8.2f s  exit status %d  %6.2f s beyond the run to the sink\n",
              "refused connections, 1 in flight", shut_one.seconds, shut_one.exit_code,
              shut_one.seconds - own.seconds);
  Goal("refused, 1 in flight: seconds beyond the same run to the sink",
       shut_one.seconds - own.seconds, 10.0);
  // What waited goes out with the next run.
  set_connections(8);
  set_address(at_once.Url());
  before = at_once.Requests();
  run(false);
  std::printf("  %-44s %6llu files\n", "sent by the next run",
              static_cast<unsigned long long>(at_once.Requests() - before));
  // Once more, so that the run measured starts as the one with the uploads set aside
  // does: LastTx empty, the spares of the last clearing kept and emptied.
  run(false);
  const Measure steady = run(false);

  // The program's own cost per change file.
  set_address("");
  change();
  const Measure aside = run(true);
  const auto changed = static_cast<double>(rows / every);
  const double own_cost = (aside.seconds - steady.seconds) * 1000.0 / changed;
  std::printf("  %-44s %8.2f s  %6.3f ms per change file\n", "uploads set aside", aside.seconds,
              own_cost);
  Goal("own cost per change file, uploads set aside (ms)", own_cost, 0.1);
}

}  // namespace

// Modes 4 and 7 after a day of churn (0.1% of the rows deleted, 0.1% inserted, 0.1%
// changed) with "SendDeletions" on against the same run with it off, both from the same
// last data, sending to a sink that answers at once: the files sent (goal: the deleted,
// inserted and changed entities, exactly) and the time (goal: <= 1.1x). Medians of three,
// the two taken in turns, each from a copy of the last data kept before the churn.
void MeasureDeletions(const Options& options, const fs::path& work) {
  const long rows = options.rows.back();
  const fs::path db = work / "deletions.db";
  Sql(db, AppsTable(rows));
  bench::HttpSink sink;
  const std::string connection = "Driver=SQLite3;Database=" + db.string();
  std::printf("deletions: %ld rows, 0.1%% deleted, inserted and changed\n", rows);
  for (const int mode : kEntityModes) {
    if (!options.Runs(mode)) continue;
    std::map<bool, fs::path> folders;
    for (const bool on : {false, true}) {
      const fs::path folder = folders[on] =
          work / ("deletions" + std::to_string(mode) + (on ? "on" : "off"));
      bench::MakeProgramFolder(
          folder, connection,
          {{(folder / "out" / "apps.xml").string(),
            "SELECT tSID, name, version, amount, installed, note, Source_Timestamp", "FROM apps",
            "", "Apps"}},
          sink.Url(),
          options.registry + "\"Uploader\"=\"builtin\"\r\n" +
              (on ? "\"SendDeletions\"=dword:00000001\r\n" : ""));
      for (int settle = 0; settle < 2; ++settle) bench::RunExporter(folder, std::to_string(mode));
      fs::copy(folder / "out", folder / "kept", fs::copy_options::recursive);
    }
    Churn(db, 200, 450, 650, "x");
    std::map<bool, std::vector<Measure>> measured;
    std::map<bool, uint64_t> files;
    for (int turn = 0; turn < 3; ++turn) {
      for (const bool on : {false, true}) {
        const fs::path& folder = folders[on];
        fs::remove_all(folder / "out");
        fs::copy(folder / "kept", folder / "out", fs::copy_options::recursive);
        const uint64_t before = sink.Requests();
        const Measure m = bench::RunExporter(folder, std::to_string(mode));
        if (m.exit_code != 0) {
          throw std::runtime_error("mode " + std::to_string(mode) + " failed, see " +
                                   (folder / "stderr.txt").string());
        }
        files[on] = sink.Requests() - before;
        measured[on].push_back(m);
      }
    }
    const auto median = [](std::vector<Measure> all) {
      std::sort(all.begin(), all.end(),
                [](const Measure& a, const Measure& b) { return a.seconds < b.seconds; });
      return all[all.size() / 2];
    };
    const Measure off = median(measured[false]);
    const Measure on = median(measured[true]);
    const uint64_t expected = static_cast<uint64_t>(rows / 1000) * 3;
    std::printf("  mode %d off: %.2f s, %.0f MiB, %llu files\n", mode, off.seconds, MB(off.peak_kb),
                static_cast<unsigned long long>(files[false]));
    std::printf("  mode %d on:  %.2f s, %.0f MiB, %llu files (%llu deletions)\n", mode, on.seconds,
                MB(on.peak_kb), static_cast<unsigned long long>(files[true]),
                static_cast<unsigned long long>(files[true] - files[false]));
    std::printf("  mode %d files with deletions on: %llu, expected %llu: %s\n", mode,
                static_cast<unsigned long long>(files[true]),
                static_cast<unsigned long long>(expected),
                files[true] == expected ? "ok" : "MISSED");
    Goal("mode " + std::to_string(mode) + " deletions on vs off, time", on.seconds / off.seconds,
         1.1);
    // The churn is undone for the next mode: the same rows again.
    Sql(db, "DROP TABLE apps;");
    Sql(db, AppsTable(rows));
  }
}

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is measured
  const Options options = Parse(argc, argv);
  if (const std::string missing = qv::test::Receiver::MissingTool(); !missing.empty()) {
    std::fprintf(stderr, "bench_pages needs %s\n", missing.c_str());
    return 2;
  }
  fs::path work;
  try {
    work = bench::MakeWorkFolder(options.dir, "qvbench-pages");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_pages: %s\n", error.what());
    return 2;
  }
  if (options.uploads_only || options.deletions_only) {
    try {
      if (options.uploads_only) MeasureUploads(options, work);
      if (options.deletions_only) MeasureDeletions(options, work);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "bench_pages: %s (work folder kept: %s)\n", error.what(), work.c_str());
      return 1;
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    return 0;
  }
  qv::test::Receiver receiver;

  // Per row count, per mode: the measured run.
  std::map<long, std::map<std::string, Measure>> runs;
  std::map<long, EntityRuns> entity;
  try {
    for (const long rows : options.rows) {
      std::printf("%ld rows, %ld%% changed\n", rows, options.percent);
      // Each row count's files, removed once it is measured.
      const fs::path here = work / std::to_string(rows);
      fs::create_directories(here);
      const fs::path db = here / "apps.db";
      Sql(db, AppsTable(rows));
      const std::string connection = "Driver=SQLite3;Database=" + db.string();
      const auto folder_for = [&](const std::string& name, const std::string& url) {
        const fs::path folder = here / name;
        bench::MakeProgramFolder(
            folder, connection,
            {{(folder / "out" / "apps.xml").string(),
              "SELECT tSID, name, version, amount, installed, note, Source_Timestamp", "FROM apps",
              "", "Apps"}},
            url, options.registry);
        return folder;
      };
      const fs::path sending = folder_for("send", receiver.BaseUrl());
      const fs::path quiet = folder_for("quiet", "");
      auto& measured = runs[rows];
      // A run that may fail its sends (no upload address) on that folder.
      fs::path aside_folder;
      const auto quiet_ok = [&](const fs::path& folder) {
        aside_folder = folder;
        return folder;
      };
      const auto run = [&](const fs::path& folder, const std::string& mode) {
        const Measure m = bench::RunExporter(folder, mode);
        const bool may_fail = folder == quiet || folder == aside_folder;
        aside_folder.clear();
        if (m.exit_code != 0 && !may_fail) {
          throw std::runtime_error("mode " + mode + " failed with status " +
                                   std::to_string(m.exit_code) + ", see " +
                                   (folder / "stderr.txt").string());
        }
        return m;
      };

      // The median of three: the first read of a freshly made database may meet its
      // write-back.
      std::vector<Measure> mode1_runs;
      for (int i = 0; i < 3; ++i) mode1_runs.push_back(run(sending, "1"));
      std::sort(mode1_runs.begin(), mode1_runs.end(),
                [](const Measure& a, const Measure& b) { return a.seconds < b.seconds; });
      const Measure mode1 = measured["1"] = mode1_runs[1];
      std::printf("  %-28s %8.2f s  peak %7.1f MB  (median of %.2f, %.2f, %.2f s)\n", "mode 1",
                  mode1.seconds, MB(mode1.peak_kb), mode1_runs[0].seconds, mode1_runs[1].seconds,
                  mode1_runs[2].seconds);
      if (options.Runs(2)) Print("mode 2 (5 parts sent)", measured["2"] = run(sending, "2"), mode1);
      if (options.Runs(3))
        Print("mode 3 (20 parts sent)", measured["3"] = run(sending, "3"), mode1);
      if (options.Runs(5)) Print("mode 5 (pages of 20)", measured["5"] = run(quiet, "5"), mode1);
      if (options.Runs(6)) Print("mode 6 (pages of 100)", measured["6"] = run(quiet, "6"), mode1);
      if (options.Runs(7) && options.receiver) {
        Print("mode 7 first run (all sent)", measured["7 first"] = run(sending, "7"), mode1);
        const Measure unchanged = measured["7"] = run(sending, "7");
        Print("mode 7, nothing changed", unchanged, mode1);
        const long every = 100 / options.percent;
        Change(db, every, 0, "changed");
        const Measure changed = measured["7 changed"] = run(sending, "7");
        Print("mode 7, " + std::to_string(rows / every) + " changed", changed, mode1);
        // A day of churn: rows leave and arrive anywhere in the key order, so most rows
        // move to another page; only the new and changed entities may be sent.
        run(sending, "7");  // back to unchanged
        const Measure steady = run(sending, "7");
        Churn(db, 500, 250, 750, "n");
        // Uploads aside: no upload address, so the change files are written and set aside,
        // as the other benchmarks measure the walk without the receiver's time.
        const auto set_address = [&](const std::string& url) {
          bench::WriteConfigFile(sending / "QvExportSettings.xml", {"nID", "tValue"},
                                 {{ado::Variant(int32_t{1}), ado::Variant(url)}}, 1);
        };
        set_address("");
        const Measure aside = measured["7 churn"] = run(quiet_ok(sending), "7");
        set_address(receiver.BaseUrl());
        size_t requests_before = receiver.Requests().size();
        run(sending, "7");  // sends what the run above set aside
        const size_t files = receiver.Requests().size() - requests_before;
        // A second day of churn, sent as it is found.
        Churn(db, 900, 100, 50, "m");
        requests_before = receiver.Requests().size();
        const Measure sent = run(sending, "7");
        const size_t files_sent = receiver.Requests().size() - requests_before;
        const long expected = 2 * (rows / 1000);
        // A third day, sent by the built-in sender to a sink that answers at once: the walk
        // and the program's own share of each send, without a receiver's time.
        const Measure steady_again = run(sending, "7");
        Churn(db, 300, 600, 800, "k");
        bench::HttpSink sink;
        set_address(sink.Url());
        std::ofstream(sending / "registry.reg", std::ios::app) << "\"Uploader\"=\"builtin\"\r\n";
        const Measure to_sink = measured["7 churn to sink"] = run(sending, "7");
        set_address(receiver.BaseUrl());
        Print("mode 7, unchanged again", steady, mode1);
        Print("mode 7 after churn, to a sink", to_sink, mode1);
        Print("mode 7 after churn, uploads aside", aside, mode1);
        Print("mode 7 after churn, sent", sent, mode1);
        for (const size_t count : {files, files_sent, static_cast<size_t>(sink.Requests())}) {
          std::printf("  %-52s %6zu  (goal: about %ld, the inserted and changed)\n",
                      "files sent after churn", count, expected);
        }
        Goal("mode 7 after churn (to a sink) / unchanged", to_sink.seconds / steady_again.seconds,
             2.0);
        std::printf("  %-52s %6.2f  (for reference)\n",
                    "mode 7 after churn (uploads aside) / unchanged",
                    aside.seconds / steady.seconds);
        Goal("mode 7 nothing changed / mode 1", unchanged.seconds / mode1.seconds, 3.0);
        Goal("mode 7 unchanged again / mode 1", steady.seconds / mode1.seconds, 3.0);
        Goal("mode 7 changed (uploads included) / mode 1", changed.seconds / mode1.seconds, 4.0);
      }
      for (const char* mode : {"2", "3", "5", "6", "7"}) {
        if (measured.count(mode) == 0) continue;
        Goal(std::string("peak memory mode ") + mode + " / mode 1",
             MemoryRatio(measured[mode], mode1), 1.5);
      }
      entity[rows] = MeasureEntityModes(options, db, here, connection, mode1);
      fs::remove_all(here);
    }
    if (options.rows.size() > 1) {
      const long small = options.rows.front();
      const long large = options.rows.back();
      std::printf("growth from %ld to %ld rows (%.0fx the rows)\n", small, large,
                  static_cast<double>(large) / static_cast<double>(small));
      for (const char* mode : {"1", "2", "3", "5", "6", "7", "7 changed"}) {
        if (runs[large].count(mode) == 0 || runs[small].count(mode) == 0) continue;
        Goal(std::string("mode ") + mode + " time ratio",
             runs[large][mode].seconds / runs[small][mode].seconds,
             1.2 * static_cast<double>(large) / static_cast<double>(small));
      }
    }
    PrintSummary(options, runs, entity);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_pages: %s (work folder kept: %s)\n", error.what(), work.c_str());
    return 1;
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
