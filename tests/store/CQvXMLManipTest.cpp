#include "store/CQvXMLManip.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "ado/RecordsetXml.h"
#include "shared/LogCapture.h"
#include "shared/QvSharedStrings.h"
#include "support/RecordsetFactory.h"
#include "support/TestFolder.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::MakeRecordset;
using test::ReadBytes;
using test::TestFolder;
using test::WriteBytes;

std::shared_ptr<ado::Recordset> Rules() {
  return MakeRecordset(
      {{"nID", ado::adInteger, 4},
       {"tName", ado::adVarWChar, 100},
       {"tSQLSelect", ado::adVarWChar, 400},
       {"tNote", ado::adVarWChar, 100}},
      {{ado::Variant(int32_t{1}), ado::Variant("Débiteurs & co"),
        ado::Variant("SELECT * FROM t WHERE a = 'x' AND b <> 2"), ado::Variant::Null()},
       {ado::Variant(int32_t{2}), ado::Variant("Zweite Regel"), ado::Variant("SELECT 1"),
        ado::Variant("")}});
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Text(const std::shared_ptr<ado::Recordset>& rs, const char* field) {
  return rs->Fields().Item(field).Value().ToText();
}

TEST(CQvXMLManip, OpenMissingFileGivesClosedRecordset) {
  TestFolder folder;
  LogCapture capture;
  CQvXMLManip store;
  auto rs = store.OpenXMLToRS(folder.File("missing.xml"), false);
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->State(), ado::adStateClosed);
  auto decoded = store.OpenXMLToRS(folder.File("missing.xml"), true, 6);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->State(), ado::adStateClosed);
  EXPECT_TRUE(capture.Entries().empty());
}

TEST(CQvXMLManip, OpenUnreadableFileIsLoggedWithTheReasonAndGivesNull) {
  TestFolder folder;
  LogCapture capture;
  WriteBytes(folder.File("broken.xml"), "<xml><not a recordset");
  CQvXMLManip store;
  EXPECT_EQ(store.OpenXMLToRS(folder.File("broken.xml"), true, 6), nullptr);
  ASSERT_EQ(capture.Entries().size(), 1u);
  const LogEntry& entry = capture.Entries()[0];
  EXPECT_EQ(entry.message, "CQvXMLManip.OpenXMLToRS");
  EXPECT_EQ(entry.error.number, core::kErrInvalidPersistedFile);
  EXPECT_FALSE(entry.error.description.empty());
  EXPECT_EQ(entry.event_type, kEventWarning);
  EXPECT_EQ(entry.caller_level, kLevelExport);
}

TEST(CQvXMLManip, OpenGivesAnUpdatableClientRecordsetOnItsFirstRecord) {
  CQvXMLManip store;
  auto rs = store.OpenXMLToRS(
      std::string(QV_TEST_DATA_DIR) + "/ado-samples/F04-jet40-winmss-CLUB-nulls.xml", false);
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->State(), ado::adStateOpen);
  EXPECT_EQ(rs->CursorLocation(), ado::adUseClient);
  EXPECT_EQ(rs->LockType(), ado::adLockOptimistic);
  ASSERT_FALSE(rs->Eof());
  EXPECT_FALSE(rs->Bof());
  rs->Fields().Item("Club").SetValue(ado::Variant("Changed in memory"));
  rs->Update();
  EXPECT_EQ(Text(rs, "Club"), "Changed in memory");
}

