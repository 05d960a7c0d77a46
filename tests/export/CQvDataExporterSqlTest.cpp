#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/Error.h"
#include "export/CQvDataExporter.h"
#include "support/ExportHome.h"

namespace qv {
namespace {

using Range = CQvDataExporter::RowRange;

int ErrorNumberOf(auto&& call) {
  try {
    call();
  } catch (const core::Error& e) {
    return e.number();
  }
  return 0;
}

TEST(CQvDataExporter, FetchRangeWithoutOrderClauseSortsByFirstColumn) {
  EXPECT_EQ(CQvDataExporter::AddFetchRangeToSQL("SELECT a, b FROM t", 0, 99),
            "SELECT a, b FROM t ORDER BY  1 OFFSET 0 ROWS  FETCH NEXT 100 ROWS ONLY");
  EXPECT_EQ(CQvDataExporter::AddFetchRangeToSQL("SELECT a FROM t", 20, 29),
            "SELECT a FROM t ORDER BY  1 OFFSET 20 ROWS  FETCH NEXT 10 ROWS ONLY");
  // An empty range (as the parts past the end of a split ask for).
  EXPECT_EQ(CQvDataExporter::AddFetchRangeToSQL("SELECT a FROM t", 0, -1),
            "SELECT a FROM t ORDER BY  1 OFFSET 0 ROWS  FETCH NEXT 0 ROWS ONLY");
}

TEST(CQvDataExporter, FetchRangeExtendsTheQuerysOwnOrderClause) {
  EXPECT_EQ(CQvDataExporter::AddFetchRangeToSQL("SELECT a FROM t ORDER BY a", 0, 99),
            "SELECT a FROM t ORDER BY a,  1 OFFSET 0 ROWS  FETCH NEXT 100 ROWS ONLY");
  // SQL keywords have no case, and the clause may follow a line break.
  EXPECT_EQ(CQvDataExporter::AddFetchRangeToSQL("select a from t order by a desc", 5, 9),
            "select a from t order by a desc,  1 OFFSET 5 ROWS  FETCH NEXT 5 ROWS ONLY");
  EXPECT_EQ(CQvDataExporter::AddFetchRangeToSQL("SELECT a FROM t\nOrder\tBy a", 0, 0),
            "SELECT a FROM t\nOrder\tBy a,  1 OFFSET 0 ROWS  FETCH NEXT 1 ROWS ONLY");
}

TEST(CQvDataExporter, FetchRangeIgnoresOrderWordsThatAreNotTheQuerysClause) {
  const std::string tail = " ORDER BY  1 OFFSET 0 ROWS  FETCH NEXT 10 ROWS ONLY";
  for (const std::string sql : {
           "SELECT * FROM (SELECT a FROM t ORDER BY a) x",
           "SELECT a FROM t WHERE note = ' ORDER BY '",
           "SELECT \"order by\" FROM t",
           "SELECT [order by] FROM t",
           "SELECT a FROM t -- ORDER BY a\n",
           "SELECT a FROM t /* ORDER BY a */",
           "SELECT reorder, by_name FROM t",
           "SELECT a AS \"order\", b AS by FROM t",
       }) {
    EXPECT_EQ(CQvDataExporter::AddFetchRangeToSQL(sql, 0, 9), sql + tail) << sql;
  }
}

TEST(CQvDataExporter, FetchRangeRowCountOverflowThrows) {
  EXPECT_EQ(ErrorNumberOf([] {
              CQvDataExporter::AddFetchRangeToSQL("SELECT a FROM t", -1,
                                                  std::numeric_limits<int32_t>::max());
            }),
            core::kErrOverflow);
}

TEST(CQvDataExporter, SplitRangesShareTheRowsRoundedUp) {
  EXPECT_EQ(CQvDataExporter::SplitIntoRanges(10, 5),
            (std::vector<Range>{{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}}));
  // 11 rows: three per part; the fourth part holds two, the fifth starts past the end.
  EXPECT_EQ(CQvDataExporter::SplitIntoRanges(11, 5),
            (std::vector<Range>{{0, 2}, {3, 5}, {6, 8}, {9, 11}, {12, 14}}));
  // No rows: every part asks for no rows from row 0.
  EXPECT_EQ(CQvDataExporter::SplitIntoRanges(0, 3),
            (std::vector<Range>{{0, -1}, {0, -1}, {0, -1}}));
  EXPECT_EQ(CQvDataExporter::SplitIntoRanges(3, 20).size(), 20u);
  EXPECT_EQ(CQvDataExporter::SplitIntoRanges(3, 20)[3], (Range{3, 3}));
}

TEST(CQvDataExporter, SplitRangesRefuseNoPartsAndOverflow) {
  EXPECT_EQ(ErrorNumberOf([] { CQvDataExporter::SplitIntoRanges(10, 0); }),
            core::kErrInvalidProcedureCall);
  EXPECT_EQ(ErrorNumberOf([] { CQvDataExporter::SplitIntoRanges(10, -2); }),
            core::kErrInvalidProcedureCall);
  EXPECT_EQ(ErrorNumberOf(
                [] { CQvDataExporter::SplitIntoRanges(std::numeric_limits<int32_t>::max(), 3); }),
            core::kErrOverflow);
}

std::shared_ptr<ado::Recordset> RuleWith(std::vector<test::TestField> fields,
                                         std::vector<ado::Variant> values) {
  return test::MakeRecordset(fields, {values});
}

TEST(CQvDataExporter, SqlTextJoinsThePiecesWithSingleSpaces) {
  const std::vector<test::TestField> pieces = {{"tSQLSelect", ado::adVarWChar, 200},
                                               {"tSQLFrom", ado::adVarWChar, 200},
                                               {"tSQLWhere", ado::adVarWChar, 200}};
  EXPECT_EQ(CQvDataExporter::BuildSQLText(RuleWith(pieces, {"SELECT a", "FROM t", "WHERE a > 1"})),
            "SELECT a FROM t WHERE a > 1");
  // An empty where piece leaves its separator.
  EXPECT_EQ(CQvDataExporter::BuildSQLText(RuleWith(pieces, {"SELECT a", "FROM t", ""})),
            "SELECT a FROM t ");
  EXPECT_EQ(
      CQvDataExporter::BuildSQLText(RuleWith(pieces, {"SELECT a", "FROM t", ado::Variant::Null()})),
      "SELECT a FROM t ");

  std::vector<test::TestField> with_order = pieces;
  with_order.push_back({"tSQLOrderBy", ado::adVarWChar, 200});
  EXPECT_EQ(CQvDataExporter::BuildSQLText(
                RuleWith(with_order, {"SELECT a", "FROM t", "WHERE a > 1", "ORDER BY a"})),
            "SELECT a FROM t WHERE a > 1 ORDER BY a");
  // The field present but empty still adds its separator.
  EXPECT_EQ(CQvDataExporter::BuildSQLText(
                RuleWith(with_order, {"SELECT a", "FROM t", "WHERE a > 1", ""})),
            "SELECT a FROM t WHERE a > 1 ");
}

TEST(CQvDataExporter, SqlTextOfARuleWithoutAPieceThrows) {
  const auto rule =
      RuleWith({{"tSQLSelect", ado::adVarWChar, 200}, {"tSQLFrom", ado::adVarWChar, 200}},
               {"SELECT a", "FROM t"});
  EXPECT_EQ(ErrorNumberOf([&] { CQvDataExporter::BuildSQLText(rule); }), core::kErrItemNotFound);
}

}  // namespace
}  // namespace qv
