// Every common column type of SQLite and PostgreSQL over several fetch blocks, nulls
// interleaved: each value read must be the one the database holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "OdbcTestUtil.h"
#include "ado/Connection.h"
#include "ado/OdbcHandle.h"
#include "ado/OdbcResultReader.h"
#include "support/Postgres.h"
#include "support/TestFolder.h"

namespace ado {
namespace {

using test::ErrorOf;
using test::Same;

constexpr int kRows = 2500;

// One column: its SQL type, the SQL expression of its value in row k (1 to kRows), and
// the value a recordset must hold for it.
struct ColumnCase {
  const char* name;
  const char* type;
  std::string expression;
  std::function<Variant(int)> value;
};

bool NullAt(size_t column, int k) { return (k + static_cast<int>(column)) % 7 == 0; }

// Fills table t with rows k = 1..kRows (`rows` is the FROM source naming k, `prefix`
// what goes before the SELECT), then reads each column alone, so that fixed-size types
// are fetched in blocks, and all of them together.
void CheckColumns(Connection& db, const std::vector<ColumnCase>& columns, const std::string& prefix,
                  const std::string& rows) {
  std::string create = "CREATE TABLE t(k INTEGER";
  std::string select = "SELECT k";
  for (size_t c = 0; c < columns.size(); ++c) {
    create += std::string(", ") + columns[c].name + " " + columns[c].type;
    select += ", CASE WHEN (k + " + std::to_string(c) + ") % 7 = 0 THEN NULL ELSE " +
              columns[c].expression + " END";
  }
  db.Execute(create + ")");
  db.Execute("INSERT INTO t " + prefix + select + " FROM " + rows);

  auto check = [&](const std::string& sql, const std::vector<size_t>& which) {
    SCOPED_TRACE(sql);
    RecordsetData data = db.Query(sql);
    ASSERT_EQ(data.records.RecordCount(), static_cast<size_t>(kRows));
    for (size_t f = 0; f < which.size(); ++f) {
      const ColumnCase& column = columns[which[f]];
      for (int k = 1; k <= kRows; ++k) {
        const Variant expected = NullAt(which[f], k) ? Variant::Null() : column.value(k);
        const auto same = Same(data.records.Get(static_cast<size_t>(k - 1), f + 1), expected);
        if (!same) {
          ADD_FAILURE() << column.name << " in row " << k << ": " << same.message();
          break;
        }
      }
    }
  };
  std::vector<size_t> all;
  for (size_t c = 0; c < columns.size(); ++c) {
    check(std::string("SELECT k, ") + columns[c].name + " FROM t ORDER BY k", {c});
    all.push_back(c);
  }
  std::string every = "SELECT k";
  for (const ColumnCase& column : columns) every += std::string(", ") + column.name;
  check(every + " FROM t ORDER BY k", all);
}

Date DaysAfter(Date::Parts base, int days) { return Date{Date::FromParts(base).days + days}; }

// k * 37 seconds after midnight, as a time of day.
Date TimeOfDay(int k) {
  const int seconds = k * 37 % 86400;
  Date::Parts parts;
  parts.hour = seconds / 3600;
  parts.minute = seconds / 60 % 60;
  parts.second = seconds % 60;
  return Date::FromParts(parts);
}

// 2024-05-01 10:00:00 + k seconds, with the given fraction.
Date TimestampAt(int k, int32_t nanosecond) {
  Date::Parts parts{2024, 5, 1, 10 + k / 3600, k / 60 % 60, k % 60, nanosecond};
  return Date::FromParts(parts);
}

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

int64_t Big(int k) { return int64_t{3689348814741910} * k * (k % 2 == 0 ? 1 : -1); }

TEST(ColumnBlocks, SqliteValuesOverSeveralBlocks) {
  qv::test::TestFolder folder;
  Connection db;
  db.Open("Driver=SQLite3;NoCreat=0;Database=" + folder.File("blocks.db"));
  const std::vector<ColumnCase> columns = {
      {"i", "INTEGER", "k * 858993 - 1073741824",
       [](int k) { return Variant(int64_t{858993} * k - 1073741824); }},
      {"bi", "BIGINT", "k * 3689348814741910 * (CASE k % 2 WHEN 0 THEN 1 ELSE -1 END)",
       [](int k) { return Variant(Big(k)); }},
      {"sm", "SMALLINT", "(k * 13) % 65536 - 32768",
       [](int k) { return Variant(int64_t{k * 13 % 65536 - 32768}); }},
      {"r", "REAL", "k / 8.0", [](int k) { return Variant(k / 8.0); }},
      {"n", "NUMERIC", "k / 4.0", [](int k) { return Variant(k / 4.0); }},
      {"bo", "BOOLEAN", "k % 2", [](int k) { return Variant(k % 2 == 1); }},
      {"tx", "TEXT", "'Grüße ' || k || ' 😀'",
       [](int k) { return Variant("Grüße " + std::to_string(k) + " 😀"); }},
      {"v", "VARCHAR(20)", "'Ω' || k", [](int k) { return Variant("Ω" + std::to_string(k)); }},
      {"c", "CHAR(3)", "printf('%03d', k % 1000)",
       [](int k) {
         char text[8];
         std::snprintf(text, sizeof text, "%03d", k % 1000);
         return Variant(text);
       }},
      {"b", "BLOB", "CAST('b' || k AS BLOB)",
       [](int k) { return Variant(BytesOf("b" + std::to_string(k))); }},
      {"d", "DATE", "date('2000-01-01', '+' || k || ' days')",
       [](int k) {
         return Variant(DaysAfter({2000, 1, 1}, k));
       }},
      {"ts", "DATETIME",
       "strftime('%Y-%m-%d %H:%M:%f', '2024-05-01 10:00:00.123', '+' || k || ' seconds')",
       [](int k) { return Variant(TimestampAt(k, 123000000)); }},
      {"tm", "TIME", "time(k * 37 % 86400, 'unixepoch')",
       [](int k) { return Variant(TimeOfDay(k)); }},
  };
  CheckColumns(db, columns,
               "WITH RECURSIVE g(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM g WHERE k < " +
                   std::to_string(kRows) + ") ",
               "g");
}

TEST(ColumnBlocks, PostgresValuesOverSeveralBlocks) {
  const std::string env = qv::test::PostgresConnectionString();
  if (env.empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
  Connection db;
  db.Open(env);
  db.Execute("DROP SCHEMA IF EXISTS qv_column_blocks CASCADE");
  db.Execute("CREATE SCHEMA qv_column_blocks");
  db.Execute("SET search_path TO qv_column_blocks");
  const Int128 n_step = Int128{1234567890123} * 10000000000 + 123456789;
  const std::vector<ColumnCase> columns = {
      {"i", "integer", "k * 858993 - 1073741824",
       [](int k) { return Variant::Integer(VarType::kI4, int64_t{858993} * k - 1073741824); }},
      {"bi", "bigint", "k * 3689348814741910 * (CASE k % 2 WHEN 0 THEN 1 ELSE -1 END)",
       [](int k) { return Variant(Big(k)); }},
      {"sm", "smallint", "(k * 13) % 65536 - 32768",
       [](int k) { return Variant::Integer(VarType::kI2, k * 13 % 65536 - 32768); }},
      {"n", "numeric(38,10)", "k * 1234567890123.0123456789",
       [n_step](int k) { return Variant(Decimal(n_step * k, 10)); }},
      {"m", "numeric(10,2)", "k * 1.25", [](int k) { return Variant(Decimal(k * 125, 2)); }},
      {"r", "real", "k / 4.0", [](int k) { return Variant::Single(static_cast<float>(k) / 4); }},
      {"dp", "double precision", "k / 8.0", [](int k) { return Variant(k / 8.0); }},
      {"bo", "boolean", "k % 2 = 1", [](int k) { return Variant(k % 2 == 1); }},
      {"tx", "text", "'Grüße ' || k || ' 😀'",
       [](int k) { return Variant("Grüße " + std::to_string(k) + " 😀"); }},
      {"v", "varchar(20)", "'Ω' || k", [](int k) { return Variant("Ω" + std::to_string(k)); }},
      {"c", "char(3)", "lpad((k % 1000)::text, 3, '0')",
       [](int k) {
         char text[8];
         std::snprintf(text, sizeof text, "%03d", k % 1000);
         return Variant(text);
       }},
      {"b", "bytea", "convert_to('b' || k, 'UTF8')",
       [](int k) { return Variant(BytesOf("b" + std::to_string(k))); }},
      {"u", "uuid", "('a0eebc99-9c0b-4ef8-bb6d-' || lpad(to_hex(k), 12, '0'))::uuid",
       [](int k) {
         char text[48];
         std::snprintf(text, sizeof text, "{A0EEBC99-9C0B-4EF8-BB6D-%012X}", k);
         return Variant(text);
       }},
      {"d", "date", "date '2000-01-01' + k",
       [](int k) {
         return Variant(DaysAfter({2000, 1, 1}, k));
       }},
      {"tm", "time", "time '00:00' + (k * 37 % 86400) * interval '1 second'",
       [](int k) { return Variant(TimeOfDay(k)); }},
      {"ts", "timestamp", "timestamp '2024-05-01 10:00:00.123456' + k * interval '1 second'",
       [](int k) { return Variant(TimestampAt(k, 123456000)); }},
  };
  CheckColumns(db, columns, "", "generate_series(1, " + std::to_string(kRows) + ") AS g(k)");
  db.Execute("DROP SCHEMA qv_column_blocks CASCADE");
}

// A read that fails halfway leaves the statement with no binding into the reader's
// buffers and no block size that the next fetch would fill; so does a count.
TEST(ColumnBlocks, FailedReadLeavesTheStatementUnbound) {
  qv::test::TestFolder folder;
  const std::string path = folder.File("bad.db");
  {
    Connection db;
    db.Open("Driver=SQLite3;NoCreat=0;Database=" + path);
    db.Execute("CREATE TABLE t(k INTEGER, d DATE)");
    db.Execute(
        "INSERT INTO t WITH RECURSIVE g(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM g "
        "WHERE k < 2500) SELECT k, CASE k WHEN 2001 THEN '0000-01-01' ELSE '2024-01-01' "
        "END FROM g");
  }
  using odbc::OdbcHandle;
  OdbcHandle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  OdbcHandle dbc(SQL_HANDLE_DBC, env.get());
  std::string text = "Driver=SQLite3;StepAPI=1;Database=" + path;
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLDriverConnectA(dbc.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                      SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
  auto run = [&](const char* sql) {
    OdbcHandle statement(SQL_HANDLE_STMT, dbc.get());
    std::string query = sql;
    EXPECT_TRUE(SQL_SUCCEEDED(
        SQLExecDirectA(statement.get(), reinterpret_cast<SQLCHAR*>(query.data()), SQL_NTS)));
    return statement;
  };
  auto expect_unbound = [](const OdbcHandle& statement) {
    SQLULEN block = 0;
    SQLGetStmtAttr(statement.get(), SQL_ATTR_ROW_ARRAY_SIZE, &block, 0, nullptr);
    EXPECT_EQ(block, 1u);
    SQLPOINTER fetched = &block;
    SQLGetStmtAttr(statement.get(), SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0, nullptr);
    EXPECT_EQ(fetched, nullptr);
    // The rest of the result fetches into nothing of the reader's (AddressSanitizer
    // reports a write into its freed buffers).
    SQLRETURN rc;
    while (SQL_SUCCEEDED(rc = SQLFetch(statement.get()))) {
    }
    EXPECT_EQ(rc, SQL_NO_DATA);
  };
  {
    OdbcHandle statement = run("SELECT k, d FROM t ORDER BY k");
    {
      odbc::DriverTraits traits;
      traits.sizes_enforced = false;
      odbc::OdbcResultReader reader(statement, traits);
      ASSERT_GT(reader.BlockRows(), 1u);
      RecordStore store(2);
      const core::ErrorRecord e = ErrorOf([&] { reader.ReadInto(store); });
      EXPECT_EQ(e.description.rfind("Column 'd', row 2001: ", 0), 0u) << e.description;
      expect_unbound(statement);  // by the failed read, not only by the reader's end
    }
  }
  {
    OdbcHandle statement = run("SELECT k FROM t");
    EXPECT_EQ(odbc::CountResultRows(statement), kRows);
    SQLCloseCursor(statement.get());
    const std::string again = "SELECT k FROM t";
    SQLExecDirectA(statement.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(again.data())),
                   SQL_NTS);
    expect_unbound(statement);
  }
  {
    // A count that fails halfway (integer overflow in row 2001).
    OdbcHandle statement =
        run("SELECT CASE k WHEN 2001 THEN abs(-9223372036854775807 - 1) ELSE k END FROM t");
    EXPECT_NE(ErrorOf([&] { odbc::CountResultRows(statement); }).number, 0);
    expect_unbound(statement);
  }
  SQLDisconnect(dbc.get());
}

}  // namespace
}  // namespace ado
