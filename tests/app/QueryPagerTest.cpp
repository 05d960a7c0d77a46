#include "app/QueryPager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ado/Connection.h"
#include "ado/XmlWriter.h"
#include "app/CQvDataExporter.h"
#include "shared/TestFolder.h"

namespace qv {
namespace {

// One read cut into pages gives the files that one query per page gives, as long as
// the order is total: every page size, the short last page, and no rows at all.
TEST(QueryPager, PagesEqualThePerPageQueries) {
  test::TestFolder folder;
  auto db = std::make_shared<ado::Connection>();
  db->Open("Driver=SQLite3;Database=" + folder.File("pages.db"));
  db->Execute("CREATE TABLE t(tSID TEXT, n INTEGER, r REAL, d TIMESTAMP, note TEXT)");
  db->Execute(
      "INSERT INTO t WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c "
      "WHERE x < 2344) SELECT printf('S%05d', x), x, CASE WHEN x % 4 THEN x / 8.0 END, "
      "CASE WHEN x % 3 THEN datetime('2021-03-01', '+' || x || ' minutes') END, "
      "CASE WHEN x % 5 THEN 'note ' || x END FROM c");

  CQvDataExporter exporter([](auto&&...) {});
  for (const std::string where : {"", "WHERE n < 0"}) {
    const std::string sql = "SELECT tSID, n, r, d, note FROM t " + where;
    for (const int32_t page : {1000, 100, 7}) {
      QueryPager pager(db, sql);
      int32_t start = 0;
      for (;; start += page) {
        const std::shared_ptr<ado::Recordset> one_read = pager.NextPage(page);
        const std::shared_ptr<ado::Recordset> own_query =
            exporter.GetRS(CQvDataExporter::AddFetchRangeToSQL(sql, start, start + page - 1), db);
        ASSERT_TRUE(own_query);
        ASSERT_EQ(one_read->RecordCount(), own_query->RecordCount()) << start;
        EXPECT_EQ(ado::RecordsetXmlToString(*one_read), ado::RecordsetXmlToString(*own_query))
            << sql << " page " << page << " from " << start;
        if (one_read->RecordCount() < page) break;
      }
      EXPECT_EQ(pager.RowsRead(), where.empty() ? 2345 : 0);
      EXPECT_EQ(start / page, where.empty() ? 2345 / page : 0);
    }
  }
}

}  // namespace
}  // namespace qv
