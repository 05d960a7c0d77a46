#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ado/Connection.h"
#include "export/CQvDataExporter.h"
#include "export/ResultFileNames.h"
#include "shared/QvDataSource.h"
#include "support/ExportHome.h"
#include "support/TestFolder.h"
#include "values/Decimal.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ExportHome;
using test::MakeRecordset;
using test::TestField;
using test::Traces;

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::is_directory(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The values of one field of a recordset file, "NULL" for null.
std::vector<std::string> ColumnOf(const std::string& path, const std::string& field) {
  CQvXMLManip manip;
  const auto rs = manip.OpenXMLToRS(path, false);
  std::vector<std::string> values;
  if (!rs || rs->State() != ado::adStateOpen) return values;
  for (; !rs->Eof(); rs->MoveNext()) {
    const ado::Variant value = rs->Fields().Item(field).Value();
    values.push_back(value.IsNull() ? "NULL" : value.ToText());
  }
  return values;
}

// A change file is found under every result name it may belong to, and only those.
TEST(ResultFileNames, ChangeFilesAreListedUnderEachResultTheyMayBelongTo) {
  const struct {
    const char* file;
    const char* result;
    bool change_file;
  } cases[] = {
      {"Apps.xml123.xml", "Apps.xml", true},
      {"Apps.xml_0-99.xml999999.xml", "Apps.xml_0-99.xml", true},
      {"Apps.xml1234567.xml", "Apps.xml", false},
      {"Apps.xml.xml", "Apps.xml", false},
      {"Apps.xml12x.xml", "Apps.xml", false},
      {"data1123.xml", "data1", true},
      {"data1123.xml", "data112", true},
      {"data1123.xml", "data1123", false},
      {"data1123.xml", "dat", false},
      {"Apps.xml12.XML", "Apps.xml", false},
  };
  for (const auto& one : cases) {
    const std::vector<std::string_view> results = ResultsOfChangeFile(one.file);
    EXPECT_EQ(std::count(results.begin(), results.end(), one.result), one.change_file ? 1 : 0)
        << one.file << " of " << one.result;
    EXPECT_EQ(IsChangeFileOf(one.file, one.result), one.change_file) << one.file;
  }
}

TEST(CQvDataExporterLastData, NamesLieInTheFolderLastBesideTheResult) {
  CQvDataExporter exporter(nullptr);
  EXPECT_EQ(exporter.GetLasDataFolder("/out/Apps.xml"), "/out/last");
  EXPECT_EQ(exporter.GetLasDataFileName("/out/Apps.xml"), "/out/last/Apps.xml");
  EXPECT_EQ(exporter.GetLasDataFileName("/out/Apps.xml_0-99.xml"), "/out/last/Apps.xml_0-99.xml");
  EXPECT_EQ(exporter.GetLasDataFileName("/Apps.xml"), "/last/Apps.xml");
  // No folder part: beside the file in the current folder, never in the root.
  EXPECT_EQ(exporter.GetLasDataFileName("Apps.xml"), "last/Apps.xml");
}

class CQvDataExporterLastDataFiles : public ::testing::Test {
 protected:
  std::string Result() const { return folder_.File("out/Apps.xml"); }
  std::string Last() const { return folder_.File("out/last/Apps.xml"); }
  static std::shared_ptr<ado::Recordset> Rows(const std::vector<std::string>& sids) {
    std::vector<std::vector<ado::Variant>> rows;
    for (const std::string& sid : sids) rows.push_back({sid});
    return MakeRecordset({{"tSID", ado::adVarWChar, 50}}, rows);
  }

  test::TestFolder folder_;
  Traces traces_;
  CQvDataExporter exporter_{traces_.Fn()};
};

TEST_F(CQvDataExporterLastDataFiles, NothingAtThePathGivesNoLastDataAndCopiesNothing) {
  EXPECT_EQ(exporter_.GetLastDataRS(Result()), nullptr);
  EXPECT_FALSE(fs::exists(folder_.File("out/last")));
  EXPECT_TRUE(traces_.Has("Trying to get last data from: " + Last(), kEventInformation));
}

TEST_F(CQvDataExporterLastDataFiles, OnlyTheNewestDeliveredWholeResultBecomesTheLastData) {
  CQvXMLManip manip;
  const std::string delivered = folder_.File("out/LastTx/Apps.xml");
  fs::create_directories(folder_.File("out/LastTx"));
  // A result left at the result path may never have reached the receiver.
  ASSERT_TRUE(manip.SaveRSToXML(Rows({"z"}), Result(), false));
  EXPECT_EQ(exporter_.GetLastDataRS(Result()), nullptr);
  EXPECT_FALSE(fs::exists(Last()));

  ASSERT_TRUE(manip.SaveRSToXML(Rows({"a", "b"}), delivered, false));
  const auto last = exporter_.GetLastDataRS(Result());
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->RecordCount(), 2);
  EXPECT_EQ(test::ReadBytes(Last()), test::ReadBytes(delivered));
  EXPECT_TRUE(traces_.Has("Needed to created the last data file " + Last() + " from: " + delivered,
                          kEventInformation));
  EXPECT_TRUE(traces_.Has("Loading last data into RS from: " + Last(), kEventInformation));

  // A change delivered after it is newer than the copy: the copy is no starting point.
  fs::remove(Last());
  ASSERT_TRUE(manip.SaveRSToXML(Rows({"b"}), folder_.File("out/LastTx/Apps.xml17.xml"), false));
  fs::last_write_time(delivered, fs::last_write_time(delivered) - std::chrono::seconds(5));
  EXPECT_EQ(exporter_.GetLastDataRS(Result()), nullptr);
  EXPECT_FALSE(fs::exists(Last()));
}

