#include "export/CQvDataExporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "shared/QvSharedErrorLog.h"
#include "support/ExportHome.h"
#include "support/TestFolder.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ExportHome;
using test::Rule;
using test::Traces;

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::is_directory(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Touch(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  test::WriteBytes(path, "old");
}

class CQvDataExporterRun : public ::testing::Test {
 protected:
  ExportHome home_;
  Traces traces_;
  CQvDataExporter exporter_{traces_.Fn()};
};

TEST_F(CQvDataExporterRun, Mode1WritesEveryRulesFileAndUploadsNothing) {
  home_.AddItems(3);
  home_.WriteDataSource();
  home_.WriteUploadUrl("http://127.0.0.1:9/upload");
  home_.WriteRules({{.target = home_.Out("a/one.xml")},
                    {.target = home_.Out("b/two.xml"), .where = "WHERE id > 1"}});

  exporter_.ExportAll(1);

  EXPECT_EQ(ExportHome::RecordsIn(home_.Out("a/one.xml")), 3);
  EXPECT_EQ(ExportHome::RecordsIn(home_.Out("b/two.xml")), 2);
  EXPECT_TRUE(home_.Uploader().Calls().empty());
  const RunStats& stats = exporter_.Stats();
  EXPECT_TRUE(stats.started);
  EXPECT_EQ(stats.rules_run, 2);
  EXPECT_EQ(stats.rules_failed, 0);
  EXPECT_EQ(stats.files_written, 2);
  EXPECT_EQ(stats.files_sent, 0);
  EXPECT_TRUE(traces_.Has("CQvDataExporter.ExportAll, Test Start 001", kEventInformation));
  EXPECT_TRUE(traces_.Has("Save to " + home_.Out("a/one.xml"), kEventInformation));
}

TEST_F(CQvDataExporterRun, RuleWithoutItsDataSourceIsSkippedAndLastTxIsClearedOnce) {
  home_.WriteDataSource();
  home_.WriteRules({{.target = home_.Out("a/x.xml"), .ds = 5},
                    {.target = home_.Out("b/y.xml")},
                    {.target = home_.Out("c/z.xml")}});
  for (const char* folder : {"a", "b", "c"})
    Touch(home_.Out(std::string(folder) + "/LastTx/old.xml"));

  exporter_.ExportAll(8);  // a mode that exports nothing

  EXPECT_TRUE(traces_.Has("No DS found for #5", kEventWarning)) << traces_.All();
  EXPECT_TRUE(
      traces_.Has("CQvDataExporter.ExportAll, export mode 8 exports nothing", kEventWarning));
  // Only beside the first rule whose data source exists.
  EXPECT_TRUE(fs::exists(home_.Out("a/LastTx/old.xml")));
  EXPECT_FALSE(fs::exists(home_.Out("b/LastTx")));
  EXPECT_TRUE(fs::exists(home_.Out("c/LastTx/old.xml")));
  EXPECT_EQ(traces_.Count(".ExportAll, Test Finish ZRA 002, File: ", kEventInformation), 3);
  EXPECT_FALSE(fs::exists(home_.Out("b/y.xml")));
  EXPECT_EQ(exporter_.Stats().rules_run, 0);
  EXPECT_EQ(exporter_.Stats().rules_failed, 1);
}

TEST_F(CQvDataExporterRun, Mode2UploadsFivePartsAndMovesThemToLastTx) {
  home_.AddItems(11);
  home_.WriteDataSource();
  home_.WriteUploadUrl("http://127.0.0.1:9/upload");
  home_.WriteRules({{.target = home_.Out("s/data.xml"), .import_rule = "Rule 1"}});

  exporter_.ExportAll(2);

  EXPECT_EQ(home_.Uploader().UploadedFiles(),
            (std::vector<std::string>{"data.xml_0", "data.xml_1", "data.xml_2", "data.xml_3",
                                      "data.xml_4"}));
  EXPECT_NE(home_.Uploader().Calls()[0][3].find("ImpID=Rule%201&FN=data.xml_0"), std::string::npos);
  const std::vector<int64_t> expected = {3, 3, 3, 2, 0};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ExportHome::RecordsIn(home_.Out("s/LastTx/data.xml_" + std::to_string(i))),
              expected[i])
        << i;
  }
  EXPECT_EQ(traces_.Count("The query returned no records", kEventWarning), 1);
  EXPECT_EQ(traces_.Count(".GetCount, GetCount: 11", kEventInformation), 1);
  const RunStats& stats = exporter_.Stats();
  EXPECT_EQ(stats.files_written, 5);
  EXPECT_EQ(stats.files_sent, 5);
  EXPECT_EQ(stats.sends_failed, 0);
  EXPECT_EQ(stats.rules_failed, 0);
}

