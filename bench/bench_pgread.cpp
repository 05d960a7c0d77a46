// The ways libpq can read a large result, each reading the same query of N rows x 10
// columns from the server named by QV_TEST_PG and looking at every value, against
// `COPY (query) TO STDOUT`, the stream psql's \copy reads (the baseline):
//   cursor:      DECLARE ... CURSOR, then FETCH 10000 after FETCH 10000, each waited for
//   cursor+ahead: the first FETCH 10000, then FETCH 2000 with two always in flight
//                (libpq's pipeline mode), as the exporter reads
//   single row:  the query's rows one PGresult each (PQsetSingleRowMode)
// Medians of three, taken in turns; wall time and this process's CPU.
//
// Usage: bench_pgread [--rows N] (default 1,000,000)

#include <libpq-fe.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "db/OdbcConnectionString.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;
  long values = 0;
};

double CpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

PGconn* Connect(const std::string& odbc) {
  std::vector<std::string> keys;
  std::vector<std::string> values;
  for (const ado::ConnectionStringPair& pair : ado::ParseConnectionString(odbc)) {
    std::string key = pair.key;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string value = ado::ValueOf(odbc, pair.key).value_or("");
    if (key == "server") keys.push_back("host"), values.push_back(value);
    if (key == "port") keys.push_back("port"), values.push_back(value);
    if (key == "database") keys.push_back("dbname"), values.push_back(value);
    if (key == "uid") keys.push_back("user"), values.push_back(value);
    if (key == "pwd") keys.push_back("password"), values.push_back(value);
  }
  std::vector<const char*> k;
  std::vector<const char*> v;
  for (size_t i = 0; i < keys.size(); ++i)
    k.push_back(keys[i].c_str()), v.push_back(values[i].c_str());
  k.push_back(nullptr);
  v.push_back(nullptr);
  PGconn* connection = PQconnectdbParams(k.data(), v.data(), 0);
  if (PQstatus(connection) != CONNECTION_OK) {
    std::fprintf(stderr, "bench_pgread: %s", PQerrorMessage(connection));
    std::exit(1);
  }
  return connection;
}

void Exec(PGconn* connection, const char* sql) {
  PGresult* result = PQexec(connection, sql);
  const ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    std::fprintf(stderr, "bench_pgread: %s: %s", sql, PQresultErrorMessage(result));
    std::exit(1);
  }
  PQclear(result);
}

// Every value's length, so that no value goes unread.
long Touch(const PGresult* result) {
  long sum = 0;
  const int rows = PQntuples(result);
  const int fields = PQnfields(result);
  for (int r = 0; r < rows; ++r) {
    for (int f = 0; f < fields; ++f)
      sum += PQgetisnull(result, r, f) ? 0 : PQgetlength(result, r, f);
  }
  return sum;
}

long ReadCursor(PGconn* connection, const std::string& query) {
  Exec(connection, "BEGIN");
  Exec(connection, ("DECLARE c NO SCROLL CURSOR FOR " + query).c_str());
  long sum = 0;
  for (;;) {
    PGresult* block = PQexec(connection, "FETCH FORWARD 10000 FROM c");
    const int rows = PQntuples(block);
    sum += Touch(block);
    PQclear(block);
    if (rows < 10000) break;
  }
  Exec(connection, "COMMIT");
  return sum;
}

long ReadCursorAhead(PGconn* connection, const std::string& query) {
  Exec(connection, "BEGIN");
  Exec(connection, ("DECLARE c NO SCROLL CURSOR FOR " + query).c_str());
  PGresult* first = PQexec(connection, "FETCH FORWARD 10000 FROM c");
  long sum = Touch(first);
  bool more = PQntuples(first) == 10000;
  PQclear(first);
  PQenterPipelineMode(connection);
  int in_flight = 0;
  auto send = [&] {
    PQsendQueryParams(connection, "FETCH FORWARD 2000 FROM c", 0, nullptr, nullptr, nullptr,
                      nullptr, 0);
    PQsendFlushRequest(connection);
    PQflush(connection);
    ++in_flight;
  };
  while (more && in_flight < 2) send();
  while (in_flight > 0) {
    PGresult* block = PQgetResult(connection);
    while (PGresult* end = PQgetResult(connection)) PQclear(end);
    --in_flight;
    const int rows = PQntuples(block);
    if (rows < 2000) more = false;
    if (more) send();
    sum += Touch(block);
    PQclear(block);
  }
  PQpipelineSync(connection);
  for (;;) {
    PGresult* result = PQgetResult(connection);
    if (result == nullptr) continue;
    const bool synced = PQresultStatus(result) == PGRES_PIPELINE_SYNC;
    PQclear(result);
    if (synced) break;
  }
  PQexitPipelineMode(connection);
  Exec(connection, "COMMIT");
  return sum;
}