TEST_F(CQvDataExporterLastDataFiles, ExistingLastDataWinsOverTheResultFile) {
  fs::create_directories(folder_.File("out/last"));
  CQvXMLManip manip;
  ASSERT_TRUE(manip.SaveRSToXML(Rows({"a", "b", "c"}), Last(), false));
  ASSERT_TRUE(manip.SaveRSToXML(Rows({"z"}), Result(), false));

  const auto last = exporter_.GetLastDataRS(Result());

  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->RecordCount(), 3);
}

TEST_F(CQvDataExporterLastDataFiles, UnreadableLastDataIsSetAsideAndIsNoLastData) {
  fs::create_directories(folder_.File("out/last"));
  test::WriteBytes(Last() + ".bad", "older");
  test::WriteBytes(Last(), "<xml>not a recordset");

  EXPECT_EQ(exporter_.GetLastDataRS(Result()), nullptr);
  EXPECT_EQ(traces_.Count("CQvDataExporter.GetRS", kEventWarning), 1) << traces_.All();
  EXPECT_EQ(traces_.Count(Last(), kEventWarning), 1) << traces_.All();
  EXPECT_FALSE(fs::exists(Last()));
  EXPECT_EQ(test::ReadBytes(Last() + ".bad"), "<xml>not a recordset");
  EXPECT_EQ(exporter_.Stats().failures, 1);
}

TEST_F(CQvDataExporterLastDataFiles, WritingFromARecordsetKeepsLastDataWhenTheResultIsEmpty) {
  ASSERT_TRUE(exporter_.CreateLastDataFileFromRS(Result(), Rows({"a", "b"})));
  EXPECT_EQ(ColumnOf(Last(), "tSID"), (std::vector<std::string>{"a", "b"}));
  const std::string written = test::ReadBytes(Last());

  EXPECT_FALSE(exporter_.CreateLastDataFileFromRS(Result(), Rows({})));

  EXPECT_EQ(test::ReadBytes(Last()), written);
  // Not a failure of the run: an empty result is an ordinary answer.
  EXPECT_EQ(exporter_.Stats().failures, 0);
}

TEST_F(CQvDataExporterLastDataFiles, WritingByCopyCreatesTheFolder) {
  fs::create_directories(folder_.File("out"));
  test::WriteBytes(Result(), "page bytes");

  EXPECT_TRUE(exporter_.CreateLastDataFile(Result()));

  EXPECT_EQ(test::ReadBytes(Last()), "page bytes");
  EXPECT_TRUE(traces_.Has("Saving last data xml to: " + Last(), kEventInformation));
}

// --- Comparing an entity with its last data ---

struct CompareCase {
  const char* name;
  std::vector<TestField> now_fields;
  std::vector<ado::Variant> now;
  std::vector<TestField> last_fields;
  std::vector<ado::Variant> last;
  bool changed;
};

void PrintTo(const CompareCase& c, std::ostream* os) { *os << c.name; }

class CQvDataExporterCompare : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CQvDataExporterCompare, EntityHasChangedAttributes) {
  const CompareCase& c = GetParam();
  CQvDataExporter exporter(nullptr);
  const auto now = MakeRecordset(c.now_fields, {c.now});
  const auto last = MakeRecordset(c.last_fields, {c.last});
  EXPECT_EQ(exporter.EntityHasChangedAttributes(now, last), c.changed);
  EXPECT_EQ(exporter.Stats().failures, 0);
}

const std::vector<TestField> kText = {{"tSID", ado::adVarWChar, 20}, {"v", ado::adVarWChar, 20}};
const std::vector<TestField> kTextTs = {{"tSID", ado::adVarWChar, 20},
                                        {"v", ado::adVarWChar, 20},
                                        {"Source_Timestamp", ado::adVarWChar, 30}};