TEST_F(CQvDataExporterRun, UnsentIsEmptiedOncePerFolderAndKeepsThisRunsFailures) {
  home_.AddItems(2);
  home_.WriteDataSource();
  home_.WriteUploadUrl("http://127.0.0.1:9/upload");
  home_.WriteRules({{.target = home_.Out("u/a.xml")},
                    {.target = home_.Out("u/b.xml")},
                    {.target = home_.Out("v/c.xml")}});
  Touch(home_.Out("u/Unsent/stale.xml"));
  Touch(home_.Out("v/Unsent/stale.xml"));
  Touch(home_.Out("w/Unsent/other.xml"));  // no rule exports there
  home_.Uploader().SetStatus(22);

  exporter_.ExportAll(2);

  const std::vector<std::string> in_u = FilesIn(home_.Out("u/Unsent"));
  EXPECT_EQ(in_u.size(), 10u);
  EXPECT_EQ(std::count(in_u.begin(), in_u.end(), "a.xml_0"), 1);
  EXPECT_EQ(std::count(in_u.begin(), in_u.end(), "b.xml_4"), 1);
  EXPECT_EQ(std::count(in_u.begin(), in_u.end(), "stale.xml"), 0);
  EXPECT_EQ(FilesIn(home_.Out("v/Unsent")).size(), 5u);
  EXPECT_TRUE(fs::exists(home_.Out("w/Unsent/other.xml")));

  const RunStats& stats = exporter_.Stats();
  EXPECT_EQ(stats.files_written, 15);
  EXPECT_EQ(stats.files_sent, 0);
  EXPECT_EQ(stats.sends_failed, 15);
  EXPECT_EQ(stats.rules_failed, 3);
}

TEST_F(CQvDataExporterRun, Mode1ConnectionFailureFailsOnlyItsRule) {
  home_.AddItems(1);
  home_.WriteDataSources({{int32_t{1}, "test", home_.ConnectionString()},
                          {int32_t{2}, "gone", "Driver=NoSuchDriver;PWD=topsecret"}});
  home_.WriteRules({{.target = home_.Out("a/x.xml"), .ds = 2}, {.target = home_.Out("b/y.xml")}});

  exporter_.ExportAll(1);

  EXPECT_EQ(ExportHome::RecordsIn(home_.Out("b/y.xml")), 1);
  EXPECT_FALSE(exporter_.Stats().aborted);
  EXPECT_EQ(exporter_.Stats().rules_run, 2);
  EXPECT_EQ(exporter_.Stats().rules_failed, 1);
  EXPECT_EQ(traces_.All().find("topsecret"), std::string::npos) << traces_.All();
}

TEST_F(CQvDataExporterRun, MissingRulesFileStopsTheRunBeforeItStarts) {
  home_.WriteDataSource();
  exporter_.ExportAll(1);
  EXPECT_FALSE(exporter_.Stats().started);
  EXPECT_NE(exporter_.Stats().start_failure.find("QvExportRules.xml"), std::string::npos);
  EXPECT_EQ(traces_.Count(".ExportAll, @Line#5", kEventWarning), 1) << traces_.All();
}

TEST_F(CQvDataExporterRun, RejectedDataSourcesStopTheRunWithoutTouchingARule) {
  home_.WriteRules({{.target = home_.Out("a/x.xml")}});
  Touch(home_.Out("a/LastTx/old.xml"));
  exporter_.ExportAll(1);
  EXPECT_FALSE(exporter_.Stats().started);
  EXPECT_NE(exporter_.Stats().start_failure.find("QvExportDS.xml"), std::string::npos);
  EXPECT_TRUE(fs::exists(home_.Out("a/LastTx/old.xml")));
  EXPECT_EQ(traces_.Count("Test Start ZRA 002", kEventInformation), 0);
}

TEST_F(CQvDataExporterRun, RulesFileWithoutAPieceOfTheQueryCannotStart) {
  home_.WriteDataSource();
  ASSERT_TRUE(CQvXMLManip().SaveRSToXML(
      test::MakeRecordset({{"tTargetPath", ado::adVarWChar, 500}, {"nDSID", ado::adInteger, 4}},
                          {{home_.Out("a/x.xml"), int32_t{1}}}),
      home_.File("QvExportRules.xml"), true, false, 6));
  exporter_.ExportAll(1);
  EXPECT_FALSE(exporter_.Stats().started);
  EXPECT_NE(exporter_.Stats().start_failure.find("tSQLSelect"), std::string::npos);
}

