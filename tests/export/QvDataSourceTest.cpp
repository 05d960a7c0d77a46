#include <gtest/gtest.h>
#include <fstream>

#include <memory>
#include <string>

#include "core/Error.h"
#include "shared/LogCapture.h"
#include "shared/QvDataSource.h"
#include "shared/QvDataSourceList.h"
#include "shared/QvDataSourceLoader.h"
#include "support/ExportHome.h"
#include "support/TestFolder.h"

namespace qv {
namespace {

using test::LogCapture;
using test::MakeRecordset;

std::shared_ptr<ado::Recordset> Sources(const std::vector<std::vector<ado::Variant>>& rows) {
  return MakeRecordset({{"nID", ado::adInteger, 4},
                        {"tName", ado::adVarWChar, 100},
                        {"tConnectionString", ado::adVarWChar, 500}},
                       rows);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST(QvDataSourceLoader, LoadsEveryRecordByNumber) {
  LogCapture log;
  QvDataSourceList list;
  ASSERT_TRUE(QvDataSourceLoader().Load(
      Sources({{int32_t{1}, "main", "Driver=SQLite3;Database=/tmp/a.db"},
               {int32_t{7}, ado::Variant::Null(), "DSN=other;UID=u;PWD=secret"}}),
      list, "", ""));
  EXPECT_EQ(list.Count(), 2u);
  ASSERT_TRUE(list.Exists(7));
  EXPECT_FALSE(list.Exists(2));
  EXPECT_EQ(list.Item(1)->Name(), "main");
  EXPECT_EQ(list.Item(7)->ID(), 7);
  EXPECT_EQ(list.Item(7)->MaskedConnectionString(), "DSN=other;UID=u;PWD=***");
  EXPECT_TRUE(log.Warnings().empty()) << Joined(log.Warnings());
  try {
    list.Item(2);
    ADD_FAILURE() << "Item of a missing number must throw";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), core::kErrItemNotFound);
  }
}

TEST(QvDataSourceLoader, SkipsUnusableRecordsAndKeepsTheFirstOfANumber) {
  LogCapture log;
  QvDataSourceList list;
  ASSERT_TRUE(QvDataSourceLoader().Load(Sources({{ado::Variant::Null(), "no number", "DSN=a"},
                                                 {int32_t{3}, "no connection", ""},
                                                 {int32_t{3}, "first", "DSN=first"},
                                                 {int32_t{3}, "second", "DSN=second;PWD=hidden"},
                                                 {int32_t{4}, "fourth", "DSN=fourth"}}),
                                        list, "", ""));
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Item(3)->Name(), "first");
  EXPECT_TRUE(list.Exists(4));

  const std::string warnings = Joined(log.Warnings());
  EXPECT_EQ(log.Warnings().size(), 3u) << warnings;
  EXPECT_NE(warnings.find("record 1 (no number)"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("record 2 (no connection)"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("record 4 (second)"), std::string::npos) << warnings;
  EXPECT_EQ(warnings.find("hidden"), std::string::npos) << warnings;
}

TEST(QvDataSourceLoader, RefusesAClosedOrForeignRecordset) {
  LogCapture log;
  QvDataSourceList list;
  EXPECT_FALSE(QvDataSourceLoader().Load(nullptr, list, "", ""));
  EXPECT_FALSE(QvDataSourceLoader().Load(std::make_shared<ado::Recordset>(), list, "", ""));
  // A file that is not a data-source file: no connection strings.
  EXPECT_FALSE(QvDataSourceLoader().Load(
      MakeRecordset({{"nID", ado::adInteger, 4}, {"tValue", ado::adVarWChar, 50}},
                    {{int32_t{1}, "x"}}),
      list, "", ""));
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(log.Warnings().size(), 3u) << Joined(log.Warnings());

  // An open file without records is a valid, empty list.
  EXPECT_TRUE(QvDataSourceLoader().Load(Sources({}), list, "", ""));
  EXPECT_EQ(list.Count(), 0u);
}

TEST(QvDataSource, GetConnectionOpensOnceAndSharesTheConnection) {
  test::TestFolder folder;
  std::ofstream(folder.File("a.db"));  // an empty file is an empty database
  QvDataSource source(1, "test", "Driver=SQLite3;Database=" + folder.File("a.db"));
  const auto first = source.GetConnection(QvDataSource::kSharedConnection);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->State(), ado::adStateOpen);
  EXPECT_EQ(source.GetConnection(1), first);

  // A connection someone closed is opened again.
  first->Close();
  const auto again = source.GetConnection(1);
  EXPECT_EQ(again->State(), ado::adStateOpen);
  EXPECT_EQ(again->Query("SELECT 1 AS one").records.RecordCount(), 1u);
}

TEST(QvDataSource, GetConnectionFailureNamesTheSourceWithoutItsPassword) {
  QvDataSource source(9, "warehouse", "Driver=NoSuchDriver;UID=me;PWD=topsecret");
  try {
    source.GetConnection(1);
    ADD_FAILURE() << "connecting through a missing driver must throw";
  } catch (const core::Error& e) {
    const std::string text = e.record().description;
    EXPECT_NE(text.find("data source #9 (warehouse)"), std::string::npos) << text;
    EXPECT_NE(text.find("PWD=***"), std::string::npos) << text;
    EXPECT_EQ(text.find("topsecret"), std::string::npos) << text;
  }
  try {
    source.GetConnection(2);
    ADD_FAILURE() << "an unknown connection kind must throw";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), core::kErrInvalidProcedureCall);
  }
}

}  // namespace
}  // namespace qv