long ReadSingleRows(PGconn* connection, const std::string& query) {
  PQsendQuery(connection, query.c_str());
  PQsetSingleRowMode(connection);
  long sum = 0;
  while (PGresult* row = PQgetResult(connection)) {
    sum += Touch(row);
    PQclear(row);
  }
  return sum;
}

long ReadCopy(PGconn* connection, const std::string& query) {
  PQclear(PQexec(connection, ("COPY (" + query + ") TO STDOUT").c_str()));
  long sum = 0;
  char* line = nullptr;
  int length = 0;
  while ((length = PQgetCopyData(connection, &line, 0)) > 0) {
    sum += length;
    PQfreemem(line);
  }
  while (PGresult* end = PQgetResult(connection)) PQclear(end);
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 1000000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--rows") rows = std::atol(argv[i + 1]);
  }
  const char* env = std::getenv("QV_TEST_PG");
  if (env == nullptr || *env == '\0') {
    std::printf("bench_pgread: skipped (QV_TEST_PG is not set)\n");
    return 0;
  }
  PGconn* connection = Connect(env);
  const std::string table = "qv_pgread_" + std::to_string(::getpid());
  Exec(connection,
       ("CREATE TABLE " + table +
        " AS SELECT x AS id, 'Item ' || x AS name, 'category ' || (x % 17) AS category,"
        " x % 1000 AS qty, ((x % 10000) / 100.0)::numeric(10,2) AS price,"
        " x * 0.001 AS weight, timestamp '2023-11-14' + x * interval '1 second' AS created,"
        " x % 2 = 1 AS active, md5(x::text) AS tsid, 'note ' || (x * 31 % 997) AS note"
        " FROM generate_series(1, " +
        std::to_string(rows) + ") AS x")
           .c_str());
  const std::string query = "SELECT * FROM " + table;

  struct Way {
    const char* name;
    std::function<long(PGconn*, const std::string&)> read;
    std::vector<Measure> taken;
  };
  std::vector<Way> ways = {{"COPY TO STDOUT (baseline)", ReadCopy, {}},
                           {"cursor, FETCH 10000 waited for", ReadCursor, {}},
                           {"cursor, FETCH 2000 two ahead", ReadCursorAhead, {}},
                           {"single-row mode", ReadSingleRows, {}}};
  for (int round = 0; round < 3; ++round) {
    for (Way& way : ways) {
      const auto started = Clock::now();
      const double cpu = CpuSeconds();
      Measure m;
      m.values = way.read(connection, query);
      m.cpu_seconds = CpuSeconds() - cpu;
      m.seconds = std::chrono::duration<double>(Clock::now() - started).count();
      way.taken.push_back(m);
    }
  }
  Exec(connection, ("DROP TABLE " + table).c_str());
  PQfinish(connection);

  std::printf("reading %ld rows x 10 columns through libpq (medians of 3)\n", rows);
  double base = 0;
  for (Way& way : ways) {
    std::sort(way.taken.begin(), way.taken.end(),
              [](const Measure& a, const Measure& b) { return a.seconds < b.seconds; });
    const Measure& m = way.taken[1];
    if (base == 0) base = m.seconds;
    std::printf("  %-32s %7.2f s  cpu %6.2f s  ratio %5.2f\n", way.name, m.seconds, m.cpu_seconds,
                m.seconds / base);
  }
  return 0;
}
