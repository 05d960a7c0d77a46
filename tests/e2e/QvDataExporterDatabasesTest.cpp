// The built program run on SQLite and on PostgreSQL (QV_TEST_PG), with the uploader
// posting to a receiver on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"
#include "e2e/ProgramFolder.h"
#include "e2e/ResultFile.h"
#include "e2e/SplitExport.h"
#include "e2e/TestDatabase.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

// Tables t10 and t11 (ids 1 to 10 and 1 to 11) and t0 (empty) in data source 1.
class Export : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
    if (GetParam() == Backend::kSqlite) {
      connection_ = CreateSqliteDatabase(
          database_folder_.File("data.db"),
          NumberedRowsSql(t10_, 10) + NumberedRowsSql(t11_, 11) + NumberedRowsSql(t0_, 0));
      return;
    }
    connection_ = PostgresConnectionString();
    if (connection_.empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
    tables_ = std::make_unique<PostgresTables>(connection_);
    t10_ = tables_->Table("t10");
    t11_ = tables_->Table("t11");
    t0_ = tables_->Table("t0");
    missing_ = tables_->Table("missing");
    tables_->Execute(NumberedRowsSql(t10_, 10) + NumberedRowsSql(t11_, 11) +
                     NumberedRowsSql(t0_, 0));
  }

  // A program folder with the data source and a receiver.
  std::unique_ptr<ProgramFolder> NewFolder() const {
    auto folder = std::make_unique<ProgramFolder>();
    folder->WriteDataSources({{1, "Inventory", connection_}});
    folder->StartReceiver();
    return folder;
  }

  static ExportRule Rule(const ProgramFolder& folder, const std::string& target,
                         const std::string& table, const std::string& order_by,
                         const std::string& import_rule) {
    return {folder.File(target), 1,        "SELECT id, name", "FROM " + table,
            "WHERE id > 0",      order_by, import_rule};
  }

  test::TestFolder database_folder_;
  std::string connection_;
  std::unique_ptr<PostgresTables> tables_;
  std::string t10_ = "t10";
  std::string t11_ = "t11";
  std::string t0_ = "t0";
  std::string missing_ = "missing";  // never made
};

TEST_P(Export, Mode1WritesOneFilePerRuleAndSendsNothing) {
  const std::unique_ptr<ProgramFolder> folder = NewFolder();
  const auto out = [&](const std::string& relative) { return folder->File(relative); };
  folder->WriteRules({Rule(*folder, "out/ten.xml", t10_, "ORDER BY id", "Ten"),
                      Rule(*folder, "out/eleven.xml", t11_, "order by id desc", "Eleven"),
                      Rule(*folder, "other/none.xml", t0_, "", "None")});
  const ExportRun run = folder->Run({"1"});
  EXPECT_EQ(run.exit_code, 0) << run.err;

  EXPECT_EQ(IdsIn(out("out/ten.xml")), IdRange(10));
  EXPECT_EQ(IdsIn(out("out/eleven.xml")), IdRange(11, true));
  EXPECT_TRUE(IdsIn(out("other/none.xml")).empty());
  const ResultFile none = ResultFile::Read(out("other/none.xml"));
  EXPECT_TRUE(none.rows.empty());
  ASSERT_EQ(none.fields.size(), 2u);
  EXPECT_EQ(none.fields[1].name, "name");
  EXPECT_EQ(ResultFile::Read(out("out/ten.xml")).Column("name")[2], "row 3");

  EXPECT_TRUE(folder->receiver().Requests().empty());
  EXPECT_FALSE(fs::exists(out("out/LastTx")));
  EXPECT_FALSE(fs::exists(out("out/Unsent")));
  EXPECT_EQ(FileNames(out("out")), (std::vector<std::string>{"eleven.xml", "ten.xml"}));
  EXPECT_EQ(run.LogLines("files written 3, files sent 0, sends failed 0"), 1) << run.log;
}

