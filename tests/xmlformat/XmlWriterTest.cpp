#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "XmlTestSupport.h"
#include "ado/RecordsetXml.h"
#include "core/Error.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlValueText.h"

namespace ado {
namespace {

using xml_test::MakeData;
using xml_test::MakeField;

constexpr int32_t kNullable = adFldIsNullable | adFldMayBeNull | adFldUnknownUpdatable;

[[maybe_unused]] Date MakeDate(int year, int month, int day, int hour = 0, int minute = 0,
                               int second = 0, int32_t nanosecond = 0) {
  Date::Parts parts;
  parts.year = year;
  parts.month = month;
  parts.day = day;
  parts.hour = hour;
  parts.minute = minute;
  parts.second = second;
  parts.nanosecond = nanosecond;
  return Date::FromParts(parts);
}

TEST(XmlWriter, WritesNumberTypesInAdoLayout) {
  RecordsetData data = MakeData({
      MakeField("tiny", adTinyInt, 1, kNullable),
      MakeField("small", adSmallInt, 2, kNullable),
      MakeField("whole", adInteger, 4, adFldUnknownUpdatable | adFldKeyColumn, 10),
      MakeField("big", adBigInt, 8, kNullable),
      MakeField("ubyte", adUnsignedTinyInt, 1, kNullable),
      MakeField("ushort", adUnsignedSmallInt, 2, kNullable),
      MakeField("uint", adUnsignedInt, 4, kNullable),
      MakeField("ubig", adUnsignedBigInt, 8, kNullable),
      MakeField("single", adSingle, 4, kNullable),
      MakeField("dbl", adDouble, 8, kNullable, 15),
      MakeField("money", adCurrency, 8, kNullable, 19),
      MakeField("num", adNumeric, 19, kNullable, 10, 2),
      MakeField("dec", adDecimal, 16, kNullable, 38, 10),
      MakeField("varnum", adVarNumeric, 38, kNullable, 38, 0),
      MakeField("flag", adBoolean, 2, adFldUnknownUpdatable),
  });
  data.fields[2].base_table = "Numbers";
  data.fields[2].base_column = "Whole";
  data.fields[2].autoincrement = true;
  RecordStore& r = data.records;
  size_t row = r.AppendRecord();
  r.SetInteger(row, 0, VarType::kI1, -128);
  r.SetInteger(row, 1, VarType::kI2, -32768);
  r.SetInteger(row, 2, VarType::kI4, 2147483647);
  r.SetInteger(row, 3, VarType::kI8, std::numeric_limits<int64_t>::min());
  r.SetInteger(row, 4, VarType::kUI1, 255);
  r.SetInteger(row, 5, VarType::kUI2, 65535);
  r.SetInteger(row, 6, VarType::kUI4, 4294967295);
  r.SetUnsigned(row, 7, std::numeric_limits<uint64_t>::max());
  r.SetDouble(row, 8, VarType::kR4, 0.1f);
  r.SetDouble(row, 9, VarType::kR8, 1e20);
  r.SetCurrency(row, 10, Currency{26352300});
  r.SetDecimal(row, 11, Decimal(500, 2));
  r.SetDecimal(row, 12, *Decimal::Parse("1234567890123456789012345678.0123456789"));
  r.SetDecimal(row, 13, Decimal(-5, 1));
  r.SetBool(row, 14, true);
  row = r.AppendRecord();
  for (size_t f = 0; f < 14; ++f) r.SetNull(row, f);
  r.SetBool(row, 14, false);

  const std::string expected = xml_test::Golden("number-types.xml");
  EXPECT_EQ(RecordsetDataXmlToString(data), expected);
}

TEST(XmlWriter, WritesDateTextAndBinaryTypesInAdoLayout) {
  RecordsetData data = MakeData({
      MakeField("vdate", adDate, 8, kNullable),
      // NOT NULL timestamp: its datatype line wraps before rs:maybenull.
      MakeField("stamp", adDBTimeStamp, 16, adFldUnknownUpdatable, 23, 3),
      MakeField("day", adDBDate, 6, kNullable),
      MakeField("clock", adDBTime, 6, kNullable),
      MakeField("ftime", adFileTime, 8, kNullable),
      MakeField("id", adGUID, 16, kNullable),
      MakeField("code", adChar, 10, kNullable),
      MakeField("ansi", adVarChar, 50, kNullable),
      MakeField("memo", adLongVarChar, 2147483647, kNullable | adFldLong),
      MakeField("wcode", adWChar, 10, kNullable),
      MakeField("wide", adVarWChar, 50, kNullable),
      MakeField("wmemo", adLongVarWChar, -1, kNullable | adFldLong),
      MakeField("bin", adBinary, 2, kNullable),
      MakeField("varbin", adVarBinary, 8, kNullable),
      MakeField("blob", adLongVarBinary, 2147483647, kNullable | adFldLong),
  });
  data.properties.updatable = false;
  data.properties.command_timeout = 30;
  RecordStore& r = data.records;
  size_t row = r.AppendRecord();
  r.SetDate(row, 0, MakeDate(1899, 12, 30, 2, 2, 2));
  r.SetDate(row, 1, MakeDate(2024, 1, 31, 23, 59, 59, 123000000));
  r.SetDate(row, 2, MakeDate(2024, 2, 29));
  r.SetDate(row, 3, MakeDate(1899, 12, 30, 13, 45, 0));
  r.SetDate(row, 4, MakeDate(2001, 9, 1));
  r.SetText(row, 5, "8ac68d3d-8a09-4403-8860-d0e494bbe894");
  r.SetText(row, 6, "123   ");
  r.SetText(row, 7, "");
  r.SetText(row, 8, "O'Leary & \"Sons\" <Ltd>");
  r.SetText(row, 9, "Soße");
  r.SetText(row, 10, "a\tb\nc\rd");
  r.SetText(row, 11, "€ 😀");
  const uint8_t bin[] = {0x00, 0xFF};
  r.SetBytes(row, 12, bin);
  const uint8_t varbin[] = {0x1E, 0xAB, 0xCD};
  r.SetBytes(row, 13, varbin);
  r.SetBytes(row, 14, {});
  row = r.AppendRecord();
  for (size_t f = 0; f < 15; ++f) r.SetNull(row, f);
  r.SetDate(row, 1, MakeDate(2000, 1, 1, 0, 0, 0, 500000000));

  const std::string expected = xml_test::Golden("date-text-binary-types.xml");
  EXPECT_EQ(RecordsetDataXmlToString(data), expected);
}

// The row layout of a long binary value: the threshold is checked before every byte, and
// a value line continues after two TABs without the space. "<z:row AH_Typ='0'
// AuftragID='' BGForm='" is 39 characters, so 34 bytes fit on the first line (68 digits,
// the break seen in real output), 53 on each further line.
TEST(XmlWriter, SplitsLongBinaryValuesBetweenBytes) {
  RecordsetData data = MakeData({
      MakeField("AH_Typ", adInteger, 4, kNullable),
      MakeField("AuftragID", adVarWChar, 255, kNullable),
      MakeField("BGForm", adLongVarBinary, 1073741823, kNullable | adFldLong),
      MakeField("Exectime", adDouble, 8, kNullable),
  });
  RecordStore& r = data.records;
  size_t row = r.AppendRecord();
  r.SetInteger(row, 0, VarType::kI4, 0);
  r.SetText(row, 1, "");
  std::vector<uint8_t> blob(200);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i);
  r.SetBytes(row, 2, blob);
  r.SetDouble(row, 3, VarType::kR8, 0);

