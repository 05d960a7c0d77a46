// Mode 4 run twice or more by the built program, with the data changed between runs,
// on SQLite and PostgreSQL (QV_TEST_PG), uploading to a receiver on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

class DiffExport : public DiffFixture {
 protected:
  DiffExport() : DiffFixture(3) {}

  void Insert(const std::string& sid, const std::string& name, const std::string& amount = "1",
              const std::string& note = "", const std::string& timestamp = "t1") {
    db_->Execute(InsertApp(table_, sid, name, amount, note, timestamp));
  }
  void Sql(const std::string& sql) { db_->Execute(sql); }

  ResultFile LastData() const { return ResultFile::Read(Out("last/apps.xml")); }

  // Checks that every delivery is an accepted one-record change file of apps.xml, that
  // LastTx holds exactly those files, and returns their keys.
  std::multiset<std::string> ExpectChangeFiles(const std::vector<Delivery>& deliveries) const {
    std::multiset<std::string> sids;
    std::set<std::string> names;
    for (const Delivery& delivery : deliveries) {
      EXPECT_EQ(delivery.status, 200);
      EXPECT_EQ(delivery.imp_id, "Apps");
      EXPECT_TRUE(IsChangeFileName(delivery.fn, "apps.xml")) << delivery.fn;
      names.insert(delivery.fn);
      if (!delivery.file) {
        ADD_FAILURE() << delivery.fn << " was not stored";
        continue;
      }
      const std::vector<std::string> keys = ColumnIgnoringCase(*delivery.file, "tSID");
      EXPECT_EQ(keys.size(), 1u) << delivery.fn;
      sids.insert(keys.begin(), keys.end());
    }
    const std::vector<std::string> last_tx = FileNames(Out("LastTx"));
    EXPECT_EQ(std::set<std::string>(last_tx.begin(), last_tx.end()), names);
    EXPECT_FALSE(fs::exists(Out("Unsent")));
    return sids;
  }
};

TEST_P(DiffExport, SendsEachChangedEntityOnceAndMovesTheLastDataOn) {
  Insert("upd", "one");
  Insert("del", "gone");
  Insert("ts", "stamp");
  Insert("case", "mixed");
  Insert("num", "five", "5");
  Insert("nul", "empty");
  Insert("o'k", "q");
  Insert("same", "same", "2.5", "kept");

  // First run: no last data, so the whole result goes as one file.
  std::vector<Delivery> first = Run(4);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].fn, "apps.xml");
  EXPECT_EQ(first[0].status, 200);
  ASSERT_TRUE(first[0].file);
  EXPECT_EQ(first[0].file->rows.size(), 8u);
  EXPECT_EQ(FileNames(Out("LastTx")), std::vector<std::string>{"apps.xml"});
  EXPECT_EQ(FileNames(Out("")), std::vector<std::string>{});  // nothing left at the path
  EXPECT_EQ(LastData().rows.size(), 8u);

  Sql("UPDATE " + table_ + " SET name = 'uno' WHERE tSID = 'upd'");
  Sql("DELETE FROM " + table_ + " WHERE tSID = 'del'");
  Sql("UPDATE " + table_ + " SET Source_Timestamp = 't2'");
  Sql("UPDATE " + table_ + " SET name = 'MIXED' WHERE tSID = 'case'");
  Sql("UPDATE " + table_ + " SET amount = 5.0 WHERE tSID = 'num'");
  Sql("UPDATE " + table_ + " SET note = 'set' WHERE tSID = 'nul'");
  Sql("UPDATE " + table_ + " SET name = 'quoted' WHERE tSID = 'o''k'");
  Insert("new", "fresh", "3", "", "t2");

  const std::vector<Delivery> second = Run(4);
  EXPECT_EQ(ExpectChangeFiles(second),
            (std::multiset<std::string>{"case", "new", "nul", "o'k", "upd"}));
  EXPECT_EQ(KeyedValues(second, "name"),
            (std::multiset<std::string>{"case=MIXED", "new=fresh", "nul=empty", "o'k=quoted",
                                        "upd=uno"}));
  EXPECT_EQ(
      KeyedValues(second, "note"),
      (std::multiset<std::string>{"case=NULL", "new=NULL", "nul=set", "o'k=NULL", "upd=NULL"}));
  // The last data is now the whole current result, the deleted entity gone.
  const ResultFile last = LastData();
  EXPECT_EQ(ColumnIgnoringCase(last, "tSID"),
            (std::vector<std::string>{"case", "new", "nul", "num", "o'k", "same", "ts", "upd"}));
  EXPECT_EQ(ColumnIgnoringCase(last, "Source_Timestamp"), std::vector<std::string>(8, "t2"));

  // And back from a value to null.
  Sql("UPDATE " + table_ + " SET note = NULL WHERE tSID = 'nul'");
  const std::vector<Delivery> third = Run(4);
  EXPECT_EQ(ExpectChangeFiles(third), std::multiset<std::string>{"nul"});
  EXPECT_EQ(KeyedValues(third, "note"), std::multiset<std::string>{"nul=NULL"});

  EXPECT_TRUE(Run(4).empty());
  EXPECT_TRUE(FileNames(Out("LastTx")).empty());
}

