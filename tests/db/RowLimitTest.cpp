#include <gtest/gtest.h>

#include "db/OdbcRowLimit.h"

namespace ado {
namespace {

TEST(RowLimit, RewritesTheClauseThePagedExportAppends) {
  // Without an order clause of its own, and after one (", " then the position 1).
  EXPECT_EQ(RewriteRowLimitForSqlite(
                "SELECT a FROM t ORDER BY  1 OFFSET 0 ROWS  FETCH NEXT 100 ROWS ONLY"),
            "SELECT a FROM t ORDER BY  1 LIMIT 100 OFFSET 0");
  EXPECT_EQ(RewriteRowLimitForSqlite(
                "SELECT a FROM t WHERE x=1 ORDER BY a,  1 OFFSET 20 ROWS  FETCH NEXT 10 ROWS ONLY"),
            "SELECT a FROM t WHERE x=1 ORDER BY a,  1 LIMIT 10 OFFSET 20");
  EXPECT_EQ(RewriteRowLimitForSqlite(
                "SELECT a FROM t ORDER BY 1\nOFFSET 5 ROWS FETCH NEXT 0 ROWS ONLY \n"),
            "SELECT a FROM t ORDER BY 1 LIMIT 0 OFFSET 5");
}

TEST(RowLimit, LeavesEverythingElseAlone) {
  EXPECT_FALSE(RewriteRowLimitForSqlite("SELECT a FROM t"));
  EXPECT_FALSE(RewriteRowLimitForSqlite("SELECT a FROM t LIMIT 5"));
  // Other spellings than the one the export writes.
  EXPECT_FALSE(
      RewriteRowLimitForSqlite("SELECT a FROM t ORDER BY 1 offset 0 rows fetch next 5 rows only"));
  EXPECT_FALSE(
      RewriteRowLimitForSqlite("SELECT a FROM t ORDER BY 1 OFFSET 0 ROWS FETCH FIRST 5 ROWS ONLY"));
  // A negative count would mean "no limit" to SQLite: never rewrite it.
  EXPECT_FALSE(
      RewriteRowLimitForSqlite("SELECT a FROM t ORDER BY 1 OFFSET 0 ROWS FETCH NEXT -1 ROWS ONLY"));
  EXPECT_FALSE(
      RewriteRowLimitForSqlite("SELECT a FROM t ORDER BY 1 OFFSET x ROWS FETCH NEXT 5 ROWS ONLY"));
  // Only a trailing clause counts.
  EXPECT_FALSE(RewriteRowLimitForSqlite(
      "SELECT a FROM t ORDER BY 1 OFFSET 0 ROWS FETCH NEXT 5 ROWS ONLY UNION SELECT 1"));
  // The words must stand alone.
  EXPECT_FALSE(RewriteRowLimitForSqlite("SELECT 'xOFFSET 0 ROWS FETCH NEXT 5 ROWS ONLY"));
  EXPECT_FALSE(RewriteRowLimitForSqlite("OFFSET 0 ROWS FETCH NEXT 5 ROWS ONLY"));
}

}  // namespace
}  // namespace ado