  const std::string text = RecordsetDataXmlToString(data);
  const std::string rows = text.substr(text.find("<rs:data>\n") + 10);
  EXPECT_EQ(rows,
            "\t<z:row AH_Typ='0' AuftragID='' "
            "BGForm='000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021\n"
            "\t\t22232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f404142434445464748494a"
            "4b4c4d4e4f50515253545556\n"
            "\t\t5758595a5b5c5d5e5f606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
            "808182838485868788898a8b\n"
            "\t\t8c8d8e8f909192939495969798999a9b9c9d9e9fa0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4"
            "b5b6b7b8b9babbbcbdbebfc0\n"
            "\t\tc1c2c3c4c5c6c7' Exectime='0'/>\n"
            "</rs:data>\n"
            "</xml>");
}

TEST(XmlWriter, FormatsNumbersAndDatesAsVbPrintsThem) {
  struct DoubleCase {
    double value;
    const char* text;
  };
  const DoubleCase doubles[] = {
      {0.1, "0.1"},
      {-0.0, "-0"},  // keeps its sign, so that it reads back the same
      {1.0 / 3, "0.3333333333333333"},
      {1e-5, "1E-05"},
      {1.5e-7, "1.5E-07"},
      {0.000123, "0.000123"},
      {1e20, "1E+20"},
      {1e14, "100000000000000"},
      {1e15, "1E+15"},
      {-2.5, "-2.5"},
      {123456789012345678.0, "1.2345678901234568E+17"},
      {5e-324, "5E-324"},
      {std::numeric_limits<double>::infinity(), "INF"},
  };
  char text[xml::kValueBufferSize];
  for (const DoubleCase& c : doubles) {
    EXPECT_EQ(std::string(text, xml::FormatDouble(c.value, text)), c.text) << c.text;
    // Every text reads back to the same double.
    if (std::isfinite(c.value)) {
      EXPECT_EQ(*xml::ParseDouble(c.text), c.value) << c.text;
    }
  }
  EXPECT_EQ(std::string(text, xml::FormatSingle(0.1f, text)), "0.1");
  EXPECT_EQ(std::string(text, xml::FormatSingle(16777216.0f, text)), "16777216");
  EXPECT_EQ(std::string(text, xml::FormatSingle(3.4028235e38f, text)), "3.4028235E+38");

  EXPECT_EQ(std::string(text, xml::FormatCurrency(180000, text)), "18");
  EXPECT_EQ(std::string(text, xml::FormatCurrency(8955560, text)), "895.556");
  EXPECT_EQ(std::string(text, xml::FormatCurrency(-1, text)), "-0.0001");
  EXPECT_EQ(std::string(text, xml::FormatCurrency(std::numeric_limits<int64_t>::min(), text)),
            "-922337203685477.5808");
  for (const char* decimal :
       {"0", "-0.5", "12.12", "100", "0.00000000000000000000000000000000000001",
        "-99999999999999999999999999999999999999"}) {
    Decimal value = *Decimal::Parse(decimal);
    EXPECT_EQ(std::string(text, xml::FormatDecimal(value.coefficient(), value.scale(), text)),
              value.ToString());
  }

  Date::Parts parts = MakeDate(2002, 2, 2, 2, 2, 2, 10000000).ToParts();
  EXPECT_EQ(std::string(text, xml::FormatDateParts(parts, xml::ValueKind::kDateTime, text)),
            "2002-02-02T02:02:02.01");
  EXPECT_EQ(std::string(text, xml::FormatDateParts(parts, xml::ValueKind::kDate, text)),
            "2002-02-02");
  EXPECT_EQ(std::string(text, xml::FormatDateParts(parts, xml::ValueKind::kTime, text)),
            "02:02:02");
  parts.nanosecond = 123456789;
  EXPECT_EQ(std::string(text, xml::FormatDateParts(parts, xml::ValueKind::kDateTime, text)),
            "2002-02-02T02:02:02.123456789");
}

TEST(XmlWriter, AliasesNamesThatAreNotPlainIdentifiers) {
  RecordsetData data = MakeData({
      MakeField("Order Date", adVarWChar, 10, kNullable),  // space
      MakeField("2nd", adVarWChar, 10, kNullable),         // leading digit
      MakeField("a-b", adVarWChar, 10, kNullable),
      MakeField("x.y", adVarWChar, 10, kNullable),
      MakeField("Città", adVarWChar, 10, kNullable),  // non-ASCII letter
      MakeField("ID", adVarWChar, 10, kNullable),
      MakeField("id", adVarWChar, 10, kNullable),  // repeat, ignoring case
      MakeField("c0", adVarWChar, 10, kNullable),  // a real name equal to an alias
      MakeField("xmlns", adVarWChar, 10, kNullable),
  });
  size_t row = data.records.AppendRecord();
  for (size_t f = 0; f < data.fields.size(); ++f) {
    data.records.SetText(row, f, "v" + std::to_string(f));
  }
  const std::string text = RecordsetDataXmlToString(data);
  EXPECT_NE(text.find("<s:AttributeType name='c0_1' rs:name='Order Date' rs:number='1'"),
            std::string::npos);
  EXPECT_NE(text.find("name='c1' rs:name='2nd'"), std::string::npos);
  EXPECT_NE(text.find("name='c2' rs:name='a-b'"), std::string::npos);
  EXPECT_NE(text.find("name='c3' rs:name='x.y'"), std::string::npos);
  EXPECT_NE(text.find("name='c4' rs:name='Città'"), std::string::npos);
  EXPECT_NE(text.find("name='ID' rs:number='6'"), std::string::npos);
  EXPECT_NE(text.find("name='c6' rs:name='id'"), std::string::npos);
  EXPECT_NE(text.find("name='c0' rs:number='8'"), std::string::npos);
  EXPECT_NE(text.find("name='c8' rs:name='xmlns'"), std::string::npos);
  EXPECT_NE(
      text.find(
          "<z:row c0_1='v0' c1='v1' c2='v2' c3='v3' c4='v4' ID='v5' c6='v6' c0='v7' c8='v8'/>"),
      std::string::npos)
      << text;

  RecordsetData back = ReadRecordsetXml(text);
  ASSERT_EQ(back.fields.size(), data.fields.size());
  for (size_t f = 0; f < data.fields.size(); ++f) {
    EXPECT_EQ(back.fields[f].name, data.fields[f].name);
    EXPECT_EQ(back.records.TextAt(0, f), "v" + std::to_string(f));
  }
}

// Control characters and broken UTF-8 cannot be carried by XML 1.0: they become U+FFFD
// and the row is kept.
TEST(XmlWriter, ReplacesCharactersXmlCannotCarry) {
  RecordsetData data = MakeData(
      {MakeField("t", adVarWChar, 50, kNullable), MakeField("n", adInteger, 4, kNullable)});
  const std::string inputs[] = {
      std::string("a\x01z", 3),
      std::string("nul\0end", 7),
      "bell\x07\x0B\x0C\x1F",
      "bad\xC3(utf8",
      "lone\xED\xA0\x80surrogate",
      "over\xF5\x80\x80\x80long",
      "trunc\xE2\x82",
      "non\xEF\xBF\xBE"
      "char",
      "ok\tline\r\nend",
  };
  const std::string expected[] = {
      "a\uFFFDz",
      "nul\uFFFDend",
      "bell\uFFFD\uFFFD\uFFFD\uFFFD",
      "bad\uFFFD(utf8",
      "lone\uFFFD\uFFFD\uFFFDsurrogate",
      "over\uFFFD\uFFFD\uFFFD\uFFFDlong",
      "trunc\uFFFD\uFFFD",
      "non\uFFFDchar",
      "ok\tline\r\nend",
  };
  for (size_t i = 0; i < std::size(inputs); ++i) {
    size_t row = data.records.AppendRecord();
    data.records.SetText(row, 0, inputs[i]);
    data.records.SetInteger(row, 1, VarType::kI4, static_cast<int64_t>(i));
  }
  const std::string text = RecordsetDataXmlToString(data);
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u >= 0x20 || c == '\t' || c == '\n') << "raw control byte " << int{u};
  }
  RecordsetData back = ReadRecordsetXml(text);
  ASSERT_EQ(back.records.RecordCount(), std::size(inputs));
  for (size_t i = 0; i < std::size(inputs); ++i) {
    EXPECT_EQ(back.records.TextAt(i, 0), expected[i]) << i;
    EXPECT_EQ(back.records.IntAt(i, 1), static_cast<int64_t>(i));
  }
}