TEST_P(Export, Mode2SendsFivePartsWithTheirRows) {
  const std::unique_ptr<ProgramFolder> folder = NewFolder();
  const std::vector<ExportRule> rules = {
      Rule(*folder, "out/ten.xml", t10_, "ORDER BY id", "Ten"),
      Rule(*folder, "out/eleven.xml", t11_, "order by id desc", "Eleven"),
      Rule(*folder, "out/none.xml", t0_, "", "None")};
  folder->WriteRules(rules);
  const ExportRun run = folder->Run({"2"});
  EXPECT_EQ(run.exit_code, 0) << run.err;

  ExpectSplitExport(*folder, rules[0], IdRange(10), 5);
  ExpectSplitExport(*folder, rules[1], IdRange(11, true), 5);
  ExpectSplitExport(*folder, rules[2], {}, 5);

  // One request per part, in rule and part order, each answered.
  const std::vector<test::ReceivedRequest> requests = folder->receiver().Requests();
  ASSERT_EQ(requests.size(), 15u);
  for (size_t k = 0; k < requests.size(); ++k) {
    EXPECT_EQ(requests[k].method, "POST");
    EXPECT_EQ(requests[k].status, 200);
    EXPECT_EQ(requests[k].imp_id, rules[k / 5].import_rule);
    EXPECT_EQ(requests[k].fn,
              fs::path(rules[k / 5].target_path).filename().string() + "_" + std::to_string(k % 5));
  }
  EXPECT_FALSE(fs::exists(folder->File("out/Unsent")));
  EXPECT_EQ(run.LogLines("files written 15, files sent 15, sends failed 0"), 1) << run.log;
}

TEST_P(Export, Mode3SendsTwentyPartsWithTheirRows) {
  // Without a tSQLOrderBy field at all the parts follow the first column.
  for (const bool with_order_by : {false, true}) {
    SCOPED_TRACE(with_order_by ? "ORDER BY" : "no tSQLOrderBy field");
    const std::unique_ptr<ProgramFolder> folder = NewFolder();
    const std::vector<ExportRule> rules = {
        Rule(*folder, "out/ten.xml", t10_, with_order_by ? "ORDER BY id" : "", "Ten"),
        Rule(*folder, "out/eleven.xml", t11_, with_order_by ? "order by id desc" : "", "Eleven"),
        Rule(*folder, "out/none.xml", t0_, "", "None")};
    folder->WriteRules(rules, with_order_by);
    const ExportRun run = folder->Run({"3"});
    EXPECT_EQ(run.exit_code, 0) << run.err;

    ExpectSplitExport(*folder, rules[0], IdRange(10), 20);
    ExpectSplitExport(*folder, rules[1], IdRange(11, with_order_by), 20);
    ExpectSplitExport(*folder, rules[2], {}, 20);
    EXPECT_EQ(folder->receiver().Requests().size(), 60u);
  }
}

TEST_P(Export, FailingQueryFailsItsRuleAndLaterRulesStillRun) {
  // The rules share one connection; a failed statement must not spoil it for the next.
  for (const std::string mode : {"1", "2"}) {
    SCOPED_TRACE("mode " + mode);
    const std::unique_ptr<ProgramFolder> folder = NewFolder();
    const std::vector<ExportRule> rules = {
        {folder->File("out/broken.xml"), 1, "SELECT id, nothere", "FROM " + t10_, "", "", "Broken"},
        Rule(*folder, "out/ten.xml", t10_, "ORDER BY id", "Ten"),
        {folder->File("out/gone.xml"), 1, "SELECT id", "FROM " + missing_, "", "", "Gone"},
        Rule(*folder, "out/eleven.xml", t11_, "ORDER BY id", "Eleven")};
    folder->WriteRules(rules);
    const ExportRun run = folder->Run({mode});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_GE(run.LogLines("nothere"), 1) << "the driver's message names the column\n" << run.log;
    if (mode == "1") {
      EXPECT_EQ(FileNames(folder->File("out")),
                (std::vector<std::string>{"eleven.xml", "ten.xml"}));
      EXPECT_EQ(IdsIn(folder->File("out/ten.xml")), IdRange(10));
      EXPECT_EQ(IdsIn(folder->File("out/eleven.xml")), IdRange(11));
      EXPECT_TRUE(folder->receiver().Requests().empty());
    } else {
      const std::vector<test::ReceivedRequest> requests = folder->receiver().Requests();
      EXPECT_EQ(requests.size(), 10u);
      for (const test::ReceivedRequest& request : requests) {
        EXPECT_TRUE(request.imp_id == "Ten" || request.imp_id == "Eleven")
            << request.imp_id.value_or("(none)");
      }
      EXPECT_FALSE(fs::exists(folder->File("out/broken.xml_0")));
      EXPECT_FALSE(fs::exists(folder->File("out/gone.xml_0")));
      ExpectSplitExport(*folder, rules[1], IdRange(10), 5);
      ExpectSplitExport(*folder, rules[3], IdRange(11), 5);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, Export, ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         DiffFixtureName);

}  // namespace
}  // namespace qv::e2e