const std::vector<TestField> kTextUpperTs = {{"tSID", ado::adVarWChar, 20},
                                             {"v", ado::adVarWChar, 20},
                                             {"SOURCE_TIMESTAMP", ado::adVarWChar, 30}};
const std::vector<TestField> kDouble = {{"tSID", ado::adVarWChar, 20}, {"v", ado::adDouble, 8}};
const std::vector<TestField> kInt = {{"tSID", ado::adVarWChar, 20}, {"v", ado::adInteger, 4}};
const std::vector<TestField> kNumeric = {{"tSID", ado::adVarWChar, 20}, {"v", ado::adNumeric, 19}};
const std::vector<TestField> kBinary = {{"tSID", ado::adVarWChar, 20}, {"v", ado::adVarBinary, 20}};
const std::vector<TestField> kOnlyKey = {{"tSID", ado::adVarWChar, 20}};

ado::Variant Dec(const char* text) { return ado::Variant(*ado::Decimal::Parse(text)); }

INSTANTIATE_TEST_SUITE_P(
    Rules, CQvDataExporterCompare,
    ::testing::Values(
        CompareCase{"SameText", kText, {"a", "x"}, kText, {"a", "x"}, false},
        CompareCase{"LetterCaseCounts", kText, {"a", "Xy"}, kText, {"a", "xy"}, true},
        CompareCase{"FiveAndFivePointZero", kDouble, {"a", 5.0}, kInt, {"a", int32_t{5}}, false},
        CompareCase{"DecimalScaleIsNoChange",
                    kNumeric,
                    {"a", Dec("5.0")},
                    kNumeric,
                    {"a", Dec("5")},
                    false},
        CompareCase{"NumberChanged", kNumeric, {"a", Dec("5.01")}, kNumeric, {"a", Dec("5")}, true},
        CompareCase{"NullToValue", kText, {"a", "x"}, kText, {"a", ado::Variant::Null()}, true},
        CompareCase{"ValueToNull", kText, {"a", ado::Variant::Null()}, kText, {"a", "x"}, true},
        CompareCase{"NullStaysNull",
                    kText,
                    {"a", ado::Variant::Null()},
                    kText,
                    {"a", ado::Variant::Null()},
                    false},
        CompareCase{"OnlyTheTimestampChanged",
                    kTextTs,
                    {"a", "x", "2024-01-02"},
                    kTextTs,
                    {"a", "x", "2024-01-01"},
                    false},
        CompareCase{"TimestampNameInAnyCase",
                    kTextUpperTs,
                    {"a", "x", "2"},
                    kTextUpperTs,
                    {"a", "x", "1"},
                    false},
        CompareCase{
            "ChangeBesideTheTimestamp", kTextTs, {"a", "y", "2"}, kTextTs, {"a", "x", "1"}, true},
        CompareCase{"NewColumnInTheQuery", kText, {"a", "x"}, kOnlyKey, {"a"}, true},
        CompareCase{
            "NewTimestampColumnIsIgnored", kTextTs, {"a", "x", "1"}, kText, {"a", "x"}, false},
        CompareCase{"ColumnOnlyInTheLastData", kOnlyKey, {"a"}, kText, {"a", "x"}, false},
        CompareCase{
            "SameBytes", kBinary, {"a", ado::Bytes{1, 2}}, kBinary, {"a", ado::Bytes{1, 2}}, false},
        CompareCase{
            "OtherBytes", kBinary, {"a", ado::Bytes{1, 2}}, kBinary, {"a", ado::Bytes{1, 3}}, true},
        CompareCase{"NumberBecameText", kText, {"a", "5"}, kInt, {"a", int32_t{5}}, true}),
    [](const ::testing::TestParamInfo<CompareCase>& case_info) { return case_info.param.name; });

TEST(CQvDataExporterCompareEdges, LastDataAtItsEndIsNoChange) {
  CQvDataExporter exporter(nullptr);
  const auto now = MakeRecordset(kText, {{"a", "x"}});
  const auto last = MakeRecordset(kText, {});
  EXPECT_FALSE(exporter.EntityHasChangedAttributes(now, last));
}

TEST(CQvDataExporterCompareEdges, OnlySourceTimestampIsLeftOut) {
  EXPECT_TRUE(CQvDataExporter::IsTS_TypeAttribute("Source_Timestamp"));
  EXPECT_TRUE(CQvDataExporter::IsTS_TypeAttribute("source_TIMESTAMP"));
  EXPECT_FALSE(CQvDataExporter::IsTS_TypeAttribute("Source_Timestamp2"));
  EXPECT_FALSE(CQvDataExporter::IsTS_TypeAttribute("Timestamp"));
}

// --- The per-entity export against a database, with the uploader faked ---

