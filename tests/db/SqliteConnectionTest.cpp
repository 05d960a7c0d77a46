#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "OdbcTestUtil.h"
#include "ado/Connection.h"
#include "core/Error.h"
#include "support/TestFolder.h"
#include "xmlformat/XmlWriter.h"

namespace ado {
namespace {

using test::Cell;
using test::ErrorOf;
using test::FieldNamed;
using test::Same;

// Each test runs on SQLite's own library (the default) and through the ODBC driver.
class SqliteConnection : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::ofstream(folder_.File("test.db"));  // an empty file is an empty database
    db_.Open(ConnectionString());
  }
  std::string ConnectionString() const {
    return "Driver=SQLite3;Database=" + folder_.File("test.db") + GetParam();
  }

  qv::test::TestFolder folder_;
  Connection db_;
};

struct StringSinkForTest : OutputSink {
  void Write(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

INSTANTIATE_TEST_SUITE_P(Paths, SqliteConnection, ::testing::Values("", ";NativeSqlite=0"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param[0] == '\0' ? "Native" : "Odbc");
                         });

// SQLite integers are 64-bit whatever the declared type: every integer field is adBigInt.
Variant I8(int64_t v) { return Variant(v); }

TEST_P(SqliteConnection, OpenReportsDbmsStateAndPreparedString) {
  EXPECT_EQ(db_.State(), adStateOpen);
  EXPECT_EQ(db_.DbmsName(), "SQLite");
  EXPECT_NE(db_.ConnectionString().find("StepAPI=1"), std::string::npos);
  EXPECT_EQ(db_.ConnectionString().find("NativeSqlite"), std::string::npos);
  EXPECT_EQ(ErrorOf([&] { db_.Open("Driver=SQLite3;Database=x.db"); }).number,
            core::kErrObjectOpen);
  db_.Close();
  EXPECT_EQ(db_.State(), adStateClosed);
  EXPECT_EQ(db_.ConnectionString(), "");
  EXPECT_EQ(ErrorOf([&] { db_.Query("SELECT 1"); }).number, core::kErrObjectClosed);
}

TEST_P(SqliteConnection, CommonColumnTypesMapAndRead) {
  db_.Execute(
      "CREATE TABLE t(i INTEGER NOT NULL, r REAL, tx TEXT, b BLOB, n NUMERIC, d DATE, "
      "dt DATETIME, v VARCHAR(5), bi BIGINT, bo BOOLEAN, sm SMALLINT)");
  EXPECT_EQ(db_.Execute("INSERT INTO t VALUES(7, 1.5, 'Grüße 😀 €', x'00ff10', 12.25, "
                        "'2024-02-29', '2024-02-29 13:14:15.123', 'abcdefgh', 9000000000, 1, -3)"),
            1);
  db_.Execute("INSERT INTO t(i) VALUES(8)");
  RecordsetData data = db_.Query("SELECT * FROM t ORDER BY i");
  ASSERT_EQ(data.fields.size(), 11u);
  ASSERT_EQ(data.records.RecordCount(), 2u);

  const FieldDef& i = FieldNamed(data, "i");
  EXPECT_EQ(i.type, adBigInt);
  EXPECT_EQ(i.defined_size, 8);
  EXPECT_EQ(i.precision, 19);
  // The driver reports every column as nullable, NOT NULL included.
  EXPECT_EQ(i.attributes, adFldFixed | adFldIsNullable | adFldMayBeNull | adFldUnknownUpdatable);
  EXPECT_EQ(i.base_table, "t");
  EXPECT_EQ(i.base_column, "i");
  const FieldDef& r = FieldNamed(data, "r");
  EXPECT_EQ(r.type, adDouble);
  EXPECT_EQ(r.attributes, adFldFixed | adFldIsNullable | adFldMayBeNull | adFldUnknownUpdatable);
  const FieldDef& tx = FieldNamed(data, "tx");
  EXPECT_EQ(tx.type, adLongVarChar);
  EXPECT_EQ(tx.attributes, adFldLong | adFldIsNullable | adFldMayBeNull | adFldUnknownUpdatable);
  EXPECT_EQ(FieldNamed(data, "v").type, adVarChar);
  EXPECT_EQ(FieldNamed(data, "v").defined_size, 5);
  EXPECT_EQ(FieldNamed(data, "d").type, adDBDate);
  EXPECT_EQ(FieldNamed(data, "dt").type, adDBTimeStamp);
  EXPECT_EQ(FieldNamed(data, "bi").type, adBigInt);
  EXPECT_EQ(FieldNamed(data, "bo").type, adBoolean);
  EXPECT_EQ(FieldNamed(data, "sm").type, adBigInt);
  // The driver reports NUMERIC as a double; BLOB, whatever size it reports, holds values of
  // any length and so is long binary.
  EXPECT_EQ(FieldNamed(data, "n").type, adDouble);
  EXPECT_EQ(FieldNamed(data, "b").type, adLongVarBinary);
  EXPECT_NE(FieldNamed(data, "b").attributes & adFldLong, 0);

  EXPECT_TRUE(Same(Cell(data, 0, "i"), I8(7)));
  EXPECT_TRUE(Same(Cell(data, 0, "r"), Variant(1.5)));
  EXPECT_TRUE(Same(Cell(data, 0, "tx"), Variant("Grüße 😀 €")));
  EXPECT_TRUE(Same(Cell(data, 0, "b"), Variant(Bytes{0x00, 0xff, 0x10})));
  EXPECT_TRUE(Same(Cell(data, 0, "n"), Variant(12.25)));
  // SQLite does not hold a declared size: the whole value comes back.
  EXPECT_TRUE(Same(Cell(data, 0, "v"), Variant("abcdefgh")));
  EXPECT_TRUE(Same(Cell(data, 0, "bi"), Variant(int64_t{9000000000})));
  EXPECT_TRUE(Same(Cell(data, 0, "bo"), Variant(true)));
  EXPECT_TRUE(Same(Cell(data, 0, "sm"), I8(-3)));
  EXPECT_TRUE(Same(Cell(data, 0, "d"), Variant(Date::FromParts({2024, 2, 29}))));
  Variant dt = Cell(data, 0, "dt");
  ASSERT_EQ(dt.Type(), VarType::kDate);
  Date::Parts parts = dt.AsDate().ToParts();
  EXPECT_EQ(parts.year, 2024);
  EXPECT_EQ(parts.day, 29);
  EXPECT_EQ(parts.hour, 13);
  EXPECT_EQ(parts.second, 15);
  EXPECT_EQ(parts.nanosecond, 123000000);

  // The second row: every column but the key is null.
  EXPECT_TRUE(Same(Cell(data, 1, "i"), I8(8)));
  for (size_t f = 1; f < data.fields.size(); ++f) {
    EXPECT_TRUE(data.records.Get(1, f).IsNull()) << data.fields[f].name;
  }
}

TEST_P(SqliteConnection, LongTextAndBlobsComeBackWhole) {
  db_.Execute("CREATE TABLE t(id INTEGER, tx TEXT, b BLOB)");
  std::string text;
  for (int k = 0; k < 3000; ++k) text += "äß😀x";  // crosses every chunk boundary
  std::string hex;
  for (int k = 0; k < 20000; ++k) hex += "0a";
  db_.Execute("INSERT INTO t VALUES(1, '" + text + "', x'" + hex + "')");
  RecordsetData data = db_.Query("SELECT id, tx, b, length(tx) AS n FROM t");
  ASSERT_EQ(data.records.RecordCount(), 1u);
  EXPECT_TRUE(Same(Cell(data, 0, "tx"), Variant(text)));
  EXPECT_TRUE(Same(Cell(data, 0, "b"), Variant(Bytes(20000, 0x0a))));
  // The server saw the text as the characters sent, not as bytes. (The driver types an
  // expression column from its value, so compare the text form.)
  EXPECT_EQ(Cell(data, 0, "n").ToText(), "12000");
}

TEST_P(SqliteConnection, ManyRowsSpanSeveralBlocksInOrder) {
  db_.Execute("CREATE TABLE big(id INTEGER, r REAL, ts TIMESTAMP, tx TEXT)");
  EXPECT_EQ(db_.Execute("INSERT INTO big WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL "
                        "SELECT x + 1 FROM c WHERE x < 9999) "
                        "SELECT x, x / 4.0, '2020-01-01 00:00:00', 'row ' || x FROM c"),
            10000);
  // Fixed-size columns only: fetched in blocks.
  RecordsetData numbers = db_.Query("SELECT id, r, ts FROM big ORDER BY id");
  ASSERT_EQ(numbers.records.RecordCount(), 10000u);
  for (size_t k :
       {size_t{0}, size_t{999}, size_t{1000}, size_t{1001}, size_t{4096}, size_t{9999}}) {
    EXPECT_TRUE(Same(numbers.records.Get(k, 0), I8(static_cast<int64_t>(k)))) << k;
    EXPECT_TRUE(Same(numbers.records.Get(k, 1), Variant(static_cast<double>(k) / 4.0))) << k;
  }
  // With a text column the rows are read one by one; the result must be the same.
  RecordsetData texts = db_.Query("SELECT id, tx FROM big ORDER BY id DESC");
  ASSERT_EQ(texts.records.RecordCount(), 10000u);
  EXPECT_TRUE(Same(texts.records.Get(0, 1), Variant("row 9999")));
  EXPECT_TRUE(Same(texts.records.Get(9999, 1), Variant("row 0")));

  EXPECT_EQ(db_.CountRows("SELECT id, tx FROM big"), 10000);
  EXPECT_EQ(db_.CountRows("SELECT id FROM big WHERE id < 0"), 0);
}

TEST_P(SqliteConnection, CursorReadsInPiecesWhatQueryReadsWhole) {
  db_.Execute("CREATE TABLE big(id INTEGER, r REAL, d DATE, tx TEXT)");
  db_.Execute(
      "INSERT INTO big WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL "
      "SELECT x + 1 FROM c WHERE x < 2499) SELECT x, CASE WHEN x % 7 THEN x / 3.0 END, "
      "CASE WHEN x % 5 THEN date('2020-01-01', '+' || x || ' days') END, "
      "CASE WHEN x % 3 THEN 'row ' || x END FROM c");
  // Fixed-size columns are fetched in blocks, a text column row by row; pieces of 137
  // rows cut across both.
  for (const char* sql :
       {"SELECT id, r, d FROM big ORDER BY id", "SELECT * FROM big ORDER BY id"}) {
    const RecordsetData whole = db_.Query(sql);
    std::unique_ptr<QueryCursor> cursor = db_.OpenCursor(sql);
    StringSinkForTest streamed;
    RecordsetXmlStream stream(cursor->Fields(), whole.properties, streamed);
    size_t rows = 0;
    for (;;) {
      RecordStore piece(cursor->Fields().size());
      const size_t got = cursor->FetchInto(piece, 137);
      ASSERT_EQ(got, piece.RecordCount());
      if (got == 0) break;
      EXPECT_LE(got, 137u);
      stream.WriteRows(piece);
      rows += got;
    }
    stream.Finish();
    EXPECT_EQ(rows, 2500u) << sql;
    EXPECT_EQ(streamed.text, RecordsetDataXmlToString(whole)) << sql;
  }
}

TEST_P(SqliteConnection, ValuesLongerThanTheirBufferBetweenShortOnesComeBackWhole) {
  // Rows alternate between values that fit a modest buffer and values far longer than
  // it or than the declared size, with nulls and empty values in between: no value may
  // keep a part of the row before it.
  db_.Execute("CREATE TABLE t(id INTEGER, v VARCHAR(4), tx TEXT, b BLOB)");
  std::string long_text;
  for (int k = 0; k < 300; ++k) long_text += "é" + std::to_string(k);
  std::string long_hex;
  for (int k = 0; k < 700; ++k) long_hex += "5a";
  db_.Execute("INSERT INTO t VALUES(1, 'ab', 'short', x'01')");
  db_.Execute("INSERT INTO t VALUES(2, 'abcdefghij', '" + long_text + "', x'" + long_hex + "')");
  db_.Execute("INSERT INTO t VALUES(3, NULL, NULL, NULL)");
  db_.Execute("INSERT INTO t VALUES(4, '', '', x'')");
  db_.Execute("INSERT INTO t VALUES(5, 'xyz', 'ÄÖ 😀', x'0203')");
  RecordsetData data = db_.Query("SELECT id, v, tx, b FROM t ORDER BY id");
  ASSERT_EQ(data.records.RecordCount(), 5u);
  EXPECT_TRUE(Same(Cell(data, 0, "v"), Variant("ab")));
  EXPECT_TRUE(Same(Cell(data, 0, "tx"), Variant("short")));
  EXPECT_TRUE(Same(Cell(data, 0, "b"), Variant(Bytes{0x01})));
  EXPECT_TRUE(Same(Cell(data, 1, "v"), Variant("abcdefghij")));
  EXPECT_TRUE(Same(Cell(data, 1, "tx"), Variant(long_text)));
  EXPECT_TRUE(Same(Cell(data, 1, "b"), Variant(Bytes(700, 0x5a))));
  for (const char* name : {"v", "tx", "b"}) {
    EXPECT_TRUE(Cell(data, 2, name).IsNull()) << name;
  }
  EXPECT_TRUE(Same(Cell(data, 3, "v"), Variant("")));
  EXPECT_TRUE(Same(Cell(data, 3, "tx"), Variant("")));
  EXPECT_TRUE(Same(Cell(data, 4, "v"), Variant("xyz")));
  EXPECT_TRUE(Same(Cell(data, 4, "tx"), Variant("ÄÖ 😀")));
  EXPECT_TRUE(Same(Cell(data, 4, "b"), Variant(Bytes{0x02, 0x03})));
  EXPECT_TRUE(Same(Cell(data, 4, "id"), I8(5)));
}

TEST_P(SqliteConnection, StandardRowLimitClauseRunsAsLimit) {
  db_.Execute("CREATE TABLE t(id INTEGER, name TEXT)");
  db_.Execute(
      "INSERT INTO t WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c WHERE x < "
      "24) "
      "SELECT x, 'n' || x FROM c");
  RecordsetData page =
      db_.Query("SELECT id, name FROM t ORDER BY  1 OFFSET 20 ROWS  FETCH NEXT 10 ROWS ONLY");
  ASSERT_EQ(page.records.RecordCount(), 5u);
  EXPECT_TRUE(Same(page.records.Get(0, 0), I8(20)));
  EXPECT_TRUE(Same(page.records.Get(4, 0), I8(24)));
  EXPECT_EQ(
      db_.CountRows("SELECT id FROM t ORDER BY id DESC,  1 OFFSET 0 ROWS  FETCH NEXT 7 ROWS ONLY"),
      7);
  EXPECT_EQ(db_.CountRows("SELECT id FROM t ORDER BY  1 OFFSET 0 ROWS  FETCH NEXT 0 ROWS ONLY"), 0);
}

TEST_P(SqliteConnection, FailuresCarryTheDriversDiagnostics) {
  core::ErrorRecord e = ErrorOf([&] { db_.Query("SELECT * FROM missing_table"); });
  EXPECT_EQ(e.number, core::kErrProvider);
  EXPECT_EQ(e.source, "ODBC");
  EXPECT_EQ(e.description.rfind("[HY000] ", 0), 0u) << e.description;
  EXPECT_NE(e.description.find("no such table: missing_table"), std::string::npos) << e.description;
  EXPECT_NE(e.description.find("(native 1)"), std::string::npos) << e.description;

  // A statement without a result set cannot become a recordset.
  db_.Execute("CREATE TABLE t(i INTEGER, d DATE)");
  EXPECT_EQ(ErrorOf([&] { db_.Query("INSERT INTO t VALUES(1, NULL)"); }).number,
            core::kErrObjectClosed);

  // SQLite stores any 64-bit integer in an INTEGER column; the adBigInt field holds it.
  db_.Execute("INSERT INTO t VALUES(9223372036854775807, NULL)");
  RecordsetData wide = db_.Query("SELECT i FROM t WHERE i > 1");
  ASSERT_EQ(wide.records.RecordCount(), 1u);
  EXPECT_TRUE(Same(wide.records.Get(0, 0), I8(9223372036854775807)));

  // The connection stays usable after failures.
  EXPECT_EQ(db_.Query("SELECT i FROM t WHERE i = 1").records.RecordCount(), 1u);
}

TEST_P(SqliteConnection, RecordsetOpensQueryDisconnected) {
  db_.Execute("CREATE TABLE t(id INTEGER, name VARCHAR(10))");
  db_.Execute("INSERT INTO t VALUES(1, 'a'), (2, 'b'), (3, NULL)");
  auto connection = std::make_shared<Connection>();
  connection->Open(ConnectionString());

  Recordset rs;
  rs.SetCursorLocation(adUseClient);
  rs.SetCursorType(adOpenStatic);
  rs.SetLockType(adLockBatchOptimistic);
  rs.SetSource("SELECT id, name FROM t ORDER BY id");
  rs.SetActiveConnection(connection);
  rs.Open();
  rs.SetActiveConnection(nullptr);
  connection->Close();

  EXPECT_EQ(rs.RecordCount(), 3);
  ASSERT_EQ(rs.Fields().Count(), 2);
  EXPECT_EQ(rs.Fields().Item("name").Type(), adVarChar);
  rs.MoveLast();
  EXPECT_TRUE(rs.Fields().Item("name").Value().IsNull());
  EXPECT_TRUE(Same(rs.Fields().Item("id").Value(), I8(3)));
}

TEST(SqliteConnectionOpen, WrongConnectionStringFailsAndStaysClosed) {
  Connection db;
  core::ErrorRecord e =
      ErrorOf([&] { db.Open("Driver=NoSuchDriver;Database=x.db;Pwd=topsecret"); });
  EXPECT_EQ(e.number, core::kErrProvider);
  EXPECT_EQ(e.description.front(), '[') << e.description;
  EXPECT_NE(e.description.find("NoSuchDriver"), std::string::npos) << e.description;
  EXPECT_EQ(e.description.find("topsecret"), std::string::npos);
  EXPECT_EQ(db.State(), adStateClosed);

  // A missing database file is an error and no file is made, on either path.
  qv::test::TestFolder folder;
  for (const std::string& path : {folder.File("no/such/folder/x.db"), folder.File("x.db")}) {
    core::ErrorRecord missing = ErrorOf([&] { db.Open("Driver=SQLite3;Database=" + path); });
    EXPECT_EQ(missing.number, core::kErrProvider);
    EXPECT_NE(missing.description.find(path), std::string::npos) << missing.description;
    EXPECT_EQ(db.State(), adStateClosed);
    EXPECT_FALSE(std::filesystem::exists(path)) << path;
  }
  EXPECT_EQ(ErrorOf([&] {
              db.Open("Driver=SQLite3;NativeSqlite=0;NoCreat=1;Database=" + folder.File("y.db"));
            }).number,
            core::kErrProvider);
  EXPECT_FALSE(std::filesystem::exists(folder.File("y.db")));
}

}  // namespace
}  // namespace ado
