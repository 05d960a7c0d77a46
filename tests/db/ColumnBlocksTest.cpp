// Every common column type of SQLite (natively and through its driver), PostgreSQL and
// MariaDB over several fetch blocks, nulls interleaved: each value read must be the one
// the database holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "OdbcTestUtil.h"
#include "ado/Connection.h"
#include "db/odbc/OdbcHandle.h"
#include "db/odbc/OdbcResultReader.h"
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

// A database to fill: its connection (empty to skip), the table to fill, what goes
// before the SELECT and the FROM source naming k, and the columns.
struct Backend {
  const char* name;
  std::function<std::string(qv::test::TestFolder&)> connection;
  std::string table;
  std::string prefix;
  std::string rows;
  std::function<std::vector<ColumnCase>()> columns;
  // Values of some columns that arrive as null, with a warning naming the column.
  std::function<bool(const std::string& column, int k)> null_with_warning;
};

// Fills the table with rows k = 1..kRows, then reads each column alone, so that
// fixed-size types are fetched in blocks, and all of them together.
void CheckColumns(Connection& db, const Backend& backend) {
  const std::vector<ColumnCase> columns = backend.columns();
  const std::string& table = backend.table;
  std::string create = "CREATE TABLE " + table + "(k INTEGER";
  std::string select = "SELECT k";
  for (size_t c = 0; c < columns.size(); ++c) {
    create += std::string(", ") + columns[c].name + " " + columns[c].type;
    select += ", CASE WHEN (k + " + std::to_string(c) + ") % 7 = 0 THEN NULL ELSE " +
              columns[c].expression + " END";
  }
  db.Execute(create + ")");
  db.Execute("INSERT INTO " + table + " " + backend.prefix + select + " FROM " + backend.rows);

  auto check = [&](const std::string& sql, const std::vector<size_t>& which) {
    SCOPED_TRACE(sql);
    RecordsetData data = db.Query(sql);
    const std::vector<std::string> warnings = db.TakeWarnings();
    ASSERT_EQ(data.records.RecordCount(), static_cast<size_t>(kRows));
    for (size_t f = 0; f < which.size(); ++f) {
      const ColumnCase& column = columns[which[f]];
      bool warned = false;
      for (int k = 1; k <= kRows; ++k) {
        const bool changed = backend.null_with_warning && backend.null_with_warning(column.name, k);
        warned = warned || (changed && !NullAt(which[f], k));
        const Variant expected = NullAt(which[f], k) || changed ? Variant::Null() : column.value(k);
        const auto same = Same(data.records.Get(static_cast<size_t>(k - 1), f + 1), expected);
        if (!same) {
          ADD_FAILURE() << column.name << " in row " << k << ": " << same.message();
          break;
        }
      }
      const std::string named = std::string("Column '") + column.name + "'";
      const bool has_warning = std::any_of(warnings.begin(), warnings.end(),
                                           [&](const auto& w) { return w.rfind(named, 0) == 0; });
      EXPECT_EQ(has_warning, warned) << column.name;
    }
  };
  std::vector<size_t> all;
  for (size_t c = 0; c < columns.size(); ++c) {
    check(std::string("SELECT k, ") + columns[c].name + " FROM " + table + " ORDER BY k", {c});
    all.push_back(c);
  }
  std::string every = "SELECT k";
  for (const ColumnCase& column : columns) every += std::string(", ") + column.name;
  check(every + " FROM " + table + " ORDER BY k", all);
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

// 9999-12-31 23:00:00 + k seconds and a microsecond fraction different in each row:
// a day value this far from 1899 cannot carry microseconds.
Date FarTimestamp(int k) {
  Date::Parts parts{9999, 12, 31, 23, k / 60, k % 60, k * 7919 % 1000000 * 1000};
  return Date::FromParts(parts);
}
const std::string kFarMicros = "(k * 7919 % 1000000)";

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

int64_t Big(int k) { return int64_t{3689348814741910} * k * (k % 2 == 0 ? 1 : -1); }

std::string Padded(int k) {
  char text[8];
  std::snprintf(text, sizeof text, "%03d", k % 1000);
  return text;
}

// About a kilobyte of Greek, CJK and emoji (outside the BMP), different in every row.
const std::string kScripts = "Ωμέγα 中文字 😀🎉 ";
constexpr int kScriptRepeats = 40;
std::string LongText(int k) {
  std::string text = std::to_string(k) + ' ';
  for (int i = 0; i < kScriptRepeats; ++i) text += kScripts;
  return text;
}

// In a few rows, text of about 12 KB that SQLGetData reads in several pieces, with
// characters across the pieces' ends; "x" in the others.
constexpr int kHugeRepeats = 400;
bool HugeAt(int k) { return k % 500 == 1; }
std::string HugeText(int k) {
  std::string text;
  for (int i = 0; HugeAt(k) && i < kHugeRepeats; ++i) text += kScripts;
  return HugeAt(k) ? text : "x";
}
const std::string kHugeWhen = "CASE WHEN k % 500 = 1 THEN ";

std::vector<ColumnCase> SqliteColumns() {
  return {
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
      {"lt", "TEXT",
       "k || ' ' || replace(printf('%.*c', " + std::to_string(kScriptRepeats) + ", 'x'), 'x', '" +
           kScripts + "')",
       [](int k) { return Variant(LongText(k)); }},
      {"v", "VARCHAR(20)", "'Ω' || k", [](int k) { return Variant("Ω" + std::to_string(k)); }},
      {"ht", "TEXT",
       kHugeWhen + "replace(printf('%.*c', " + std::to_string(kHugeRepeats) + ", 'x'), 'x', '" +
           kScripts + "') ELSE 'x' END",
       [](int k) { return Variant(HugeText(k)); }},
      {"c", "CHAR(3)", "printf('%03d', k % 1000)", [](int k) { return Variant(Padded(k)); }},
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
      {"far", "DATETIME",
       "strftime('%Y-%m-%d %H:%M:%S', '9999-12-31 23:00:00', '+' || k || ' seconds') || '.' || "
       "printf('%06d', " +
           kFarMicros + ")",
       [](int k) { return Variant(FarTimestamp(k)); }},
  };
}

std::vector<ColumnCase> PostgresColumns() {
  const Int128 n_step = Int128{1234567890123} * 10000000000 + 123456789;
  return {
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
      {"dp", "double precision", "k * 1.5e-300::float8",
       [](int k) { return Variant(k * 1.5e-300); }},
      {"bo", "boolean", "k % 2 = 1", [](int k) { return Variant(k % 2 == 1); }},
      {"tx", "text", "'Grüße ' || k || ' 😀'",
       [](int k) { return Variant("Grüße " + std::to_string(k) + " 😀"); }},
      {"lt", "text",
       "k || ' ' || repeat('" + kScripts + "', " + std::to_string(kScriptRepeats) + ")",
       [](int k) { return Variant(LongText(k)); }},
      {"v", "varchar(20)", "'Ω' || k", [](int k) { return Variant("Ω" + std::to_string(k)); }},
      {"ht", "text",
       kHugeWhen + "repeat('" + kScripts + "', " + std::to_string(kHugeRepeats) + ") ELSE 'x' END",
       [](int k) { return Variant(HugeText(k)); }},
      {"c", "char(3)", "lpad((k % 1000)::text, 3, '0')", [](int k) { return Variant(Padded(k)); }},
      {"b", "bytea", "convert_to('b' || k, 'UTF8')",
       [](int k) { return Variant(BytesOf("b" + std::to_string(k))); }},
      {"u", "uuid", "('a0eebc99-9c0b-4ef8-bb6d-' || lpad(to_hex(k), 12, '0'))::uuid",
       [](int k) {
         char text[48];
         std::snprintf(text, sizeof text, "{A0EEBC99-9C0B-4EF8-BB6D-%012X}", k);
         return Variant(text);
       }},
      {"j", "jsonb", "jsonb_build_object('k', k, 'name', 'Ωμέγα ' || k)",
       [](int k) {
         return Variant("{\"k\": " + std::to_string(k) + ", \"name\": \"Ωμέγα " +
                        std::to_string(k) + "\"}");
       }},
      {"d", "date", "date '2000-01-01' + k",
       [](int k) {
         return Variant(DaysAfter({2000, 1, 1}, k));
       }},
      {"tm", "time", "time '00:00' + (k * 37 % 86400) * interval '1 second'",
       [](int k) { return Variant(TimeOfDay(k)); }},
      {"ts", "timestamp", "timestamp '2024-05-01 10:00:00.123456' + k * interval '1 second'",
       [](int k) { return Variant(TimestampAt(k, 123456000)); }},
      {"far", "timestamp(6)",
       "timestamp '9999-12-31 23:00:00' + k * interval '1 second' + " + kFarMicros +
           " * interval '1 microsecond'",
       [](int k) { return Variant(FarTimestamp(k)); }},
  };
}

// A MariaDB TIME is a duration: its server text, sign and all.
std::string Duration(int seconds) {
  const int magnitude = seconds < 0 ? -seconds : seconds;
  char text[24];
  std::snprintf(text, sizeof text, "%s%02d:%02d:%02d", seconds < 0 ? "-" : "", magnitude / 3600,
                magnitude / 60 % 60, magnitude % 60);
  return text;
}

// Zero dates: 0000-00-00 (the driver gives null) and a zero day in 2024-00-00 (null
// with a warning).
bool ZeroDateAt(int k) { return k % 500 == 3 || k % 500 == 4; }

std::vector<ColumnCase> MariadbColumns() {
  const Int128 n_step = Int128{1234567890123} * 10000000000 + 123456789;
  return {
      {"i", "INT", "k * 858993 - 1073741824",
       [](int k) { return Variant::Integer(VarType::kI4, int64_t{858993} * k - 1073741824); }},
      {"ti", "TINYINT", "k % 256 - 128",
       [](int k) { return Variant::Integer(VarType::kI1, k % 256 - 128); }},
      {"bi", "BIGINT", "k * 3689348814741910 * (CASE k % 2 WHEN 0 THEN 1 ELSE -1 END)",
       [](int k) { return Variant(Big(k)); }},
      {"ub", "BIGINT UNSIGNED", "18446744073709551615 - k * 1000",
       [](int k) { return Variant::UnsignedInteger(18446744073709551615u - uint64_t(k) * 1000); }},
      {"n", "DECIMAL(38,10)", "k * 1234567890123.0123456789",
       [n_step](int k) { return Variant(Decimal(n_step * k, 10)); }},
      {"f", "FLOAT", "k / 4e0", [](int k) { return Variant::Single(static_cast<float>(k) / 4); }},
      {"dp", "DOUBLE", "k * 1.5e-300", [](int k) { return Variant(k * 1.5e-300); }},
      {"bt", "BIT(1)", "k % 2", [](int k) { return Variant(k % 2 == 1); }},
      {"lt", "TEXT",
       "CONCAT(k, ' ', REPEAT('" + kScripts + "', " + std::to_string(kScriptRepeats) + "))",
       [](int k) { return Variant(LongText(k)); }},
      {"v", "VARCHAR(20)", "CONCAT('Ω', k)",
       [](int k) { return Variant("Ω" + std::to_string(k)); }},
      {"ht", "MEDIUMTEXT",
       kHugeWhen + "REPEAT('" + kScripts + "', " + std::to_string(kHugeRepeats) + ") ELSE 'x' END",
       [](int k) { return Variant(HugeText(k)); }},
      {"e", "ENUM('small','medium','large')", "ELT(k % 3 + 1, 'small', 'medium', 'large')",
       [](int k) {
         const char* names[] = {"small", "medium", "large"};
         return Variant(names[k % 3]);
       }},
      {"st", "SET('red','green','blue')", "ELT(k % 4 + 1, 'red', 'green', 'red,blue', '')",
       [](int k) {
         const char* names[] = {"red", "green", "red,blue", ""};
         return Variant(names[k % 4]);
       }},
      {"j", "JSON", "JSON_OBJECT('k', k, 'name', CONCAT('Ωμέγα ', k))",
       [](int k) {
         return Variant("{\"k\": " + std::to_string(k) + ", \"name\": \"Ωμέγα " +
                        std::to_string(k) + "\"}");
       }},
      {"bl", "BLOB", "CONCAT(x'00ff', k)",
       [](int k) {
         Bytes bytes = {0x00, 0xff};
         for (char c : std::to_string(k)) bytes.push_back(static_cast<uint8_t>(c));
         return Variant(bytes);
       }},
      {"tm", "TIME", "SEC_TO_TIME((k - 1250) * 1234)",
       [](int k) { return Variant(Duration((k - 1250) * 1234)); }},
      {"d", "DATE",
       "CASE WHEN k % 500 = 3 THEN '0000-00-00' WHEN k % 500 = 4 THEN '2024-00-00' "
       "ELSE DATE '2000-01-01' + INTERVAL k DAY END",
       [](int k) {
         return Variant(DaysAfter({2000, 1, 1}, k));
       }},
      {"ts", "DATETIME(6)", "TIMESTAMP '2024-05-01 10:00:00.123456' + INTERVAL k SECOND",
       [](int k) { return Variant(TimestampAt(k, 123456000)); }},
      {"far", "DATETIME(6)",
       "TIMESTAMP '9999-12-31 23:00:00' + INTERVAL k SECOND + INTERVAL " + kFarMicros +
           " MICROSECOND",
       [](int k) { return Variant(FarTimestamp(k)); }},
  };
}

const Backend kBackends[] = {
    {"Sqlite",
     [](qv::test::TestFolder& folder) {
       return "Driver=SQLite3;NoCreat=0;Database=" + folder.File("blocks.db");
     },
     "t",
     "WITH RECURSIVE g(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM g WHERE k < " +
         std::to_string(kRows) + ") ",
     "g", SqliteColumns, nullptr},
    {"SqliteOdbc",
     [](qv::test::TestFolder& folder) {
       return "Driver=SQLite3;NoCreat=0;NativeSqlite=0;Database=" + folder.File("blocks.db");
     },
     "t",
     "WITH RECURSIVE g(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM g WHERE k < " +
         std::to_string(kRows) + ") ",
     "g", SqliteColumns, nullptr},
    {"Postgres", [](qv::test::TestFolder&) { return qv::test::PostgresConnectionString(); },
     "qv_column_blocks.t", "", "generate_series(1, " + std::to_string(kRows) + ") AS g(k)",
     PostgresColumns, nullptr},
    {"PostgresOdbc",
     [](qv::test::TestFolder&) {
       const std::string connection = qv::test::PostgresConnectionString();
       return connection.empty() ? connection : connection + ";NativePostgres=0";
     },
     "qv_column_blocks_odbc.t", "", "generate_series(1, " + std::to_string(kRows) + ") AS g(k)",
     PostgresColumns, nullptr},
    {"Mariadb", [](qv::test::TestFolder&) { return qv::test::MariadbConnectionString(); },
     "qv_column_blocks", "",
     "(SELECT CAST(seq AS SIGNED) AS k FROM seq_1_to_" + std::to_string(kRows) + ") AS g",
     MariadbColumns,
     [](const std::string& column, int k) { return column == "d" && ZeroDateAt(k); }},
};

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

class ColumnBlocks : public ::testing::TestWithParam<Backend> {};

TEST_P(ColumnBlocks, EveryCommonTypeExactOverSeveralBlocks) {
  const Backend& backend = GetParam();
  qv::test::TestFolder folder;
  const std::string connection = backend.connection(folder);
  if (connection.empty()) GTEST_SKIP() << backend.name << " is not configured";
  Connection db;
  db.Open(connection);
  const std::string name = backend.name;
  const bool postgres = name.starts_with("Postgres");
  // The schema of the backend's table: the two PostgreSQL paths run side by side.
  const std::string schema = backend.table.substr(0, backend.table.find('.'));
  if (postgres) {
    db.Execute("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    db.Execute("CREATE SCHEMA " + schema);
  } else if (name == "Mariadb") {
    db.Execute("DROP TABLE IF EXISTS qv_column_blocks");
  }
  CheckColumns(db, backend);
  if (postgres) db.Execute("DROP SCHEMA " + schema + " CASCADE");
  if (name == "Mariadb") db.Execute("DROP TABLE qv_column_blocks");
}

INSTANTIATE_TEST_SUITE_P(Backends, ColumnBlocks, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<Backend>& test) {
                           return std::string(test.param.name);
                         });

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