class CQvDataExporterDiffExport : public ::testing::Test {
 protected:
  CQvDataExporterDiffExport() {
    home_.WriteUploadUrl("http://127.0.0.1:9/upload");
    Sql("CREATE TABLE apps(tSID TEXT, name TEXT, Source_Timestamp TEXT)");
  }
  void Sql(const std::string& sql) {
    ado::Connection db;
    db.Open(home_.ConnectionString());
    db.Execute(sql);
  }
  int32_t Run() {
    int32_t changed = -1;
    exporter_.Export_DiffPerEntity(kQuery, source_, Result(), "Apps", changed);
    return changed;
  }
  std::string Result() const { return home_.Out("Apps.xml"); }
  std::string Last() const { return home_.Out("last/Apps.xml"); }
  // Change files of the result: the result path, a number of up to six digits, ".xml".
  std::vector<std::string> ChangeFilesIn(const std::string& folder) const {
    const std::regex name("Apps\\.xml[0-9]{1,6}\\.xml");
    std::vector<std::string> found;
    for (const std::string& file : FilesIn(folder)) {
      if (std::regex_match(file, name)) found.push_back(file);
    }
    return found;
  }

  static constexpr const char* kQuery =
      "SELECT tSID, name, Source_Timestamp FROM apps ORDER BY tSID";
  ExportHome home_;
  Traces traces_;
  CQvDataExporter exporter_{traces_.Fn()};
  std::shared_ptr<QvDataSource> source_ =
      std::make_shared<QvDataSource>(1, "test", home_.ConnectionString());
};

TEST_F(CQvDataExporterDiffExport, FirstRunSendsEverythingThenOnlyWhatChanged) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1'), ('b', 'two', 't1'), ('c', 'three', 't1')");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(home_.Uploader().UploadedFiles(), std::vector<std::string>{"Apps.xml"});
  EXPECT_TRUE(traces_.Has("No last data. Sending all entities. " + Result(), kEventInformation));
  EXPECT_EQ(ColumnOf(Last(), "tSID"), (std::vector<std::string>{"a", "b", "c"}));

  Sql("UPDATE apps SET name = 'TWO' WHERE tSID = 'b'");
  Sql("UPDATE apps SET Source_Timestamp = 't2'");
  Sql("DELETE FROM apps WHERE tSID = 'c'");
  Sql("INSERT INTO apps VALUES('d''x', 'four', 't2')");
  const std::string keys_read = "Last data keys read from: " + EntityIndex::KeysFileOf(Last());
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(traces_.Count(keys_read, kEventInformation), 1) << "saved with the whole result";

  const auto uploaded = home_.Uploader().UploadedFiles();
  ASSERT_EQ(uploaded.size(), 3u);
  const std::vector<std::string> sent = ChangeFilesIn(home_.Out("LastTx"));
  ASSERT_EQ(sent.size(), 2u) << "two change files, unless both drew one number";
  std::vector<std::string> sids;
  for (const std::string& file : sent) {
    const auto values = ColumnOf(home_.Out("LastTx/" + file), "tSID");
    ASSERT_EQ(values.size(), 1u);
    sids.push_back(values[0]);
  }
  std::sort(sids.begin(), sids.end());
  EXPECT_EQ(sids, (std::vector<std::string>{"b", "d'x"}));
  EXPECT_TRUE(traces_.Has("CQvDataExporter.Process_DiffOneEntity, SID Not Found in last data: d'x",
                          kEventInformation));
  EXPECT_TRUE(traces_.Has("QRT Subset records:3, Changed:2", kEventInformation));
  // The deleted entity leaves the last data; the rest is the current result.
  EXPECT_EQ(ColumnOf(Last(), "tSID"), (std::vector<std::string>{"a", "b", "d'x"}));
  EXPECT_EQ(ColumnOf(Last(), "Source_Timestamp"), (std::vector<std::string>{"t2", "t2", "t2"}));

  // Nothing changed since: nothing is sent, a quoted key is found again, in the keys
  // the last run saved beside the last data.
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(home_.Uploader().UploadedFiles().size(), 3u);
  EXPECT_EQ(traces_.Count(keys_read, kEventInformation), 2) << traces_.All();
}

TEST_F(CQvDataExporterDiffExport, FailedSendKeepsTheLastDataSoTheNextRunSendsAgain) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1'), ('b', 'two', 't1')");
  Run();
  const std::string before = test::ReadBytes(Last());

  Sql("UPDATE apps SET name = 'ONE' WHERE tSID = 'a'");
  Sql("UPDATE apps SET name = 'TWO' WHERE tSID = 'b'");
  home_.Uploader().SetStatus(22);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(test::ReadBytes(Last()), before);
  EXPECT_FALSE(ChangeFilesIn(home_.Out("Unsent")).empty());
  EXPECT_EQ(exporter_.Stats().sends_failed, 2);

  home_.Uploader().SetStatus(0);
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(ColumnOf(Last(), "name"), (std::vector<std::string>{"ONE", "TWO"}));
}

