#include "export/EntityIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ado/Connection.h"
#include "export/CQvDataExporter.h"
#include "store/CQvXMLManip.h"
#include "support/TestFolder.h"

namespace qv {
namespace {

// Every column type, nulls interleaved, blobs long enough for bin.hex to wrap, over
// more rows than a page.
class EntityIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder.File("index.db"));
    db->Open("Driver=SQLite3;Database=" + folder.File("index.db"));
    db->Execute(
        "CREATE TABLE t(tSID TEXT, n INTEGER, r REAL, d TIMESTAMP, note TEXT, b BLOB, "
        "Source_Timestamp TEXT)");
    db->Execute(
        "INSERT INTO t WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c "
        "WHERE x < 2344) SELECT printf('S%05d', x / (1 + (x % 500 = 7))), x, "
        "CASE WHEN x % 4 THEN x / 8.0 END, "
        "CASE WHEN x % 3 THEN datetime('2021-03-01', '+' || x || ' minutes') END, "
        "CASE WHEN x % 5 THEN 'note <&> ' || x END, CASE WHEN x % 2 THEN randomblob(x % 300) END, "
        "'t1' FROM c");
  }

  std::shared_ptr<ado::Recordset> Query() {
    auto rs = exporter.GetRS("SELECT * FROM t ORDER BY rowid", db);
    EXPECT_NE(rs, nullptr);
    return rs;
  }

  // The keys of the query's records that the index finds changed (or lacks).
  static std::set<std::string> Changed(EntityIndex& index, ado::Recordset& rs) {
    RowReader reader = index.QueryReader(rs.FieldDefs());
    std::set<std::string> changed;
    std::string key;
    for (rs.MoveFirst(); !rs.Eof(); rs.MoveNext()) {
      const size_t record = *rs.CurrentRecord();
      EXPECT_TRUE(reader.Key(rs.Records(), record, key));
      const EntityIndex::Meeting meeting = index.Meet(key);
      if (!meeting.before || *meeting.before != reader.Fingerprint(rs.Records(), record)) {
        changed.insert(key);
      }
    }
    return changed;
  }

  // Compared as a walk compares: every field but Source_Timestamp.
  static EntityIndex NewIndex(const ado::Recordset& rs) {
    std::vector<std::string> names;
    for (const ado::FieldDef& field : rs.FieldDefs()) {
      if (field.name != "Source_Timestamp") names.push_back(field.name);
    }
    return EntityIndex(names, "tSID");
  }

  test::TestFolder folder;
  std::shared_ptr<ado::Connection> db = std::make_shared<ado::Connection>();
  CQvDataExporter exporter{[](auto&&...) {}};
};

// The index read from the last-data file, from its recordset and from its keys file
// finds exactly the records whose values changed, whatever their type, and not one
// whose Source_Timestamp alone changed.
TEST_F(EntityIndexTest, EveryWayOfReadingTheLastDataFindsTheSameChanges) {
  const auto before = Query();
  const std::string last = folder.File("last/t.xml");
  std::filesystem::create_directories(folder.File("last"));
  ASSERT_TRUE(CQvXMLManip().SaveRSToXML(before, last, false, false, 1, false));
  EntityIndex written = NewIndex(*before);
  written.StartFrom(before->FieldDefs(), written);
  RowReader reader = written.QueryReader(before->FieldDefs());
  std::string key;
  for (before->MoveFirst(); !before->Eof(); before->MoveNext()) {
    ASSERT_TRUE(reader.Key(before->Records(), *before->CurrentRecord(), key));
    written.Add(key, reader.Fingerprint(before->Records(), *before->CurrentRecord()));
  }
  written.Save(last);

  db->Execute("UPDATE t SET Source_Timestamp = 't2'");
  const std::set<std::string> expected = {"S00010", "S00011", "S00012", "S00013", "S00014",
                                          "S00015", "S00016", "S00017", "S02344"};
  db->Execute("UPDATE t SET n = n + 1 WHERE tSID = 'S00010'");
  db->Execute("UPDATE t SET r = NULL WHERE tSID = 'S00011'");
  db->Execute("UPDATE t SET r = 0.5 WHERE tSID = 'S00012'");  // was null
  db->Execute("UPDATE t SET d = datetime(d, '+1 second') WHERE tSID = 'S00013'");
  db->Execute("UPDATE t SET note = note || ' ' WHERE tSID = 'S00014'");
  db->Execute("UPDATE t SET note = '' WHERE tSID = 'S00015'");  // was null
  db->Execute("UPDATE t SET b = zeroblob(length(b)) WHERE tSID = 'S00017'");
  db->Execute("INSERT INTO t (tSID) VALUES ('S00016')");  // a second record of a key
  db->Execute("DELETE FROM t WHERE tSID = 'S02000'");     // gone: not the query's
  db->Execute("INSERT INTO t (tSID, n) VALUES ('S02344', 1)");
  const auto after = Query();

  EntityIndex from_file = NewIndex(*after);
  from_file.AddFile(last);
  EXPECT_EQ(Changed(from_file, *after), expected);

  EntityIndex from_recordset = NewIndex(*after);
  from_recordset.AddRecordset(*CQvXMLManip().OpenXMLToRS(last, false));
  EXPECT_EQ(Changed(from_recordset, *after), expected);

  EntityIndex from_keys = NewIndex(*after);
  ASSERT_TRUE(from_keys.Load(last));
  EXPECT_EQ(from_keys.RecordCount(), from_file.RecordCount());
  EXPECT_EQ(Changed(from_keys, *after), expected);
}

// A keys file is taken only for the very file it was written for, with the same
// fields compared, and whole.
TEST_F(EntityIndexTest, AKeysFileOutOfStepIsNotTaken) {
  const auto rs = Query();
  const std::string last = folder.File("t.xml");
  ASSERT_TRUE(CQvXMLManip().SaveRSToXML(rs, last, false, false, 1, false));
  EntityIndex written = NewIndex(*rs);
  written.AddRecordset(*rs);
  written.Save(last);
  const std::string keys = EntityIndex::KeysFileOf(last);
  EXPECT_EQ(std::filesystem::path(keys).filename(), ".t.xml.keys");
  ASSERT_TRUE(NewIndex(*rs).Load(last));

  EXPECT_FALSE(EntityIndex({"n", "r"}, "tSID").Load(last)) << "other fields compared";
  std::string bytes = test::ReadBytes(keys);
  bytes[bytes.size() / 2] ^= 1;
  test::WriteBytes(keys, bytes);
  EXPECT_FALSE(NewIndex(*rs).Load(last)) << "a damaged keys file";
  written.Save(last);
  ASSERT_TRUE(CQvXMLManip().SaveRSToXML(rs, last, false, false, 1, false));
  EXPECT_FALSE(NewIndex(*rs).Load(last)) << "the last data written anew";
}

}  // namespace
}  // namespace qv
