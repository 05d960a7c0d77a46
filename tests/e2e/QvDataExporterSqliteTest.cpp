// The built program run on SQLite databases, with the uploader posting to a receiver
// on 127.0.0.1: what does not depend on the database. QvDataExporterDatabasesTest runs
// the export modes on each database.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/ProgramFolder.h"
#include "e2e/ResultFile.h"
#include "e2e/SplitExport.h"
#include "e2e/TestDatabase.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

class SqliteExport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
    connection_ = CreateSqliteDatabase(
        folder_.File("data.db"),
        NumberedRowsSql("t10", 10) + NumberedRowsSql("t11", 11) + NumberedRowsSql("t0", 0));
    folder_.WriteDataSources({{1, "Inventory", connection_}});
    folder_.StartReceiver();
  }

  std::string Out(const std::string& relative) const { return folder_.File(relative); }

  ExportRule Rule(const std::string& target, const std::string& table, const std::string& order_by,
                  const std::string& import_rule) const {
    return {Out(target),    1,        "SELECT id, name", "FROM " + table,
            "WHERE id > 0", order_by, import_rule};
  }

  ProgramFolder folder_;
  std::string connection_;
};

TEST_F(SqliteExport, LastTxOfTheFirstRuleIsClearedOncePerRun) {
  fs::create_directories(Out("out/LastTx"));
  fs::create_directories(Out("other/LastTx"));
  test::WriteBytes(Out("out/LastTx/old.xml"), "from an earlier run");
  test::WriteBytes(Out("other/LastTx/old.xml"), "from an earlier run");
  // The first rule has no data source, so the first rule that runs decides.
  folder_.WriteRules({{Out("other/lost.xml"), 99, "SELECT id", "FROM t10", "", "", "Lost"},
                      Rule("out/ten.xml", "t10", "", "Ten"),
                      Rule("out/eleven.xml", "t11", "", "Eleven"),
                      Rule("other/none.xml", "t0", "", "None")});
  folder_.Run({"2"});

  std::vector<std::string> expected;
  for (const std::string base : {"eleven.xml_", "ten.xml_"}) {
    for (int i = 0; i < 5; ++i) expected.push_back(base + std::to_string(i));
  }
  EXPECT_EQ(FileNames(Out("out/LastTx")), expected);
  const std::vector<std::string> other = FileNames(Out("other/LastTx"));
  EXPECT_EQ(other.size(), 6u);
  EXPECT_EQ(other.back(), "old.xml");

  // A second run clears it again, before its own first export.
  test::WriteBytes(Out("out/LastTx/old.xml"), "from the first run");
  folder_.Run({"2"});
  EXPECT_EQ(FileNames(Out("out/LastTx")), expected);
}

TEST_F(SqliteExport, RuleWithUnknownDataSourceIsSkipped) {
  folder_.WriteRules({Rule("out/ten.xml", "t10", "", "Ten"),
                      {Out("out/lost.xml"), 42, "SELECT id", "FROM t10", "", "", "Lost"},
                      Rule("out/eleven.xml", "t11", "", "Eleven")});
  const ExportRun run = folder_.Run({"1"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(FileNames(Out("out")), (std::vector<std::string>{"eleven.xml", "ten.xml"}));
  EXPECT_EQ(run.LogLines("No DS found for #42"), 1) << run.log;
}

TEST_F(SqliteExport, RefusedUploadsStayInUnsent) {
  const std::vector<ExportRule> rules = {Rule("out/ten.xml", "t10", "", "Ten"),
                                         Rule("out/eleven.xml", "t11", "", "Eleven")};
  folder_.WriteRules(rules);
  folder_.receiver().FailNext(test::ReceiverMode::kHttp500, 3);
  const ExportRun run = folder_.Run({"2"});
  EXPECT_EQ(run.exit_code, 1);

  EXPECT_EQ(FileNames(Out("out/Unsent")),
            (std::vector<std::string>{"ten.xml_0", "ten.xml_1", "ten.xml_2"}));
  EXPECT_EQ(FileNames(Out("out/LastTx")).size(), 7u);
  EXPECT_EQ(IdsIn(Out("out/Unsent/ten.xml_1")), (std::vector<int>{3, 4}));
  EXPECT_EQ(run.LogLines("the upload failed"), 3) << run.log;
  EXPECT_EQ(run.LogLines("files written 10, files sent 7, sends failed 3"), 1) << run.log;

  // The next run makes the files again: the old undelivered copies go.
  const ExportRun again = folder_.Run({"2"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_FALSE(fs::exists(Out("out/Unsent/ten.xml_0")));
}

// The run stops sending after the connection failed five times in a row: every file
// waits in Unsent, and one line (no curl text) says so on standard error and in the log.
TEST_F(SqliteExport, ReceiverDownKeepsEveryFileInUnsent) {
  folder_.WriteRules({Rule("out/ten.xml", "t10", "", "Ten"), Rule("b/none.xml", "t0", "", "N")});
  const std::string address = folder_.receiver().BaseUrl();
  folder_.receiver().Stop();
  const ExportRun run = folder_.Run({"2"}, {{"QV_UPLOAD_RETRY_WAIT", "0.01"}});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(FileNames(Out("out/Unsent")).size(), 5u);
  EXPECT_EQ(FileNames(Out("b/Unsent")).size(), 5u);
  EXPECT_FALSE(fs::exists(Out("out/LastTx")));
  EXPECT_FALSE(fs::exists(Out("b/LastTx")));
  EXPECT_EQ(run.LogLines("the upload failed"), 0) << run.log;
  EXPECT_EQ(run.LogLines("uploads stopped: " + address + " could not be reached ("), 1) << run.log;
  EXPECT_EQ(run.LogLines(") 5 times in a row; 10 file(s) wait for the next run"), 1) << run.log;
  EXPECT_NE(run.err.find("5 times in a row; 10 file(s) wait"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("curl"), std::string::npos) << run.err;
}

TEST_F(SqliteExport, NamesWithSpacesQuotesAndAccentsTravelEndToEnd) {
  const std::string folder_name = "Out dir 'q' \"d\" Ärger";
  const std::string file_name = "Résumé \"x\" 'y' & z #1.xml";
  const std::string import_rule = "Règle \"1\" 'b' & ü/ä?=%";
  const ExportRule rule = {Out(folder_name + "/" + file_name),
                           1,
                           "SELECT id, name",
                           "FROM t10",
                           "",
                           "ORDER BY id",
                           import_rule};
  folder_.WriteRules({rule});
  const ExportRun run = folder_.Run({"2"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  ExpectSplitExport(folder_, rule, IdRange(10), 5, false);

  // Letters travel as the escaped bytes of their Windows-1252 code, not as UTF-8; the
  // reserved characters of both keys are escaped so the query keeps two keys.
  const std::vector<test::ReceivedRequest> requests = folder_.receiver().Requests();
  ASSERT_EQ(requests.size(), 5u);
  for (size_t k = 0; k < requests.size(); ++k) {
    EXPECT_EQ(requests[k].status, 200);
    EXPECT_EQ(requests[k].query,
              "ImpID=R%E8gle%20%221%22%20'b'%20%26%20%FC%2F%E4%3F%3D%25"
              "&FN=R%E9sum%E9%20%22x%22%20'y'%20%26%20z%20%231.xml_" +
                  std::to_string(k));
    ASSERT_TRUE(requests[k].stored.has_value());
    EXPECT_EQ(ReadText(folder_.receiver().Root() / *requests[k].stored),
              ReadText(Out(folder_name + "/LastTx/" + file_name + "_" + std::to_string(k))));
  }
}

}  // namespace
}  // namespace qv::e2e
