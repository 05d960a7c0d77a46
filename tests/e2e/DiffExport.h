#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "e2e/ProgramFolder.h"
#include "e2e/ResultFile.h"
#include "e2e/TestDatabase.h"

namespace ado {
class Connection;
}

namespace qv::e2e {

enum class Backend { kSqlite, kPostgres };
std::string BackendName(Backend backend);
inline void PrintTo(Backend backend, std::ostream* os) { *os << BackendName(backend); }

// The database of a change-detection test: an SQLite file in the program folder, or
// tables of their own in the PostgreSQL database of QV_TEST_PG.
class DiffDatabase {
 public:
  // Null for PostgreSQL when QV_TEST_PG is not set.
  static std::unique_ptr<DiffDatabase> Open(Backend backend, const ProgramFolder& folder);
  ~DiffDatabase();

  const std::string& ConnectionString() const { return connection_string_; }
  // A table name unique to this database object.
  std::string Table(const std::string& base);
  void Execute(const std::string& sql);

 private:
  DiffDatabase() = default;

  std::string connection_string_;
  std::unique_ptr<ado::Connection> sqlite_;
  std::unique_ptr<PostgresTables> postgres_;
};

// The columns every table of these tests has; Source_Timestamp is the ignored one.
inline constexpr const char* kAppsColumns = "tSID, name, amount, note, Source_Timestamp";
// CREATE TABLE for such a table, in SQL both databases take.
std::string CreateAppsTable(const std::string& table);
// INSERT of one row; `note` empty means NULL.
std::string InsertApp(const std::string& table, const std::string& sid, const std::string& name,
                      const std::string& amount, const std::string& note,
                      const std::string& timestamp);
// One INSERT of entities e001 to e<count>, named "name <n>", amount 1, note NULL,
// Source_Timestamp "t1".
std::string InsertNumberedApps(const std::string& table, int count);
// The key "e" + the number with three digits, so that text order is number order.
std::string Sid(int number);

// One upload that reached the receiver, with the file it stored.
struct Delivery {
  std::string fn;
  std::string imp_id;
  int status = 0;
  std::optional<ResultFile> file;  // when the receiver stored the body
};

// The uploads received since the first `seen` requests; `seen` moves past them. Each
// stored body is read at once, before a later upload of the same name replaces it.
std::vector<Delivery> NewDeliveries(const test::Receiver& receiver, size_t& seen);
// The deliveries the receiver answered with 200.
std::vector<Delivery> Accepted(const std::vector<Delivery>& deliveries);

// Whether `name` is `base`, a number of one to six digits, and ".xml".
bool IsChangeFileName(const std::string& name, const std::string& base);

// The values of a field whose name matches `name` in any letter case (PostgreSQL folds
// unquoted names). Throws std::out_of_range when there is none.
std::vector<std::string> ColumnIgnoringCase(const ResultFile& file, const std::string& name);

// The value of `field` in every row of every file, as "tSID=value".
std::multiset<std::string> KeyedValues(const std::vector<Delivery>& deliveries,
                                       const std::string& field);

// A change-detection test run by the built program on one database: the table apps
// (columns kAppsColumns) in data source `ds_id`, a receiver for the uploads, and the
// rule "out/apps.xml" over the whole table in tSID order, import rule "Apps". SetUp
// skips the test when python3 or curl is missing, or when PostgreSQL is asked for and
// QV_TEST_PG is not set.
class DiffFixture : public ::testing::TestWithParam<Backend> {
 protected:
  explicit DiffFixture(int32_t ds_id = 1) : ds_id_(ds_id) {}
  void SetUp() override;

  // Writes the rule with `columns` as its select list.
  void WriteRule(const std::string& columns);
  // Entities e001 to e<count>.
  void Fill(int count);
  // Runs `mode`, expects `expected_exit` and returns what reached the receiver.
  std::vector<Delivery> Run(int mode, int expected_exit = 0);
  std::string Out(const std::string& relative) const { return folder_.File("out/" + relative); }

  ProgramFolder folder_;
  std::unique_ptr<DiffDatabase> db_;
  std::string table_;
  size_t seen_ = 0;

 private:
  int32_t ds_id_;
};

// Names the instances of a suite on DiffFixture by their database.
std::string DiffFixtureName(const ::testing::TestParamInfo<Backend>& backend);

}  // namespace qv::e2e