TEST_F(CQvDataExporterDiffExport, FailedFirstSendWritesNoLastData) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1')");
  home_.Uploader().SetStatus(7);
  Run();
  EXPECT_FALSE(fs::exists(Last()));
  EXPECT_EQ(FilesIn(home_.Out("Unsent")), std::vector<std::string>{"Apps.xml"});

  home_.Uploader().SetStatus(0);
  Run();
  EXPECT_EQ(FilesIn(home_.Out("LastTx")), std::vector<std::string>{"Apps.xml"});
  EXPECT_EQ(ColumnOf(Last(), "tSID"), std::vector<std::string>{"a"});
}

TEST_F(CQvDataExporterDiffExport, UndeliveredWholeResultIsNotTakenForLastDataLater) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1')");
  home_.WriteUploadUrl("");  // the send fails and the uploader leaves the file in place
  Run();
  EXPECT_FALSE(fs::exists(Result()));
  EXPECT_EQ(FilesIn(home_.Out("Unsent")), std::vector<std::string>{"Apps.xml"});

  home_.WriteUploadUrl("http://127.0.0.1:9/upload");
  Run();
  // Sent whole again, not compared with what never arrived.
  EXPECT_EQ(home_.Uploader().UploadedFiles(), std::vector<std::string>{"Apps.xml"});
}

TEST_F(CQvDataExporterDiffExport, NullKeyIsReportedAndDoesNotHoldTheLastDataBack) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1')");
  Run();
  Sql("INSERT INTO apps VALUES(NULL, 'nobody', 't1')");
  Sql("UPDATE apps SET name = 'ONE' WHERE tSID = 'a'");

  EXPECT_EQ(Run(), 1);

  EXPECT_EQ(traces_.Count("CQvDataExporter.Process_DiffOneEntity, @Line#2", kEventWarning), 1)
      << traces_.All();
  EXPECT_EQ(ColumnOf(Last(), "name").size(), 2u);
  EXPECT_GT(exporter_.Stats().failures, 0);

  // Mode 7 reports it the same way and still sends the page's other changes.
  const std::string paged = home_.Out("Paged.xml");
  exporter_.Export_EntGrpQuery_DiffPerEntity_VarFiles(kQuery, source_, paged, "Apps", 100);
  Sql("UPDATE apps SET name = 'One' WHERE tSID = 'a'");
  const int32_t sent = exporter_.Stats().files_sent;
  exporter_.Export_EntGrpQuery_DiffPerEntity_VarFiles(kQuery, source_, paged, "Apps", 100);
  EXPECT_EQ(traces_.Count("CQvDataExporter.Process_DiffOneEntity, @Line#2", kEventWarning), 2)
      << traces_.All();
  EXPECT_EQ(exporter_.Stats().files_sent, sent + 1);
}

TEST_F(CQvDataExporterDiffExport, QueryWithoutTheKeyFieldSendsNothingOnceLastDataExists) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1')");
  Run();
  const std::string before = test::ReadBytes(Last());
  int32_t changed = -1;
  exporter_.Export_DiffPerEntity("SELECT name FROM apps", source_, Result(), "Apps", changed);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(test::ReadBytes(Last()), before);
  EXPECT_EQ(traces_.Count("CQvDataExporter.Export_DiffPerEntity, u:0 @Line#5", kEventWarning), 1);
}

