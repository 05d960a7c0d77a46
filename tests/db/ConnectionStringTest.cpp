#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "db/OdbcConnectionString.h"
#include "db/postgres/PostgresOptions.h"
#include "db/sqlite/SqliteBackend.h"

namespace ado {
namespace {

TEST(ConnectionString, ParseKeepsBracedValuesWithSeparators) {
  auto pairs = ParseConnectionString("Driver={PostgreSQL Unicode};Pwd={a;b=}}c};;Server=x");
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[0].key, "Driver");
  EXPECT_EQ(pairs[0].value, "{PostgreSQL Unicode}");
  EXPECT_EQ(pairs[1].key, "Pwd");
  EXPECT_EQ(pairs[1].value, "{a;b=}}c}");
  EXPECT_EQ(pairs[2].key, "Server");
  EXPECT_EQ(pairs[2].value, "x");
}

TEST(ConnectionString, MaskHidesEveryPasswordSpelling) {
  EXPECT_EQ(MaskConnectionString("Driver=SQLite3;Uid=u;PWD=secret;Database=d"),
            "Driver=SQLite3;Uid=u;PWD=***;Database=d");
  EXPECT_EQ(MaskConnectionString("password=s1; Password =s2"), "password=***; Password =***");
  // A braced password may hold the separator; none of it may survive.
  std::string masked = MaskConnectionString("Uid=u;Pwd={se;cr=et};Server=h");
  EXPECT_EQ(masked, "Uid=u;Pwd=***;Server=h");
  EXPECT_EQ(masked.find("cr"), std::string::npos);
  EXPECT_EQ(MaskConnectionString("Server=h;pqopt={sslmode=require password=s3}"),
            "Server=h;pqopt=***");
  // Keys that merely contain the word are not passwords.
  EXPECT_EQ(MaskConnectionString("PwdHint=x;OldPassword2=y"), "PwdHint=x;OldPassword2=y");
  // A connection string still encoded (Base64, percent) is not split into its keys:
  // it is hidden whole rather than shown with its password.
  EXPECT_EQ(MaskConnectionString("RHJpdmVyPVNRTGl0ZTM7UHdkPXNlY3JldA=="), "***");
  EXPECT_EQ(MaskConnectionString("Driver%3DSQLite3%3BPwd%3Dsecret"), "***");
  EXPECT_EQ(MaskConnectionString("UHdkPXg="), "***");
  EXPECT_EQ(MaskConnectionString("Driver={SQLite3};Trusted_Connection=yes;Database=/x.db"),
            "Driver={SQLite3};Trusted_Connection=yes;Database=/x.db");
}

TEST(ConnectionString, PrepareAddsSqliteStreamingAndExistingFilesOnly) {
  EXPECT_EQ(PrepareConnectionString("Driver=SQLite3;Database=/tmp/a.db"),
            "Driver=SQLite3;Database=/tmp/a.db;StepAPI=1;NoCreat=1");
  EXPECT_EQ(PrepareConnectionString("Driver={SQLite3};Database=/tmp/a.db;"),
            "Driver={SQLite3};Database=/tmp/a.db;StepAPI=1;NoCreat=1");
  // What the text sets itself wins, in any case.
  EXPECT_EQ(PrepareConnectionString("Driver=SQLite3;Database=a.db;stepapi=0;nocreat=0"),
            "Driver=SQLite3;Database=a.db;stepapi=0;nocreat=0");
  EXPECT_EQ(SqliteDatabasePath("Driver={SQLite3};Database={/data/x;y.db};NoCreat=1"),
            "/data/x;y.db");
  EXPECT_EQ(SqliteDatabasePath("Driver={PostgreSQL Unicode};Database=inventory"), "");
}

TEST(ConnectionString, PreparePostgresAddsCursorFetchAndSilencesLogs) {
  std::string out =
      PrepareConnectionString("Driver={PostgreSQL Unicode};Server=127.0.0.1;Fetch=500");
  EXPECT_EQ(out,
            "Driver={PostgreSQL Unicode};Server=127.0.0.1;Fetch=500;UseDeclareFetch=0;"
            "BoolsAsChar=0;CommLog=0;Debug=0");
}

TEST(ConnectionString, PrepareMariadbAsksForUtf8UnlessTheStringNamesACharset) {
  EXPECT_EQ(PrepareConnectionString("Driver={MariaDB Unicode};Server=127.0.0.1"),
            "Driver={MariaDB Unicode};Server=127.0.0.1;CHARSET=utf8mb4");
  EXPECT_EQ(PrepareConnectionString("Driver=libmaodbc.so;charset=latin1"),
            "Driver=libmaodbc.so;charset=latin1");
}

TEST(ConnectionString, PrepareLeavesUnknownDriversAndDsnAlone) {
  EXPECT_EQ(PrepareConnectionString("DSN=prod;Uid=a;Pwd=b"), "DSN=prod;Uid=a;Pwd=b");
  EXPECT_EQ(PrepareConnectionString("Driver=FreeTDS;Server=h"), "Driver=FreeTDS;Server=h");
}

// Which strings SQLite's own library reads, with what file and busy timeout.
TEST(ConnectionString, NativeSqliteTakesSqlite3DriverStringsWithADatabase) {
  struct Case {
    const char* text;
    std::optional<std::string> database;
    int timeout = 100000;
  };
  const Case cases[] = {
      {"Driver=SQLite3;Database=/d/a.db", "/d/a.db"},
      {"DRIVER={SQLite3 ODBC Driver};database={/d/x;y.db};Timeout=2500", "/d/x;y.db", 2500},
      {"Driver=/usr/lib/odbc/libsqlite3odbc.so;Database=a.db;Timeout=0", "a.db", 1000000},
      {"Driver=SQLite3;Database=a.db;NativeSqlite=1;Timeout=x", "a.db"},
      {"Driver=SQLite3;Database=a.db;nativesqlite=0", std::nullopt},
      {"Driver=SQLite3;Database=a.db;LongNames=1", std::nullopt},
      {"Driver=SQLite;Database=a.db", std::nullopt},  // SQLite 2
      {"DSN=inventory", std::nullopt},
      {"Driver=SQLite3", std::nullopt},
      {"Driver={PostgreSQL Unicode};Database=a", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto options = NativeSqliteOptions(c.text);
    ASSERT_EQ(options.has_value(), c.database.has_value()) << c.text;
    if (!options) continue;
    EXPECT_EQ(options->database, *c.database) << c.text;
    EXPECT_EQ(options->busy_timeout_ms, c.timeout) << c.text;
  }
  // The key is never handed to a driver.
  EXPECT_EQ(WithoutKey("Driver=SQLite3;NATIVESQLITE=0;Database=a.db", kNativeSqliteKey),
            "Driver=SQLite3;Database=a.db");
}

// Which strings libpq reads, and with what: psqlODBC's keywords become libpq's; a
// keyword that is unknown or changes what psqlODBC reports leaves the string to it.
TEST(ConnectionString, NativePostgresMapsPsqlodbcKeywords) {
  using Params = std::vector<std::pair<std::string, std::string>>;
  const auto native = NativePostgresOptions(
      "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5433;Database=inv;Uid=u;"
      "Pwd={p;w};SSLmode=require;Fetch=500;BoolsAsChar=0;UseDeclareFetch=1;CommLog=0;"
      "pqopt={application_name=qv sslrootcert=/etc/ca.pem};ConnSettings=SET search_path TO a");
  ASSERT_TRUE(native);
  EXPECT_EQ(native->params, (Params{{"host", "127.0.0.1"},
                                    {"port", "5433"},
                                    {"dbname", "inv"},
                                    {"user", "u"},
                                    {"password", "p;w"},
                                    {"sslmode", "require"},
                                    {"application_name", "qv"},
                                    {"sslrootcert", "/etc/ca.pem"}}));
  EXPECT_EQ(native->fetch_rows, 500u);
  EXPECT_EQ(native->conn_settings, "SET search_path TO a");
  EXPECT_TRUE(native->unicode);
  EXPECT_FALSE(NativePostgresOptions("Driver=PostgreSQL ANSI;Server=h")->unicode);
  EXPECT_TRUE(NativePostgresOptions("Driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so;Server=h"));

  for (const char* odbc :
       {"Driver=PostgreSQL Unicode;Server=h;NativePostgres=0",
        "DSN=inventory;Driver=PostgreSQL Unicode", "Driver=PostgreSQL Unicode;BoolsAsChar=1",
        "Driver=PostgreSQL Unicode;MaxVarcharSize=4000", "Driver=PostgreSQL Unicode;Fetch=lots",
        "Driver=PostgreSQL Unicode;pqopt={=broken", "Driver=PostgreSQL Unicode;SomethingNew=1",
        "Driver=SQLite3;Database=x", "Server=h;Database=x"}) {
    EXPECT_FALSE(NativePostgresOptions(odbc)) << odbc;
  }
}

}  // namespace
}  // namespace ado
