// The built program run on PostgreSQL (QV_TEST_PG), with the uploader posting to a
// receiver on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "e2e/ProgramFolder.h"
#include "e2e/SplitExport.h"
#include "e2e/TestDatabase.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

class PostgresExport : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_ = PostgresConnectionString();
    if (connection_.empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
    if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
    tables_ = std::make_unique<PostgresTables>(connection_);
    t10_ = tables_->Table("t10");
    t11_ = tables_->Table("t11");
    t0_ = tables_->Table("t0");
    tables_->Execute(NumberedRowsSql(t10_, 10) + NumberedRowsSql(t11_, 11) +
                     NumberedRowsSql(t0_, 0));
  }

  // A program folder with the data source and a receiver.
  std::unique_ptr<ProgramFolder> NewFolder() const {
    auto folder = std::make_unique<ProgramFolder>();
    folder->WriteDataSources({{7, "Warehouse", connection_}});
    folder->StartReceiver();
    return folder;
  }

  static ExportRule Rule(const ProgramFolder& folder, const std::string& target,
                         const std::string& table, const std::string& order_by,
                         const std::string& import_rule) {
    return {folder.File(target), 7,        "SELECT id, name", "FROM " + table,
            "WHERE id > 0",      order_by, import_rule};
  }

  std::string connection_;
  std::unique_ptr<PostgresTables> tables_;
  std::string t10_;
  std::string t11_;
  std::string t0_;
};

TEST_F(PostgresExport, SplitModesSendTheRightRowsInEachPart) {
  for (const int parts : {5, 20}) {
    SCOPED_TRACE(std::to_string(parts) + " parts");
    const std::unique_ptr<ProgramFolder> folder = NewFolder();
    const std::vector<ExportRule> rules = {
        Rule(*folder, "out/ten.xml", t10_, "ORDER BY id", "Ten"),
        Rule(*folder, "out/eleven.xml", t11_, "order by id desc", "Eleven"),
        Rule(*folder, "out/none.xml", t0_, "", "None")};
    folder->WriteRules(rules);
    const ExportRun run = folder->Run({parts == 5 ? "2" : "3"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    ExpectSplitExport(*folder, rules[0], IdRange(10), parts);
    ExpectSplitExport(*folder, rules[1], IdRange(11, true), parts);
    ExpectSplitExport(*folder, rules[2], {}, parts);
    EXPECT_EQ(folder->receiver().Requests().size(), 3u * static_cast<size_t>(parts));
  }
}

TEST_F(PostgresExport, Mode1WritesFilesAndSendsNothing) {
  const std::unique_ptr<ProgramFolder> folder = NewFolder();
  folder->WriteRules({Rule(*folder, "out/ten.xml", t10_, "ORDER BY id", "Ten"),
                      Rule(*folder, "out/none.xml", t0_, "", "None")});
  const ExportRun run = folder->Run({"1"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(IdsIn(folder->File("out/ten.xml")), IdRange(10));
  EXPECT_TRUE(IdsIn(folder->File("out/none.xml")).empty());
  EXPECT_TRUE(folder->receiver().Requests().empty());
  EXPECT_FALSE(fs::exists(folder->File("out/LastTx")));
}

TEST_F(PostgresExport, FailingQueryFailsItsRuleAndLaterRulesStillRun) {
  // The rules share one connection; a failed statement must not spoil it for the next.
  const std::unique_ptr<ProgramFolder> folder = NewFolder();
  const std::vector<ExportRule> rules = {
      {folder->File("out/broken.xml"), 7, "SELECT id, nothere", "FROM " + t10_, "", "", "Broken"},
      Rule(*folder, "out/ten.xml", t10_, "ORDER BY id", "Ten"),
      {folder->File("out/gone.xml"), 7, "SELECT id", "FROM " + tables_->Table("missing"), "", "",
       "Gone"},
      Rule(*folder, "out/eleven.xml", t11_, "ORDER BY id", "Eleven")};
  folder->WriteRules(rules);
  const ExportRun run = folder->Run({"2"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_GE(run.LogLines("nothere"), 1) << run.log;
  ExpectSplitExport(*folder, rules[1], IdRange(10), 5);
  ExpectSplitExport(*folder, rules[3], IdRange(11), 5);
  EXPECT_EQ(folder->receiver().Requests().size(), 10u);
  EXPECT_FALSE(fs::exists(folder->File("out/broken.xml_0")));
  EXPECT_FALSE(fs::exists(folder->File("out/gone.xml_0")));
}

}  // namespace
}  // namespace qv::e2e