// Last data that cannot be used is set aside once; the rule sends its whole result and
// is back to normal with the next run.
TEST_F(CQvDataExporterDiffExport, UnusableLastDataIsSetAsideAndTheWholeResultSent) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1'), ('b', 'two', 't1')");
  Run();
  const std::string good = test::ReadBytes(Last());
  const auto saved = [](const std::shared_ptr<ado::Recordset>& rs) {
    test::TestFolder scratch;
    if (!CQvXMLManip().SaveRSToXML(rs, scratch.File("x.xml"), false)) ADD_FAILURE();
    return test::ReadBytes(scratch.File("x.xml"));
  };
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"not a recordset", "<xml>not a recordset"},
      {"cut short", good.substr(0, good.size() / 2)},
      {"no key field", saved(MakeRecordset({{"name", ado::adVarWChar, 20}}, {{"one"}}))},
      {"integer keys",
       saved(MakeRecordset({{"tSID", ado::adInteger, 4}, {"name", ado::adVarWChar, 20}},
                           {{int32_t{1}, "one"}}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteBytes(Last(), c.bytes);
    const size_t uploads = home_.Uploader().UploadedFiles().size();
    const int32_t failures = exporter_.Stats().failures;
    Run();
    const auto uploaded = home_.Uploader().UploadedFiles();
    ASSERT_EQ(uploaded.size(), uploads + 1);
    EXPECT_EQ(uploaded.back(), "Apps.xml");
    EXPECT_EQ(test::ReadBytes(Last() + ".bad"), c.bytes);
    EXPECT_EQ(exporter_.Stats().failures, failures + 1);
    EXPECT_EQ(traces_.Count("the last data cannot be used: " + Last(), kEventWarning), 1);
    traces_.entries.clear();

    Run();
    EXPECT_EQ(home_.Uploader().UploadedFiles().size(), uploads + 1);
    EXPECT_EQ(exporter_.Stats().failures, failures + 1);
  }
}

// While the receiver is away, or no upload address is set, each run makes the pending
// changes again: Unsent holds one file per pending change, in its newest state.
TEST_F(CQvDataExporterDiffExport, UnsentHoldsOneFilePerPendingChangeWhateverTheRuns) {
  for (const bool without_address : {false, true}) {
    SCOPED_TRACE(without_address ? "no upload address" : "uploads fail");
    fs::remove_all(home_.Out(""));
    Sql("DELETE FROM apps");
    Sql("INSERT INTO apps VALUES('a', 'one', 't1'), ('b', 'two', 't1'), ('c', 'three', 't1')");
    home_.WriteUploadUrl("http://127.0.0.1:9/upload");
    home_.Uploader().SetStatus(0);
    Run();

    if (without_address) {
      home_.WriteUploadUrl("");
    } else {
      home_.Uploader().SetStatus(22);
    }
    for (int run = 1; run <= 3; ++run) {
      Sql("UPDATE apps SET name = 'run " + std::to_string(run) + "' WHERE tSID IN ('a', 'b')");
      Run();
      const std::vector<std::string> unsent = ChangeFilesIn(home_.Out("Unsent"));
      ASSERT_EQ(unsent.size(), 2u) << "run " << run;
      for (const std::string& file : unsent) {
        EXPECT_EQ(ColumnOf(home_.Out("Unsent/" + file), "name"),
                  std::vector<std::string>{"run " + std::to_string(run)});
      }
      EXPECT_TRUE(ChangeFilesIn(home_.Out("")).empty());
    }

    home_.WriteUploadUrl("http://127.0.0.1:9/upload");
    home_.Uploader().SetStatus(0);
    EXPECT_EQ(Run(), 2);
    EXPECT_TRUE(ChangeFilesIn(home_.Out("Unsent")).empty());
  }
}

TEST_F(CQvDataExporterDiffExport, ChangeFileNamesOfOneRunAreUnique) {
  Sql("INSERT INTO apps WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
      "WHERE i < 4000) SELECT 'k' || i, 'v', 't1' FROM n");
  Run();
  Sql("UPDATE apps SET name = 'w'");
  // Random numbers below a million for 4,000 files: some number comes twice in all but
  // one run of 3,000.
  EXPECT_EQ(Run(), 4000);
  auto uploaded = home_.Uploader().UploadedFiles();
  ASSERT_EQ(uploaded.size(), 4001u);
  std::sort(uploaded.begin(), uploaded.end());
  EXPECT_EQ(std::adjacent_find(uploaded.begin(), uploaded.end()), uploaded.end());
  EXPECT_EQ(ChangeFilesIn(home_.Out("LastTx")).size(), 4000u);
}

TEST_F(CQvDataExporterDiffExport, RepeatedKeysAreMatchedInOrderAndReportedOnce) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1'), ('a', 'two', 't1'), ('b', 'x', 't1')");
  Run();
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(traces_.Count("tSID a occurs more than once", kEventWarning), 1) << traces_.All();
  EXPECT_EQ(exporter_.Stats().failures, 0);

  Sql("UPDATE apps SET name = 'TWO' WHERE name = 'two'");
  EXPECT_EQ(Run(), 1);
  const std::vector<std::string> sent = ChangeFilesIn(home_.Out("LastTx"));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ColumnOf(home_.Out("LastTx/" + sent[0]), "name"), std::vector<std::string>{"TWO"});
}