TEST(XmlWriter, WritesPendingChangesAsBlocks) {
  RecordsetData data = MakeData({MakeField("ID", adInteger, 4, adFldUnknownUpdatable, 10),
                                 MakeField("Name", adVarWChar, 20, kNullable),
                                 MakeField("Note", adVarWChar, 20, kNullable)});
  RecordStore& r = data.records;
  auto add = [&](int32_t status, int id, const char* name, const char* note) {
    size_t row = r.AppendRecord(status);
    r.SetInteger(row, 0, VarType::kI4, id);
    r.SetText(row, 1, name);
    if (note) {
      r.SetText(row, 2, note);
    } else {
      r.SetNull(row, 2);
    }
    return row;
  };
  add(adRecUnmodified, 1, "plain", nullptr);
  size_t changed = add(adRecModified, 2, "Chai", "old note");
  r.KeepOriginal(changed);
  r.SetText(changed, 1, "Test");
  r.SetNull(changed, 2);
  add(adRecNew, 3, "new one", "n");
  add(adRecUnmodified, 4, "plain too", "");
  size_t deleted = add(adRecDeleted, 5, "gone", nullptr);
  r.KeepOriginal(deleted);
  r.SetText(deleted, 1, "edited before delete");
  add(adRecNew | adRecDeleted, 6, "added and dropped", nullptr);
  add(adRecNew, 7, "new two", nullptr);

  const std::string text = RecordsetDataXmlToString(data);
  EXPECT_EQ(text.substr(text.find("<rs:data>")),
            "<rs:data>\n"
            "\t<z:row ID='1' Name='plain'/>\n"
            "\t<z:row ID='4' Name='plain too' Note=''/>\n"
            "\t<rs:update>\n"
            "\t\t<rs:original>\n"
            "\t\t\t<z:row ID='2' Name='Chai' Note='old note'/>\n"
            "\t\t</rs:original>\n"
            "\t\t<z:row Name='Test' rs:forcenull='Note'/>\n"
            "\t</rs:update>\n"
            "\t<rs:insert>\n"
            "\t\t<z:row ID='3' Name='new one' Note='n'/>\n"
            "\t\t<z:row ID='7' Name='new two'/>\n"
            "\t</rs:insert>\n"
            "\t<rs:delete>\n"
            "\t\t<z:row ID='5' Name='gone'/>\n"
            "\t</rs:delete>\n"
            "</rs:data>\n"
            "</xml>");
}