TEST_P(DiffExport, NewColumnInTheQueryReachesEveryEntity) {
  WriteRule("tSID, name");
  for (int i = 1; i <= 3; ++i) Insert(Sid(i), "n", "1", "note " + std::to_string(i));
  ASSERT_EQ(Run(4).size(), 1u);

  WriteRule("tSID, name, note");
  const std::vector<Delivery> widened = Run(4);
  EXPECT_EQ(ExpectChangeFiles(widened), (std::multiset<std::string>{Sid(1), Sid(2), Sid(3)}));
  EXPECT_EQ(KeyedValues(widened, "note"),
            (std::multiset<std::string>{"e001=note 1", "e002=note 2", "e003=note 3"}));
  EXPECT_EQ(ColumnIgnoringCase(LastData(), "note").size(), 3u);

  EXPECT_TRUE(Run(4).empty());
}

TEST_P(DiffExport, EmptyResultSendsNothingAndKeepsTheLastData) {
  Insert(Sid(1), "a");
  Insert(Sid(2), "b");
  ASSERT_EQ(Run(4).size(), 1u);
  const std::string before = ReadText(Out("last/apps.xml"));

  Sql("DELETE FROM " + table_);
  // An ordinary answer: a warning, no error, and the run succeeds.
  const ExportRun empty = folder_.Run({"4"});
  EXPECT_EQ(empty.exit_code, 0) << empty.log;
  EXPECT_EQ(empty.LogLines("\tError\t"), 0) << empty.log;
  EXPECT_GT(empty.LogLines("\tWarning\t"), 0) << empty.log;
  EXPECT_TRUE(NewDeliveries(folder_.receiver(), seen_).empty());
  EXPECT_EQ(ReadText(Out("last/apps.xml")), before);

  // The entities come back unchanged: nothing to send.
  Insert(Sid(1), "a");
  Insert(Sid(2), "b");
  EXPECT_TRUE(Run(4).empty());
}

TEST_P(DiffExport, UndeliveredResultFileIsNoStartingPoint) {
  Insert(Sid(1), "a");
  Insert(Sid(2), "b");
  EXPECT_EQ(folder_.Run({"1"}).exit_code, 0);  // leaves out/apps.xml, sends nothing
  Sql("UPDATE " + table_ + " SET name = 'B' WHERE tSID = '" + Sid(2) + "'");

  // The receiver never got entity 1: the whole result goes.
  const std::vector<Delivery> deliveries = Run(4);
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].fn, "apps.xml");
  EXPECT_EQ(KeyedValues(deliveries, "name"),
            (std::multiset<std::string>{Sid(1) + "=a", Sid(2) + "=B"}));
  EXPECT_EQ(ColumnIgnoringCase(LastData(), "name"), (std::vector<std::string>{"a", "B"}));
}

INSTANTIATE_TEST_SUITE_P(Databases, DiffExport,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), DiffFixtureName);

}  // namespace
}  // namespace qv::e2e