// The whole result streamed on the first run, and the query read a page at a time later,
// write the files that the recordset of the same rows gives: every column type, nulls,
// changes on every page.
TEST_F(CQvDataExporterDiffExport, PagedWalkWritesWhatTheRecordsetWalkWrites) {
  Sql("CREATE TABLE every(tSID TEXT, i INTEGER, big BIGINT, r REAL, v VARCHAR(40), t TEXT, "
      "b BLOB, n NUMERIC(12,3), d DATE, ts DATETIME, flag BIT, Source_Timestamp TEXT)");
  Sql("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 2600) "
      "INSERT INTO every SELECT printf('k%05d', x), IIF(x % 7 = 0, NULL, x * 1000003), "
      "IIF(x % 11 = 0, NULL, x * 4000000007), IIF(x % 5 = 0, NULL, x / 3.0), "
      "IIF(x % 3 = 0, NULL, 'v' || x), IIF(x % 4 = 0, NULL, 'text <&> ' || x), "
      "IIF(x % 6 = 0, NULL, CAST(printf('%08x', x) AS BLOB)), IIF(x % 9 = 0, NULL, x * 1.125), "
      "IIF(x % 8 = 0, NULL, date(1700000000 + x * 86400, 'unixepoch')), "
      "IIF(x % 10 = 0, NULL, datetime(1700000000 + x * 3599, 'unixepoch')), "
      "IIF(x % 13 = 0, NULL, x % 2), 't1' FROM n");
  const std::string query = "SELECT * FROM every ORDER BY tSID";
  CQvDataExporter reference(traces_.Fn());
  const auto whole =
      reference.GetRS(query, source_->GetConnection(QvDataSource::kSharedConnection));
  ASSERT_NE(whole, nullptr);
  fs::create_directories(home_.Out("first"));
  ASSERT_TRUE(reference.CreateLastDataFileFromRS(home_.Out("first/Apps.xml"), whole));
  int32_t changed = -1;
  exporter_.Export_DiffPerEntity(query, source_, Result(), "Apps", changed);
  EXPECT_EQ(test::ReadBytes(Last()), test::ReadBytes(home_.Out("first/last/Apps.xml")));
  EXPECT_EQ(test::ReadBytes(home_.Out("LastTx/Apps.xml")), test::ReadBytes(Last()));
  const std::string old_last = home_.Out("old-last.xml");
  fs::copy_file(Last(), old_last);

  Sql("UPDATE every SET Source_Timestamp = 't2'");
  Sql("UPDATE every SET i = NULL WHERE tSID IN ('k00001', 'k01500')");
  Sql("UPDATE every SET t = 'now set' WHERE tSID = 'k00004'");
  Sql("UPDATE every SET r = r + 0.5, b = NULL WHERE tSID = 'k02599'");
  Sql("UPDATE every SET ts = '2030-01-01 10:00:00' WHERE tSID = 'k01001'");
  Sql("DELETE FROM every WHERE tSID IN ('k00002', 'k02000')");
  Sql("INSERT INTO every (tSID, v) VALUES ('k01000a', 'new'), ('k09999', NULL)");
  const std::vector<std::string> expected_keys = {"k00001", "k00004", "k01000a", "k01001",
                                                  "k01500", "k02599", "k09999"};

  // The reference: the whole result as one recordset, each record through the
  // filter-based compare, the recordset written as last data.
  const std::string ref_result = home_.Out("ref/Apps.xml");
  const auto rs = reference.GetRS(query, source_->GetConnection(QvDataSource::kSharedConnection));
  ASSERT_NE(rs, nullptr);
  const auto last = CQvXMLManip().OpenXMLToRS(old_last, false);
  fs::create_directories(home_.Out("ref"));
  for (rs->MoveFirst(); !rs->Eof(); rs->MoveNext()) {
    reference.Process_DiffOneEntity(rs, last, ref_result, "Apps");
  }
  ASSERT_TRUE(reference.CreateLastDataFileFromRS(ref_result, rs));

  exporter_.Export_DiffPerEntity(query, source_, Result(), "Apps", changed);

  EXPECT_EQ(changed, static_cast<int32_t>(expected_keys.size()));
  EXPECT_EQ(test::ReadBytes(Last()), test::ReadBytes(home_.Out("ref/last/Apps.xml")));
  const auto change_files = [&](const std::string& folder) {
    std::vector<std::string> bytes;
    for (const std::string& file : ChangeFilesIn(folder)) {
      bytes.push_back(test::ReadBytes(folder + "/" + file));
    }
    std::sort(bytes.begin(), bytes.end());
    return bytes;
  };
  const std::vector<std::string> sent = change_files(home_.Out("LastTx"));
  EXPECT_EQ(sent, change_files(home_.Out("ref/LastTx")));
  std::vector<std::string> keys;
  for (const std::string& file : ChangeFilesIn(home_.Out("LastTx"))) {
    const auto values = ColumnOf(home_.Out("LastTx/" + file), "tSID");
    keys.insert(keys.end(), values.begin(), values.end());
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, expected_keys);
  EXPECT_EQ(exporter_.Stats().failures, 0) << traces_.All();
}

// --- Page files ---