TEST(CQvXMLManip, SaveThenOpenGivesBackFieldsAndValues) {
  TestFolder folder;
  LogCapture capture;
  CQvXMLManip store;
  auto original = Rules();
  ASSERT_TRUE(store.SaveRSToXML(original, folder.File("rules.xml"), false));
  EXPECT_EQ(ReadBytes(folder.File("rules.xml")), ado::RecordsetXmlToString(*original));
  auto rs = store.OpenXMLToRS(folder.File("rules.xml"), false);
  ASSERT_TRUE(rs);
  ASSERT_EQ(rs->Fields().Count(), 4);
  for (int i = 0; i < 4; ++i) {
    const ado::Field a = original->Fields().Item(static_cast<size_t>(i));
    const ado::Field b = rs->Fields().Item(static_cast<size_t>(i));
    EXPECT_EQ(a.Name(), b.Name());
    EXPECT_EQ(a.Type(), b.Type());
    EXPECT_EQ(a.DefinedSize(), b.DefinedSize());
  }
  EXPECT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(Text(rs, "tName"), "Débiteurs & co");
  EXPECT_EQ(Text(rs, "tSQLSelect"), "SELECT * FROM t WHERE a = 'x' AND b <> 2");
  EXPECT_TRUE(rs->Fields().Item("tNote").Value().IsNull());
  rs->MoveNext();
  EXPECT_EQ(rs->Fields().Item("nID").Value().ToLong(), 2);
  EXPECT_EQ(Text(rs, "tNote"), "");
  EXPECT_TRUE(capture.Entries().empty());
  EXPECT_EQ(FilesIn(folder.Path()), std::vector<std::string>{"rules.xml"});  // no temporary
}

TEST(CQvXMLManip, SaveOfAnEmptyRecordsetWritesOnlyTheSchema) {
  TestFolder folder;
  CQvXMLManip store;
  auto empty = MakeRecordset({{"tName", ado::adVarWChar, 10}}, {});
  ASSERT_TRUE(store.SaveRSToXML(empty, folder.File("empty.xml"), false, true));
  auto rs = store.OpenXMLToRS(folder.File("empty.xml"), true, 1);
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->State(), ado::adStateOpen);
  EXPECT_TRUE(rs->Bof());
  EXPECT_TRUE(rs->Eof());
  EXPECT_EQ(rs->Fields().Count(), 1);
}

TEST(CQvXMLManip, SaveReplacesTheWholeContentWithoutATail) {
  TestFolder folder;
  CQvXMLManip store;
  const std::string file = folder.File("result.xml");
  WriteBytes(file, std::string(100000, 'x'));
  auto small = MakeRecordset({{"a", ado::adInteger, 4}}, {{ado::Variant(int32_t{1})}});
  ASSERT_TRUE(store.SaveRSToXML(small, file, false));
  EXPECT_EQ(ReadBytes(file), ado::RecordsetXmlToString(*small));

  // Without the flush to disk the replacement is still whole and leaves no temporary.
  WriteBytes(file, std::string(100000, 'y'));
  ASSERT_TRUE(store.SaveRSToXML(small, file, false, false, 1, false));
  EXPECT_EQ(ReadBytes(file), ado::RecordsetXmlToString(*small));
  EXPECT_EQ(FilesIn(folder.Path()), std::vector<std::string>{"result.xml"});
}

TEST(CQvXMLManip, FailedSaveLeavesTheOldFileIntactAndReturnsFalse) {
  TestFolder folder;
  LogCapture capture;
  CQvXMLManip store;
  const std::string file = folder.File("keep.xml");
  WriteBytes(file, "old content");

  auto closed = std::make_shared<ado::Recordset>();
  closed->Fields().Append("a", ado::adInteger, 4);
  EXPECT_FALSE(store.SaveRSToXML(closed, file, false, true));
  EXPECT_FALSE(store.SaveRSToXML(nullptr, file, false));
  EXPECT_EQ(ReadBytes(file), "old content");
  EXPECT_EQ(FilesIn(folder.Path()), std::vector<std::string>{"keep.xml"});
  ASSERT_EQ(capture.Warnings().size(), 2u);
  EXPECT_EQ(capture.Warnings()[0], "CQvXMLManip.SaveRSToXML. @Line#4");
  EXPECT_EQ(capture.Warnings()[1], "CQvXMLManip.SaveRSToXML. @Line#1");
}