TEST_F(CQvDataExporterRun, RulesFileWithoutRulesIsReported) {
  home_.WriteDataSource();
  home_.WriteRules({});
  exporter_.ExportAll(1);
  EXPECT_TRUE(exporter_.Stats().started);
  EXPECT_TRUE(
      traces_.Has("No records in the " + home_.File("QvExportRules.xml") + " file", kEventWarning))
      << traces_.All();
}

TEST_F(CQvDataExporterRun, FailureInTheRunsOwnStepsEndsIt) {
  home_.AddItems(1);
  home_.WriteDataSource();
  const auto rules = test::MakeRecordset(
      {{"tTargetPath", ado::adVarWChar, 500},
       {"nDSID", ado::adInteger, 4},
       {"tSQLSelect", ado::adVarWChar, 500},
       {"tSQLFrom", ado::adVarWChar, 500},
       {"tSQLWhere", ado::adVarWChar, 500}},
      {{home_.Out("a.xml"), int32_t{1}, "SELECT id", "FROM items", ""},
       {home_.Out("b.xml"), ado::Variant::Null(), "SELECT id", "FROM items", ""},
       {home_.Out("c.xml"), int32_t{1}, "SELECT id", "FROM items", ""}});
  ASSERT_TRUE(CQvXMLManip().SaveRSToXML(rules, home_.File("QvExportRules.xml"), true, false, 6));

  exporter_.ExportAll(1);

  EXPECT_EQ(ExportHome::RecordsIn(home_.Out("a.xml")), 1);
  EXPECT_FALSE(fs::exists(home_.Out("c.xml")));
  EXPECT_TRUE(exporter_.Stats().aborted);
  EXPECT_EQ(exporter_.Stats().rules_failed, 1);
  EXPECT_EQ(
      traces_.Count("CQvDataExporter.ExportAll, Error " + home_.Out("b.xml"), kEventInformation), 1)
      << traces_.All();
  EXPECT_EQ(traces_.Count("CQvDataExporter.ExportAll, @Line#62", kEventWarning), 1);
}

class CQvDataExporterExport : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.AddItems(4);
    home_.WriteUploadUrl("http://127.0.0.1:9/upload");
    connection_ = source_->GetConnection(1);
  }

  ExportHome home_;
  std::shared_ptr<QvDataSource> source_ =
      std::make_shared<QvDataSource>(1, "test", home_.ConnectionString());
  std::shared_ptr<ado::Connection> connection_;
  Traces traces_;
  CQvDataExporter exporter_{traces_.Fn()};
};

TEST_F(CQvDataExporterExport, EmptyResultIsWrittenAndUploaded) {
  const std::string target = home_.Out("new/folder/empty.xml");
  ASSERT_TRUE(exporter_.Export("SELECT id, name FROM items WHERE id > 100", connection_, target,
                               false, "Items"));
  EXPECT_TRUE(traces_.Has("The query returned no records", kEventWarning)) << traces_.All();
  EXPECT_TRUE(traces_.Has("Save to " + target, kEventInformation)) << traces_.All();
  EXPECT_EQ(home_.Uploader().UploadedFiles(), std::vector<std::string>{"empty.xml"});
  // Delivered, so moved beside it into LastTx; the field definitions are kept.
  EXPECT_EQ(ExportHome::RecordsIn(home_.Out("new/folder/LastTx/empty.xml")), 0);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(CQvDataExporterExport, WithoutUploadFolderTheFileStays) {
  const std::string target = home_.Out("plain.xml");
  ASSERT_TRUE(exporter_.Export("SELECT id, name FROM items", connection_, target, false, ""));
  EXPECT_EQ(ExportHome::RecordsIn(target), 4);
  EXPECT_TRUE(home_.Uploader().Calls().empty());
}

TEST_F(CQvDataExporterExport, FailingQueryWritesAndSendsNothing) {
  const std::string target = home_.Out("bad/x.xml");
  for (const bool encode : {false, true}) {
    SCOPED_TRACE(encode ? "encoded" : "streamed");
    traces_.entries.clear();
    const int32_t failures = exporter_.Stats().failures;
    EXPECT_FALSE(
        exporter_.Export("SELECT nothing FROM nowhere", connection_, target, encode, "Items"));
    EXPECT_FALSE(fs::exists(home_.Out("bad")));
    EXPECT_TRUE(home_.Uploader().Calls().empty());
    // The failed read, then the export it left without rows.
    EXPECT_EQ(traces_.Count("CQvDataExporter.GetRS", kEventWarning), 1) << traces_.All();
    EXPECT_EQ(traces_.Count("CQvDataExporter.Export", kEventWarning), 1) << traces_.All();
    EXPECT_EQ(exporter_.Stats().failures, failures + 2);
  }
  EXPECT_EQ(exporter_.GetRS("SELECT nothing FROM nowhere", connection_), nullptr);
}

TEST_F(CQvDataExporterExport, FailedSaveSendsNothing) {
  // A folder where the file should go cannot be replaced by the file.
  const std::string target = home_.Out("taken.xml");
  fs::create_directories(target + "/inside");
  EXPECT_FALSE(exporter_.Export("SELECT id FROM items", connection_, target, false, "Items"));
  EXPECT_TRUE(home_.Uploader().Calls().empty());
  EXPECT_TRUE(fs::is_directory(target + "/inside"));
  EXPECT_EQ(traces_.Count(".Export, the file could not be written: " + target, kEventWarning), 1)
      << traces_.All();
  EXPECT_EQ(exporter_.Stats().files_written, 0);
}

TEST_F(CQvDataExporterExport, GetRSGivesADisconnectedStaticRecordset) {
  const auto rs = exporter_.GetRS("SELECT id, name FROM items ORDER BY id", connection_);
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->ActiveConnection(), nullptr);
  EXPECT_EQ(rs->CursorLocation(), ado::adUseClient);
  EXPECT_EQ(rs->CursorType(), ado::adOpenStatic);
  EXPECT_EQ(rs->LockType(), ado::adLockBatchOptimistic);
  EXPECT_EQ(rs->RecordCount(), 4);
  EXPECT_EQ(rs->Fields().Item("name").Value().ToText(), "item 1");
}

