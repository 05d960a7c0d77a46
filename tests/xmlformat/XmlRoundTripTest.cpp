#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "XmlTestSupport.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlWriter.h"

namespace ado {
namespace {

using xml_test::MakeData;
using xml_test::MakeField;
using xml_test::Sample;

// These files are in ADO's own layout: reading and writing them gives the same bytes.
TEST(XmlRoundTrip, JetFilesComeBackByteForByte) {
  for (const char* name : {"F02-jet40-winmss-TAG.xml", "F03-jet40-winmss-CLASSIFY-empty.xml",
                           "F04-jet40-winmss-CLUB-nulls.xml", "F05-jet40-winmss-SCORE-empty.xml"}) {
    const std::string original = Sample(name);
    EXPECT_EQ(RecordsetDataXmlToString(ReadRecordsetXml(original)), original) << name;
  }
}

TEST(XmlRoundTrip, RecordsetOpenedFromFileSavesSameBytes) {
  qv::test::TestFolder folder;
  const std::string path = folder.File("club.xml");
  Recordset recordset;
  recordset.Open(Variant(xml_test::SamplePath("F04-jet40-winmss-CLUB-nulls.xml")));
  recordset.SaveToFile(path);
  EXPECT_EQ(xml_test::ReadBytes(path), Sample("F04-jet40-winmss-CLUB-nulls.xml"));
}

// 01 was re-serialized by MSXML: written again it takes ADO's layout (single quotes, LF,
// TAB indentation by depth, long rows wrapped) but keeps every field and value.
TEST(XmlRoundTrip, ReserializedFileTakesAdoLayoutAndKeepsValues) {
  const std::string original = Sample("01-jet-debtors-dom-reserialized.xml");
  RecordsetData first = ReadRecordsetXml(original);
  const std::string written = RecordsetDataXmlToString(first);
  EXPECT_EQ(written.find('"'), std::string::npos);
  EXPECT_EQ(written.find('\r'), std::string::npos);
  EXPECT_NE(written.find("<s:Schema id='RowsetSchema'>\n\t<s:ElementType name='row' "
                         "content='eltOnly'>\n"),
            std::string::npos);
  EXPECT_NE(written.find("\t<z:row DebtorKey='1' DebtorCode='Kakaa' DebtorDesc='Kak Pinjam buat "
                         "beli kayu buat rumah' DebtorDate='2001-09-01T00:00:00'\n"
                         "\t\t DebtorAmount='2000' StatusCode='Unpaid'/>\n"),
            std::string::npos);
  RecordsetData second = ReadRecordsetXml(written);
  EXPECT_EQ(second.fields, first.fields);
  ASSERT_EQ(second.records.RecordCount(), first.records.RecordCount());
  for (size_t r = 0; r < first.records.RecordCount(); ++r) {
    for (size_t f = 0; f < first.fields.size(); ++f) {
      EXPECT_EQ(second.records.Get(r, f), first.records.Get(r, f)) << r << "/" << f;
    }
  }
}

// F07 lists its fields alphabetically with rs:number 18, 30, 25, ...: written again the
// fields come in ordinal order, numbered 1..n; each field's lines are otherwise unchanged.
TEST(XmlRoundTrip, FieldsOutOfNumberOrderAreWrittenInOrdinalOrder) {
  const std::string original = Sample("F07-jet-steel-schema-excerpt.frag.xml");
  RecordsetData first = ReadRecordsetXml(original);
  const std::string written = RecordsetDataXmlToString(first);
  EXPECT_LT(written.find("name='Dateiname' rs:number='1'"),
            written.find("name='Typ_' rs:number='2'"));
  EXPECT_LT(written.find("name='AuftragID' rs:number='7'"),
            written.find("name='Exectime' rs:number='8'"));
  EXPECT_EQ(written.find("rs:number='18'"), std::string::npos);
  // The BGForm block reads the same apart from its number.
  std::string block = original.substr(original.find("\t\t<s:AttributeType name='BGForm'"));
  block = block.substr(0, block.find("</s:AttributeType>"));
  block.replace(block.find("rs:number='25'"), 14, "rs:number='5'");
  EXPECT_NE(written.find(block), std::string::npos);
  // The header is ADO's; the sample has a line break after </xml>, ADO's files do not.
  EXPECT_EQ(written.substr(0, written.find("\t\t<s:AttributeType")),
            original.substr(0, original.find("\t\t<s:AttributeType")));
  EXPECT_TRUE(original.ends_with("</rs:data>\n</xml>\n"));
  EXPECT_TRUE(written.ends_with("</rs:data>\n</xml>"));
  EXPECT_EQ(ReadRecordsetXml(written).fields, first.fields);
}

// Field definitions and values of every type survive writing and reading. The
// attributes are those a file carries (fixed and long types flagged as such).
TEST(XmlRoundTrip, EveryTypeKeepsDefinitionAndValues) {
  constexpr int32_t kFixed = adFldIsNullable | adFldMayBeNull | adFldFixed | adFldUpdatable;
  constexpr int32_t kVariable = adFldIsNullable | adFldMayBeNull | adFldUpdatable;
  RecordsetData data = MakeData({
      MakeField("i1", adTinyInt, 1, kFixed, 3),
      MakeField("i2", adSmallInt, 2, kFixed, 5),
      MakeField("i4", adInteger, 4, adFldFixed | adFldKeyColumn, 10),
      MakeField("i8", adBigInt, 8, kFixed, 19),
      MakeField("u1", adUnsignedTinyInt, 1, kFixed, 3),
      MakeField("u2", adUnsignedSmallInt, 2, kFixed, 5),
      MakeField("u4", adUnsignedInt, 4, kFixed, 10),
      MakeField("u8", adUnsignedBigInt, 8, kFixed, 20),
      MakeField("r4", adSingle, 4, kFixed, 7),
      MakeField("r8", adDouble, 8, kFixed, 15),
      MakeField("cy", adCurrency, 8, kFixed, 19),
      MakeField("num", adNumeric, 19, kFixed, 38, 10),
      MakeField("dec", adDecimal, 16, kFixed, 18, 4),
      MakeField("bool", adBoolean, 2, kFixed),
      MakeField("date", adDate, 16, kFixed),
      MakeField("stamp", adDBTimeStamp, 16, kFixed, 23, 3),
      MakeField("day", adDBDate, 6, kFixed),
      MakeField("time", adDBTime, 6, kFixed),
      MakeField("guid", adGUID, 16, kFixed),
      MakeField("char", adChar, 5, kFixed),
      MakeField("vchar", adVarChar, 50, kVariable),
      MakeField("memo", adLongVarChar, 2147483647, kVariable | adFldLong),
      MakeField("wchar", adWChar, 5, kFixed),
      MakeField("text", adVarWChar, 50, kVariable),
      MakeField("ntext", adLongVarWChar, 1073741823, kVariable | adFldLong),
      MakeField("bin", adBinary, 4, kFixed),
      MakeField("vbin", adVarBinary, 300, kVariable),
      MakeField("blob", adLongVarBinary, 2147483647, kVariable | adFldLong),
  });
  data.fields[2].base_catalog = "db";
  data.fields[2].base_schema = "dbo";
  data.fields[2].base_table = "t";
  data.fields[2].base_column = "I4";
  data.fields[2].autoincrement = true;
  data.fields[3].hidden = true;
  data.properties.command_timeout = 30;
  data.properties.reshape_name = "DSRowset1";

  RecordStore& r = data.records;
  const size_t row = r.AppendRecord();
  r.SetInteger(row, 0, VarType::kI1, -128);
  r.SetInteger(row, 1, VarType::kI2, 32767);
  r.SetInteger(row, 2, VarType::kI4, std::numeric_limits<int32_t>::min());
  r.SetInteger(row, 3, VarType::kI8, std::numeric_limits<int64_t>::max());
  r.SetInteger(row, 4, VarType::kUI1, 200);
  r.SetInteger(row, 5, VarType::kUI2, 60000);
  r.SetInteger(row, 6, VarType::kUI4, 4000000000);
  r.SetUnsigned(row, 7, std::numeric_limits<uint64_t>::max());
  r.SetDouble(row, 8, VarType::kR4, 3.14159274f);
  r.SetDouble(row, 9, VarType::kR8, 0.1 + 0.2);
  r.SetCurrency(row, 10, Currency{-12345678});
  r.SetDecimal(row, 11, *Decimal::Parse("-1234567890123456789012345678.0123456789"));
  r.SetDecimal(row, 12, *Decimal::Parse("0.0001"));
  r.SetBool(row, 13, true);
  Date::Parts parts;
  parts.year = 1999;
  parts.month = 12;
  parts.day = 31;
  parts.hour = 23;
  parts.minute = 59;
  parts.second = 58;
  r.SetDate(row, 14, Date::FromParts(parts));
  parts.nanosecond = 997000000;
  r.SetDate(row, 15, Date::FromParts(parts));
  r.SetDate(row, 16, Date::FromParts({2024, 2, 29, 0, 0, 0, 0}));
  r.SetDate(row, 17, Date::FromParts({1899, 12, 30, 8, 30, 15, 0}));
  r.SetText(row, 18, "{8AC68D3D-8A09-4403-8860-D0E494BBE894}");
  r.SetText(row, 19, "ab   ");
  r.SetText(row, 20, "ansi");
  r.SetText(row, 21, std::string(100000, 'm'));
  r.SetText(row, 22, "ü    ");
  r.SetText(row, 23, "text");
  r.SetText(row, 24, "long text");
  const std::vector<uint8_t> four{0, 1, 0xFE, 0xFF};
  r.SetBytes(row, 25, four);
  std::vector<uint8_t> many(300);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i * 7);
  r.SetBytes(row, 26, many);
  r.SetBytes(row, 27, std::vector<uint8_t>(100000, 0xAB));
  const size_t nulls = r.AppendRecord();
  for (size_t f = 0; f < data.fields.size(); ++f) r.SetNull(nulls, f);