TEST(CQvXMLManip, SaveOntoAFolderOrIntoAMissingFolderFails) {
  TestFolder folder;
  LogCapture capture;
  CQvXMLManip store;
  fs::create_directory(folder.File("target.xml"));
  WriteBytes(folder.File("target.xml/inside"), "kept");
  EXPECT_FALSE(store.SaveRSToXML(Rules(), folder.File("target.xml"), false, true));
  EXPECT_TRUE(fs::is_directory(folder.File("target.xml")));
  EXPECT_EQ(ReadBytes(folder.File("target.xml/inside")), "kept");
  EXPECT_EQ(FilesIn(folder.Path()), std::vector<std::string>{"target.xml"});
  EXPECT_FALSE(store.SaveRSToXML(Rules(), folder.File("no/such/folder.xml"), false));
  EXPECT_EQ(capture.Warnings(), (std::vector<std::string>{"CQvXMLManip.SaveRSToXML. @Line#6",
                                                          "CQvXMLManip.SaveRSToXML. @Line#3"}));
}

TEST(CQvXMLManip, SaveWithBackupKeepsTheOldContentBesideTheFile) {
  TestFolder folder;
  CQvXMLManip store;
  const std::string file = folder.File("rules.xml");
  ASSERT_TRUE(store.SaveRSToXML(Rules(), file, false, true));  // nothing to back up yet
  EXPECT_EQ(FilesIn(folder.Path()), std::vector<std::string>{"rules.xml"});
  const std::string first = ReadBytes(file);

  auto other = MakeRecordset({{"a", ado::adInteger, 4}}, {{ado::Variant(int32_t{9})}});
  ASSERT_TRUE(store.SaveRSToXML(other, file, false, true));
  EXPECT_EQ(ReadBytes(file), ado::RecordsetXmlToString(*other));
  const std::vector<std::string> files = FilesIn(folder.Path());
  ASSERT_EQ(files.size(), 2u);
  const std::string backup = files[0] == "rules.xml" ? files[1] : files[0];
  EXPECT_EQ(backup.rfind("rules_", 0), 0u);
  EXPECT_EQ(ReadBytes(folder.File(backup)), first);
}

TEST(CQvXMLManip, SaveWithEncodingChangesTheCallersRecordsetAndOpenDecodes) {
  TestFolder folder;
  LogCapture capture;
  CQvXMLManip store;
  auto rs = Rules();
  rs->MoveLast();
  ASSERT_TRUE(store.SaveRSToXML(rs, folder.File("rules.xml"), true, false, 6));
  EXPECT_EQ(rs->Fields().Item("tName").Value().ToText(),
            QvSharedStrings::Encode6("Débiteurs & co"));  // back on the first record
  EXPECT_EQ(rs->Fields().Item("nID").Value().ToLong(), 1);
  EXPECT_TRUE(rs->Fields().Item("tNote").Value().IsNull());

  auto plain = store.OpenXMLToRS(folder.File("rules.xml"), false);
  ASSERT_TRUE(plain);
  EXPECT_EQ(Text(plain, "tSQLSelect"),
            QvSharedStrings::Encode6("SELECT * FROM t WHERE a = 'x' AND b <> 2"));

  auto decoded = store.OpenXMLToRS(folder.File("rules.xml"), true, 6);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(Text(decoded, "tName"), "Débiteurs & co");
  EXPECT_EQ(Text(decoded, "tSQLSelect"), "SELECT * FROM t WHERE a = 'x' AND b <> 2");
  decoded->MoveNext();
  EXPECT_EQ(Text(decoded, "tName"), "Zweite Regel");
  EXPECT_EQ(Text(decoded, "tNote"), "");
  decoded->MoveNext();
  EXPECT_TRUE(decoded->Eof());
  EXPECT_TRUE(capture.Entries().empty());
}