TEST_F(CQvDataExporterExport, GetCountCountsTheResultWithoutATimeLimit) {
  EXPECT_EQ(exporter_.GetCount("SELECT id FROM items WHERE id <> 2", connection_), 3);
  EXPECT_EQ(connection_->CommandTimeout(), 0);
  EXPECT_EQ(traces_.Count("CQvDataExporter.GetCount, GetCount: 3", kEventInformation), 1);

  EXPECT_EQ(exporter_.GetCount("SELECT id FROM missing", connection_), 0);
  EXPECT_EQ(traces_.Count("CQvDataExporter.GetCount, @Line#2", kEventWarning), 1) << traces_.All();
}

TEST_F(CQvDataExporterExport, SplitOfAQueryThatCannotBeCountedExportsNoPart) {
  exporter_.ExportSplit("SELECT id FROM missing", source_, home_.Out("s/x.xml"), "Items", 5);
  EXPECT_TRUE(FilesIn(home_.Out("s")).empty());
  EXPECT_TRUE(home_.Uploader().Calls().empty());
  EXPECT_EQ(traces_.Count(".ExportSplit, @Line#2", kEventWarning), 1) << traces_.All();

  exporter_.ExportSplit("SELECT id FROM items", source_, home_.Out("s/x.xml"), "Items", 0);
  EXPECT_TRUE(FilesIn(home_.Out("s")).empty());
  EXPECT_EQ(traces_.Count(".ExportSplit, @Line#3", kEventWarning), 1) << traces_.All();
}

TEST_F(CQvDataExporterExport, SplitOfAnEmptyResultStillSendsEveryPart) {
  exporter_.ExportSplit("SELECT id FROM items WHERE id > 10", source_, home_.Out("e/x.xml"),
                        "Items", 3);
  EXPECT_EQ(home_.Uploader().UploadedFiles(),
            (std::vector<std::string>{"x.xml_0", "x.xml_1", "x.xml_2"}));
  EXPECT_EQ(ExportHome::RecordsIn(home_.Out("e/LastTx/x.xml_2")), 0);
}

TEST_F(CQvDataExporterExport, SplitKeepsTheQuerysOrder) {
  exporter_.ExportSplit("SELECT id, name FROM items ORDER BY id DESC", source_,
                        home_.Out("d/x.xml"), "", 2);
  CQvXMLManip manip;
  const auto first = manip.OpenXMLToRS(home_.Out("d/x.xml_0"), false);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->RecordCount(), 2);
  EXPECT_EQ(first->Fields().Item("id").Value().ToText(), "4");
  const auto second = manip.OpenXMLToRS(home_.Out("d/x.xml_1"), false);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Fields().Item("id").Value().ToText(), "2");
}

}  // namespace
}  // namespace qv