  RecordsetData back = ReadRecordsetXml(RecordsetDataXmlToString(data));
  EXPECT_EQ(back.fields, data.fields);
  EXPECT_EQ(back.properties, data.properties);
  ASSERT_EQ(back.records.RecordCount(), 2u);
  for (size_t f = 0; f < data.fields.size(); ++f) {
    EXPECT_EQ(back.records.Get(row, f), r.Get(row, f)) << data.fields[f].name;
    EXPECT_TRUE(back.records.Get(nulls, f).IsNull()) << data.fields[f].name;
  }
}

// Text survives as it is: markup characters, white space that XML would normalise,
// non-ASCII, leading and trailing spaces; '' stays distinct from null.
TEST(XmlRoundTrip, TextWithMarkupWhitespaceAndNonAsciiSurvives) {
  const std::vector<std::string> texts = {
      "' \" & < > ]]>", "tab\there", "line\nbreak",        "cr\r\nlf", "  padded  ",
      "Soße €",         "中文",      "emoji 😀👍🏽", "",         "&amp; is not decoded twice",
      "\xC2\xA0nbsp"};
  RecordsetData data = MakeData(
      {MakeField("value", adLongVarWChar, -1, adFldIsNullable), MakeField("n", adInteger, 4, 0)});
  for (size_t i = 0; i < texts.size(); ++i) {
    size_t row = data.records.AppendRecord();
    data.records.SetText(row, 0, texts[i]);
    data.records.SetInteger(row, 1, VarType::kI4, static_cast<int64_t>(i));
  }
  size_t null_row = data.records.AppendRecord();
  data.records.SetNull(null_row, 0);
  data.records.SetInteger(null_row, 1, VarType::kI4, -1);

  RecordsetData back = ReadRecordsetXml(RecordsetDataXmlToString(data));
  ASSERT_EQ(back.records.RecordCount(), texts.size() + 1);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(back.records.TypeAt(i, 0), VarType::kString) << i;
    EXPECT_EQ(back.records.TextAt(i, 0), texts[i]) << i;
  }
  EXPECT_EQ(back.records.TypeAt(null_row, 0), VarType::kNull);
}