TEST(CQvXMLManip, DecodingTouchesOnlyTextLikeValuesAndEndsOnTheFirstRecord) {
  TestFolder folder;
  CQvXMLManip store;
  auto rs = MakeRecordset(
      {{"tConnectionString", ado::adVarWChar, 200},
       {"tNumberText", ado::adVarWChar, 20},
       {"tFlag", ado::adVarWChar, 20},
       {"tWhen", ado::adVarWChar, 20},
       {"nID", ado::adInteger, 4},
       {"tNull", ado::adVarWChar, 20}},
      {{ado::Variant(QvSharedStrings::Encode1("Driver=SQLite3;Database=/d b")), ado::Variant("123"),
        ado::Variant("TRUE"), ado::Variant("2020-01-02"), ado::Variant(int32_t{7}),
        ado::Variant::Null()},
       {ado::Variant("plain%20text"), ado::Variant("3.5"), ado::Variant("false"),
        ado::Variant("2020-01-02 10:11:12"), ado::Variant(int32_t{8}), ado::Variant("")}});
  ASSERT_TRUE(store.SaveRSToXML(rs, folder.File("ds.xml"), false));
  LogCapture capture;
  auto opened = store.OpenXMLToRS(folder.File("ds.xml"), true, 1);
  ASSERT_TRUE(opened);
  EXPECT_FALSE(opened->Bof());
  EXPECT_EQ(Text(opened, "tConnectionString"), "Driver=SQLite3;Database=/d b");
  EXPECT_EQ(Text(opened, "tNumberText"), "123");
  EXPECT_EQ(Text(opened, "tFlag"), "TRUE");
  EXPECT_EQ(Text(opened, "tWhen"), "2020-01-02");
  EXPECT_EQ(opened->Fields().Item("nID").Value().ToLong(), 7);
  EXPECT_TRUE(opened->Fields().Item("tNull").Value().IsNull());
  opened->MoveNext();
  EXPECT_EQ(Text(opened, "tConnectionString"), "plain text");
  EXPECT_EQ(Text(opened, "tNumberText"), "3.5");
  EXPECT_EQ(Text(opened, "tWhen"), "2020-01-02 10:11:12");
  EXPECT_EQ(Text(opened, "tNull"), "");
  EXPECT_TRUE(capture.Entries().empty());
}

TEST(CQvXMLManip, AFieldThatCannotBeDecodedIsLoggedAndKeepsItsValue) {
  LogCapture capture;
  CQvXMLManip store;
  auto rs = MakeRecordset({{"tA", ado::adVarWChar, 20}, {"tB", ado::adVarWChar, 20}},
                          {{ado::Variant("bad%ZZ"), ado::Variant("ok%21")},
                           {ado::Variant("%C3"), ado::Variant("fine")}});
  EXPECT_TRUE(store.DecodeRecordset(rs, 1));
  EXPECT_EQ(Text(rs, "tA"), "bad%ZZ");
  EXPECT_EQ(Text(rs, "tB"), "ok!");
  rs->MoveNext();
  EXPECT_EQ(Text(rs, "tA"), "%C3");
  EXPECT_EQ(capture.Warnings(),
            (std::vector<std::string>{"CQvXMLManip.DecodeField, Field NametA, @Line#2",
                                      "CQvXMLManip.DecodeField, Field NametA, @Line#2"}));
  EXPECT_EQ(capture.OfType(kEventWarning)[0].error.number, core::kErrInvalidProcedureCall);
}

TEST(CQvXMLManip, UnsupportedEncodeTypeWarnsPerTextValueAndChangesNothing) {
  LogCapture capture;
  CQvXMLManip store;
  auto rs = MakeRecordset({{"tA", ado::adVarWChar, 20}, {"nB", ado::adInteger, 4}},
                          {{ado::Variant("x%41"), ado::Variant(int32_t{1})},
                           {ado::Variant("y"), ado::Variant(int32_t{2})}});
  EXPECT_TRUE(store.DecodeRecordset(rs, 0));
  EXPECT_EQ(Text(rs, "tA"), "x%41");
  EXPECT_EQ(capture.Warnings(),
            (std::vector<std::string>{"CQvXMLManip.DecodeField - 0 not supported",
                                      "CQvXMLManip.DecodeField - 0 not supported"}));
  capture.Clear();
  EXPECT_TRUE(store.EncodeRecordset(rs, 3));
  EXPECT_EQ(Text(rs, "tA"), "x%41");
  EXPECT_EQ(capture.Warnings(),
            (std::vector<std::string>{"CQvXMLManip.EncodeField - 3 not supported",
                                      "CQvXMLManip.EncodeField - 3 not supported"}));
}