TEST(XmlWriter, WritesFileAndReplacesLongerContent) {
  qv::test::TestFolder folder;
  const std::string path = folder.File("out.xml");
  RecordsetData data = MakeData({MakeField("n", adInteger, 4, kNullable)});
  for (int i = 0; i < 1000; ++i) {
    data.records.SetInteger(data.records.AppendRecord(), 0, VarType::kI4, i);
  }
  {
    Recordset recordset;
    recordset.OpenWith(std::move(data));
    WriteRecordsetXmlFile(recordset, path);
    EXPECT_EQ(xml_test::ReadBytes(path), RecordsetXmlToString(recordset));
  }
  RecordsetData empty = MakeData({MakeField("n", adInteger, 4, kNullable)});
  Recordset small;
  small.OpenWith(std::move(empty));
  WriteRecordsetXmlFile(small, path);
  const std::string written = xml_test::ReadBytes(path);
  EXPECT_EQ(written, RecordsetXmlToString(small));
  EXPECT_TRUE(written.ends_with("<rs:data>\n</rs:data>\n</xml>"));
}

TEST(XmlWriter, ReportsPathAndReasonWhenFileCannotBeWritten) {
  qv::test::TestFolder folder;
  const std::string path = folder.File("missing/out.xml");
  Recordset recordset;
  recordset.OpenWith(MakeData({MakeField("n", adInteger, 4, kNullable)}));
  try {
    WriteRecordsetXmlFile(recordset, path);
    FAIL() << "no error";
  } catch (const core::Error& error) {
    EXPECT_EQ(error.number(), core::kErrPathNotFound);
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("No such file or directory"), std::string::npos);
  }
}

// A sink that fails part way: the error reaches the caller.
TEST(XmlWriter, PassesSinkFailuresOn) {
  struct FailingSink : OutputSink {
    void Write(std::string_view) override {
      throw core::Error(core::kErrPermissionDenied, "sink", "disk gone");
    }
  } sink;
  RecordsetData data = MakeData({MakeField("n", adInteger, 4, kNullable)});
  EXPECT_THROW(WriteRecordsetDataXml(data, sink), core::Error);
}

}  // namespace
}  // namespace ado