TEST(XmlRoundTrip, PendingChangesSurviveWritingAndReading) {
  RecordsetData data = MakeData({MakeField("ID", adInteger, 4, adFldFixed, 10),
                                 MakeField("Name", adVarWChar, 20, adFldIsNullable)});
  RecordStore& r = data.records;
  auto add = [&](int32_t status, int id, const char* name) {
    size_t row = r.AppendRecord(status);
    r.SetInteger(row, 0, VarType::kI4, id);
    r.SetText(row, 1, name);
    return row;
  };
  add(adRecUnmodified, 1, "same");
  size_t changed = add(adRecModified, 2, "before");
  r.KeepOriginal(changed);
  r.SetText(changed, 1, "after");
  size_t to_null = add(adRecModified, 3, "had a name");
  r.KeepOriginal(to_null);
  r.SetNull(to_null, 1);
  add(adRecNew, 4, "new");
  add(adRecDeleted, 5, "deleted");

  const std::string text = RecordsetDataXmlToString(data);
  RecordsetData back = ReadRecordsetXml(text);
  ASSERT_EQ(back.records.RecordCount(), 5u);
  EXPECT_EQ(back.records.Status(0), adRecUnmodified);
  EXPECT_EQ(back.records.Status(1), adRecModified);
  EXPECT_EQ(back.records.TextAt(1, 1), "after");
  EXPECT_EQ(back.records.Original(1)[1], Variant("before"));
  EXPECT_EQ(back.records.TypeAt(2, 1), VarType::kNull);
  EXPECT_EQ(back.records.Original(2)[1], Variant("had a name"));
  EXPECT_EQ(back.records.Status(3), adRecNew);
  EXPECT_EQ(back.records.Status(4), adRecDeleted);
  EXPECT_EQ(back.records.IntAt(4, 0), 5);
  // Read back, the records are in block order, which writes the same text again.
  EXPECT_EQ(RecordsetDataXmlToString(back), text);
}

}  // namespace
}  // namespace ado
