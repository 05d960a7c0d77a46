#include "export/QueryPager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "ado/Connection.h"
#include "export/CQvDataExporter.h"
#include "store/CQvXMLManip.h"
#include "support/TestFolder.h"
#include "xmlformat/XmlWriter.h"

namespace qv {
namespace {

class QueryPager : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder.File("pages.db"));  // an empty file is an empty database
    db->Open("Driver=SQLite3;Database=" + folder.File("pages.db"));
    db->Execute("CREATE TABLE t(tSID TEXT, n INTEGER, r REAL, d TIMESTAMP, note TEXT, b BLOB)");
    db->Execute(
        "INSERT INTO t WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c "
        "WHERE x < 2344) SELECT printf('S%05d', x), x, CASE WHEN x % 4 THEN x / 8.0 END, "
        "CASE WHEN x % 3 THEN datetime('2021-03-01', '+' || x || ' minutes') END, "
        "CASE WHEN x % 5 THEN 'note ' || x END, CASE WHEN x % 2 THEN randomblob(x % 300) END "
        "FROM c");
  }

  test::TestFolder folder;
  std::shared_ptr<ado::Connection> db = std::make_shared<ado::Connection>();
  CQvDataExporter exporter{[](auto&&...) {}};
};

// One read cut into pages gives the files that one query per page gives, as long as
// the order is total: every page size, the short last page, and no rows at all.
TEST_F(QueryPager, PagesEqualThePerPageQueries) {
  for (const std::string where : {"", "WHERE n < 0"}) {
    const std::string sql = "SELECT tSID, n, r, d, note FROM t " + where;
    // Pages of 20 and 100 rows, and the parts of 5 and 20 of a split export.
    for (const int32_t page : {20, 100, 469, 118}) {
      qv::QueryPager pager(db, sql);
      int32_t start = 0;
      // Pages come as recordsets, parts are streamed to their files.
      const bool streamed = page > 100;
      for (;; start += page) {
        const std::shared_ptr<ado::Recordset> own_query =
            exporter.GetRS(CQvDataExporter::AddFetchRangeToSQL(sql, start, start + page - 1), db);
        ASSERT_TRUE(own_query);
        ASSERT_TRUE(CQvXMLManip().SaveRSToXML(own_query, folder.File("own.xml"), false));
        int64_t rows = 0;
        if (streamed) {
          XmlFileStream part(folder.File("part.xml"), pager.Fields());
          rows = pager.WriteNext(page, part);
          part.Commit(false);
        } else {
          const std::shared_ptr<ado::Recordset> one_read = pager.NextPage(page);
          rows = one_read->RecordCount();
          ASSERT_TRUE(CQvXMLManip().SaveRSToXML(one_read, folder.File("part.xml"), false));
        }
        ASSERT_EQ(rows, own_query->RecordCount()) << start;
        EXPECT_EQ(test::ReadBytes(folder.File("part.xml")), test::ReadBytes(folder.File("own.xml")))
            << sql << " page " << page << " from " << start;
        if (rows < page) break;
      }
      EXPECT_EQ(pager.RowsRead(), where.empty() ? 2345 : 0);
      EXPECT_EQ(start / page, where.empty() ? 2345 / page : 0);
    }
  }
}

// Export streams an unencoded result to its file a block at a time; the file is the one
// the whole recordset saves as.
TEST_F(QueryPager, StreamedExportEqualsTheSavedRecordset) {
  for (const std::string sql : {"SELECT * FROM t ORDER BY n", "SELECT * FROM t WHERE n < 0"}) {
    ASSERT_TRUE(exporter.Export(sql, db, folder.File("out/streamed.xml"), false, ""));
    ASSERT_TRUE(
        CQvXMLManip().SaveRSToXML(exporter.GetRS(sql, db), folder.File("whole.xml"), false));
    EXPECT_EQ(test::ReadBytes(folder.File("out/streamed.xml")),
              test::ReadBytes(folder.File("whole.xml")))
        << sql;
  }
}

}  // namespace
}  // namespace qv
