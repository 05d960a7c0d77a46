#include <gtest/gtest.h>

#include "ado/OdbcConnectionString.h"

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
  // Keys that merely contain the word are not passwords.
  EXPECT_EQ(MaskConnectionString("PwdHint=x;OldPassword2=y"), "PwdHint=x;OldPassword2=y");
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
            "Driver={PostgreSQL Unicode};Server=127.0.0.1;Fetch=500;UseDeclareFetch=1;"
            "BoolsAsChar=0;CommLog=0;Debug=0");
}

TEST(ConnectionString, PrepareLeavesUnknownDriversAndDsnAlone) {
  EXPECT_EQ(PrepareConnectionString("DSN=prod;Uid=a;Pwd=b"), "DSN=prod;Uid=a;Pwd=b");
  EXPECT_EQ(PrepareConnectionString("Driver=FreeTDS;Server=h"), "Driver=FreeTDS;Server=h");
}

}  // namespace
}  // namespace ado