TEST_F(CQvDataExporterDiffExport, PageIsSentWhenItDiffersAndBecomesLastDataOnlyOnceDelivered) {
  Sql("INSERT INTO apps VALUES('a', 'one', 't1'), ('b', 'two', 't1'), ('c', 'three', 't1')");
  const std::string page1 = home_.Out("Apps.xml_0-1.xml");
  const std::string page2 = home_.Out("Apps.xml_2-3.xml");
  home_.Uploader().SetStatus(1);
  exporter_.Export_EntGrpDiff_BinDiff(kQuery, source_, Result(), "Apps", 2);
  EXPECT_TRUE(fs::exists(page1));
  EXPECT_TRUE(fs::exists(page2));
  EXPECT_FALSE(fs::exists(home_.Out("last/Apps.xml_0-1.xml")));

  home_.Uploader().SetStatus(0);
  exporter_.Export_EntGrpDiff_BinDiff(kQuery, source_, Result(), "Apps", 2);
  EXPECT_EQ(test::ReadBytes(home_.Out("last/Apps.xml_0-1.xml")), test::ReadBytes(page1));

  Sql("UPDATE apps SET name = 'THREE' WHERE tSID = 'c'");
  exporter_.Export_EntGrpDiff_BinDiff(kQuery, source_, Result(), "Apps", 2);
  EXPECT_EQ(home_.Uploader().UploadedFiles(),
            (std::vector<std::string>{"Apps.xml_0-1.xml", "Apps.xml_2-3.xml", "Apps.xml_0-1.xml",
                                      "Apps.xml_2-3.xml", "Apps.xml_2-3.xml"}));
  // Pages stay where they are after an upload.
  EXPECT_TRUE(FilesIn(home_.Out("LastTx")).empty());
}

// --- Test aids ---

class CQvDataExporterChangedRS : public ::testing::Test {
 protected:
  std::string Write(const std::vector<TestField>& columns, int records) {
    std::vector<std::vector<ado::Variant>> rows;
    for (int i = 0; i < records; ++i) rows.push_back({"r" + std::to_string(i), "pc"});
    const std::string path = folder_.File("last/" + std::to_string(files_++) + ".xml");
    fs::create_directories(folder_.File("last"));
    CQvXMLManip manip;
    if (!manip.SaveRSToXML(MakeRecordset(columns, rows), path, false)) ADD_FAILURE();
    return path;
  }

  test::TestFolder folder_;
  int files_ = 0;
  CQvDataExporter exporter_{nullptr};
};

const std::vector<TestField> kComputer = {{"tSID", ado::adVarWChar, 20},
                                          {"Computer", ado::adVarWChar, 40}};
const std::vector<TestField> kApplication = {{"tSID", ado::adVarWChar, 20},
                                             {"Application_Name", ado::adVarWChar, 40}};

TEST_F(CQvDataExporterChangedRS, ShareDecidesWhichRecordsChange) {
  const std::string none = Write(kComputer, 4);
  const std::string all = Write(kComputer, 4);
  const std::string half = Write(kComputer, 4);
  const std::string third = Write(kComputer, 5);

  exporter_.SaveChangedRSTest(none, 0);
  exporter_.SaveChangedRSTest(all, 100);
  exporter_.SaveChangedRSTest(half, 50);
  exporter_.SaveChangedRSTest(third, 30);  // 1.5 records rounds to 2

  EXPECT_EQ(ColumnOf(none, "Computer"), std::vector<std::string>(4, "pc"));
  EXPECT_EQ(ColumnOf(all, "Computer"), std::vector<std::string>(4, "pcchgd"));
  EXPECT_EQ(ColumnOf(half, "Computer"), (std::vector<std::string>{"pcchgd", "pc", "pcchgd", "pc"}));
  EXPECT_EQ(ColumnOf(third, "Computer"),
            (std::vector<std::string>{"pcchgd", "pc", "pcchgd", "pc", "pc"}));
}

TEST_F(CQvDataExporterChangedRS, WithoutComputerTheApplicationNameChanges) {
  const std::string path = Write(kApplication, 3);
  exporter_.SaveChangedRSTest(path, 100);
  EXPECT_EQ(ColumnOf(path, "Application_Name"), std::vector<std::string>(3, "pcchgd"));
}

TEST_F(CQvDataExporterChangedRS, EveryFileOfTheLastFolderGoesThrough) {
  const std::string a = Write(kComputer, 6);
  const std::string b = Write(kApplication, 6);
  exporter_.CreateChangedFilesForQRTTests(folder_.File("Apps.xml"));
  // The share is drawn per file; each file is still a readable recordset of six records
  // whose changed records carry the mark.
  for (const auto& [path, field] : {std::pair{a, "Computer"}, std::pair{b, "Application_Name"}}) {
    const auto values = ColumnOf(path, field);
    ASSERT_EQ(values.size(), 6u) << path;
    for (const std::string& value : values) {
      EXPECT_TRUE(value == "pc" || value == "pcchgd") << value;
    }
  }
}

}  // namespace
}  // namespace qv
