// What the reader does when a driver hands back more or other than asked: a wider C type
// than bound, a fetch that fails, told the way the driver tells it.
#include <gtest/gtest.h>

#include <string>

#include "OdbcTestUtil.h"
#include "ado/Connection.h"
#include "db/odbc/OdbcHandle.h"
#include "db/odbc/OdbcResultReader.h"
#include "support/Postgres.h"

namespace ado {
namespace {

using odbc::OdbcHandle;
using test::ErrorOf;

constexpr int kRows = 2500;

// A raw ODBC connection to the MariaDB test server with a table of kRows rows: a FLOAT
// and a TIME beyond the day in every row, null in every seventh.
class MariadbDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_ = qv::test::MariadbConnectionString();
    if (connection_.empty()) GTEST_SKIP() << "QV_TEST_MARIADB is not set";
    // A table of each test's own: tests run side by side.
    table_ = qv::test::TestSchema("qv_trust_");
    Connection db;
    db.Open(connection_);
    db.Execute("DROP TABLE IF EXISTS " + table_);
    db.Execute("CREATE TABLE " + table_ + "(k INT, f FLOAT, tm TIME)");
    db.Execute("INSERT INTO " + table_ +
               " SELECT seq, IF(seq % 7 = 0, NULL, seq / 4e0), "
               "IF(seq % 7 = 0, NULL, SEC_TO_TIME(seq * 400)) FROM seq_1_to_" +
               std::to_string(kRows));
    env_ = OdbcHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    dbc_ = OdbcHandle(SQL_HANDLE_DBC, env_.get());
    std::string text = connection_;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnectA(dbc_.get(), nullptr,
                                                reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                                nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
  }
  void TearDown() override {
    if (dbc_) SQLDisconnect(dbc_.get());
    if (table_.empty()) return;
    Connection db;
    db.Open(connection_);
    db.Execute("DROP TABLE IF EXISTS " + table_);
  }

  OdbcHandle Run(std::string sql) {
    OdbcHandle statement(SQL_HANDLE_STMT, dbc_.get());
    EXPECT_TRUE(SQL_SUCCEEDED(
        SQLExecDirectA(statement.get(), reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)));
    return statement;
  }

  // MariaDB's driver as the connection sees it, before any choice about its quirks.
  static odbc::DriverTraits Traits() {
    odbc::DriverTraits traits;
    traits.getdata_any_column = traits.getdata_bound = true;
    traits.text_is_unicode = true;
    traits.text_truncation_reported = false;
    traits.time_beyond_day = true;
    return traits;
  }

  std::string connection_;
  std::string table_;
  OdbcHandle env_;
  OdbcHandle dbc_;
};

// MariaDB's driver writes an 8-byte double into each 4-byte SQL_C_FLOAT cell. Asked
// for SQL_C_FLOAT anyway, the read fails naming the column, and nothing outside the
// reader's buffers is written (AddressSanitizer would report it). Read the way the
// connection reads it, every value arrives.
TEST_F(MariadbDriver, AWiderCTypeThanAskedFailsTheReadWithoutHarm) {
  {
    OdbcHandle statement = Run("SELECT k, f FROM " + table_ + " ORDER BY k");
    odbc::DriverTraits traits = Traits();
    traits.c_float_exact = true;  // not so: the driver writes doubles
    odbc::OdbcResultReader reader(statement, traits);
    ASSERT_GT(reader.BlockRows(), 1u);
    RecordStore store(2);
    const core::ErrorRecord e = ErrorOf([&] { reader.ReadInto(store); });
    EXPECT_NE(e.description.find("Column 'f': the driver wrote past the 4-byte SQL_C_FLOAT"),
              std::string::npos)
        << e.description;
    EXPECT_EQ(store.RecordCount(), 0u);  // no value of the block was taken
  }
  OdbcHandle statement = Run("SELECT k, f FROM " + table_ + " ORDER BY k");
  odbc::OdbcResultReader reader(statement, Traits());
  RecordStore store(2);
  reader.ReadInto(store);
  ASSERT_EQ(store.RecordCount(), static_cast<size_t>(kRows));
  for (int k = 1; k <= kRows; ++k) {
    const Variant expected =
        k % 7 == 0 ? Variant::Null() : Variant::Single(static_cast<float>(k) / 4);
    ASSERT_TRUE(test::Same(store.Get(static_cast<size_t>(k - 1), 1), expected)) << k;
  }
}

// A fetch the driver fails says what the driver said (SQLSTATE, text, native code) and
// where: here TIME values beyond the day asked for as times of day. MariaDB's driver
// fails the whole block when its first row fails, and otherwise marks the row failed
// without a word: the row is all there is to name.
TEST_F(MariadbDriver, AFailedFetchNamesTheDriversDiagnosticsAndRows) {
  odbc::DriverTraits traits = Traits();
  traits.time_beyond_day = false;
  const int first_beyond = 86400 / 400;  // SEC_TO_TIME(k * 400) leaves the day
  {
    OdbcHandle statement = Run("SELECT k, tm FROM " + table_ + " WHERE k >= 300 ORDER BY k");
    odbc::OdbcResultReader reader(statement, traits);
    RecordStore store(2);
    const core::ErrorRecord e = ErrorOf([&] { reader.ReadInto(store); });
    EXPECT_EQ(
        e.description.rfind("Rows 1 to " + std::to_string(reader.BlockRows()) + ": [22007] ", 0),
        0u)
        << e.description;
    EXPECT_NE(e.description.find("Invalid datetime format (native 0)"), std::string::npos)
        << e.description;
  }
  OdbcHandle statement = Run("SELECT k, tm FROM " + table_ + " ORDER BY k");
  odbc::OdbcResultReader reader(statement, traits);
  RecordStore store(2);
  const core::ErrorRecord e = ErrorOf([&] { reader.ReadInto(store); });
  EXPECT_EQ(e.description, "Row " + std::to_string(first_beyond) +
                               ": the driver failed the row without saying why");
  EXPECT_EQ(store.RecordCount(), static_cast<size_t>(first_beyond - 1));
}

}  // namespace
}  // namespace ado