TEST(CQvXMLManip, NullClosedAndEmptyRecordsetsAreLeftAlone) {
  LogCapture capture;
  CQvXMLManip store;
  auto closed = std::make_shared<ado::Recordset>();
  auto empty = MakeRecordset({{"tA", ado::adVarWChar, 20}}, {});
  for (const auto& rs : {std::shared_ptr<ado::Recordset>(), closed, empty}) {
    EXPECT_TRUE(store.DecodeRecordset(rs, 6));
    EXPECT_TRUE(store.EncodeRecordset(rs, 6));
  }
  EXPECT_TRUE(capture.Entries().empty());
}

TEST(CQvXMLManip, EncodedValueLongerThanTheFieldKeepsTheOldValue) {
  LogCapture capture;
  CQvXMLManip store;
  auto rs = MakeRecordset({{"tCode", ado::adVarWChar, 6}}, {{ado::Variant("abcdef")}});
  EXPECT_TRUE(store.EncodeRecordset(rs, 6));
  EXPECT_EQ(Text(rs, "tCode"), "abcdef");
  ASSERT_EQ(capture.Warnings().size(), 1u);
  EXPECT_EQ(capture.Warnings()[0].rfind("CQvRSRecUtils.SetFieldValue_String - unable to store '" +
                                            QvSharedStrings::Encode6("abcdef") + "'",
                                        0),
            0u);
}

TEST(CQvXMLManip, TextWhoseEncodingReadsAsANumberIsKeptUnencoded) {
  TestFolder folder;
  LogCapture capture;
  CQvXMLManip store;
  const std::string square_unit = "\xE3\x8D\xB4";  // U+3374, Base64 "4420"
  ASSERT_EQ(QvSharedStrings::Encode6(square_unit), "4420");
  auto rs = MakeRecordset({{"tUnit", ado::adVarWChar, 10}, {"tName", ado::adVarWChar, 10}},
                          {{ado::Variant(square_unit), ado::Variant("abc")}});
  ASSERT_TRUE(store.SaveRSToXML(rs, folder.File("units.xml"), true, false, 6));
  EXPECT_EQ(Text(rs, "tUnit"), square_unit);
  EXPECT_EQ(Text(rs, "tName"), "YWJj");
  ASSERT_EQ(capture.Warnings().size(), 1u);
  EXPECT_EQ(capture.Warnings()[0].rfind("CQvXMLManip.EncodeField, Field Name=tUnit", 0), 0u);

  auto opened = store.OpenXMLToRS(folder.File("units.xml"), true, 6);
  ASSERT_TRUE(opened);
  EXPECT_EQ(Text(opened, "tUnit"), square_unit);  // not decodable, so logged and kept
  EXPECT_EQ(Text(opened, "tName"), "abc");
}

TEST(CQvXMLManip, UpdateFieldAcceptsOnlyTextLikeValues) {
  LogCapture capture;
  CQvXMLManip store;
  auto rs = MakeRecordset({{"v", ado::adVariant, 0}, {"b", ado::adVarBinary, 8}},
                          {{ado::Variant("text"), ado::Variant(ado::Bytes{1, 2})}});
  ado::Field v = rs->Fields().Item("v");
  EXPECT_FALSE(store.UpdateField(std::nullopt));
  EXPECT_TRUE(store.UpdateField(v));
  EXPECT_FALSE(store.UpdateField(rs->Fields().Find("b")));
  for (const ado::Variant& value :
       {ado::Variant::Null(), ado::Variant(""), ado::Variant(int32_t{3}), ado::Variant(" 12 "),
        ado::Variant("1e3"), ado::Variant(true), ado::Variant("False"), ado::Variant("2021-05-06"),
        ado::Variant(ado::Date{40000.5})}) {
    v.SetValue(value);
    EXPECT_FALSE(store.UpdateField(v)) << value.ToText();
  }
  EXPECT_TRUE(CQvXMLManip::IsBoolean(ado::Variant("tRuE")));
  EXPECT_FALSE(CQvXMLManip::IsBoolean(ado::Variant("yes")));
  EXPECT_TRUE(capture.Entries().empty());
}

}  // namespace
}  // namespace qv
