#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "XmlTestSupport.h"
#include "core/Error.h"
#include "support/TestFolder.h"
#include "xmlformat/XmlReader.h"

namespace ado {
namespace {

using xml_test::Sample;
using xml_test::WrapFragment;

Date::Parts PartsAt(const RecordStore& records, size_t record, size_t field) {
  EXPECT_EQ(records.TypeAt(record, field), VarType::kDate);
  return Date{records.DoubleAt(record, field)}.ToParts();
}

void ExpectField(const FieldDef& field, const char* name, int32_t type, int64_t size,
                 int32_t attributes) {
  EXPECT_EQ(field.name, name);
  EXPECT_EQ(field.type, type) << name;
  EXPECT_EQ(field.defined_size, size) << name;
  EXPECT_EQ(field.attributes, attributes) << name;
}

// Re-serialized by MSXML: double quotes, CRLF, its own indentation, no rs:updatable.
TEST(XmlReader, ReadsJetFileReserializedByMsxml) {
  RecordsetData data = ReadRecordsetXml(Sample("01-jet-debtors-dom-reserialized.xml"));
  ASSERT_EQ(data.fields.size(), 6u);
  ExpectField(data.fields[0], "DebtorKey", adInteger, 4,
              adFldMayDefer | adFldFixed | adFldMayBeNull);
  EXPECT_EQ(data.fields[0].precision, 10);
  ExpectField(data.fields[1], "DebtorCode", adVarChar, 50,
              adFldIsNullable | adFldMayDefer | adFldUnknownUpdatable | adFldMayBeNull);
  ExpectField(
      data.fields[3], "DebtorDate", adDate, 16,
      adFldIsNullable | adFldMayDefer | adFldUnknownUpdatable | adFldFixed | adFldMayBeNull);
  ExpectField(
      data.fields[4], "DebtorAmount", adCurrency, 8,
      adFldIsNullable | adFldMayDefer | adFldUnknownUpdatable | adFldFixed | adFldMayBeNull);
  EXPECT_FALSE(data.properties.updatable);

  const RecordStore& r = data.records;
  ASSERT_EQ(r.RecordCount(), 9u);
  EXPECT_EQ(r.IntAt(8, 0), 10);  // keys are not contiguous
  EXPECT_EQ(r.TextAt(6, 1), "Azhan ?");
  EXPECT_EQ(r.TypeAt(4, 4), VarType::kCurrency);
  EXPECT_EQ(r.IntAt(3, 4), 26352300);  // 2635.23
  EXPECT_EQ(r.IntAt(4, 4), 8955560);   // 895.556
  Date::Parts parts = PartsAt(r, 8, 3);
  EXPECT_EQ(std::tie(parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second),
            std::make_tuple(2002, 2, 2, 2, 2, 2));
  EXPECT_EQ(r.Status(0), adRecUnmodified);
}

TEST(XmlReader, ReadsJetFilesWithKeysNullsAndEmptyData) {
  RecordsetData tags = ReadRecordsetXmlFile(xml_test::SamplePath("F02-jet40-winmss-TAG.xml"));
  EXPECT_TRUE(tags.properties.updatable);
  ExpectField(tags.fields[0], "TagId", adInteger, 4,
              adFldMayDefer | adFldUnknownUpdatable | adFldKeyColumn | adFldFixed | adFldMayBeNull);
  EXPECT_TRUE(tags.fields[0].autoincrement);
  EXPECT_EQ(tags.fields[0].base_table, "tblTag");
  ExpectField(tags.fields[1], "Tag", adVarWChar, 3,
              adFldIsNullable | adFldMayDefer | adFldUnknownUpdatable | adFldMayBeNull);
  ASSERT_EQ(tags.records.RecordCount(), 3u);
  EXPECT_EQ(tags.records.IntAt(2, 0), 3);
  EXPECT_EQ(tags.records.TextAt(2, 1), "PSH");

  // One row with 2 of 15 attributes: the others are null, not empty.
  RecordsetData clubs = ReadRecordsetXml(Sample("F04-jet40-winmss-CLUB-nulls.xml"));
  ASSERT_EQ(clubs.fields.size(), 15u);
  EXPECT_EQ(clubs.fields[0].base_table, "tblMatch");
  EXPECT_EQ(clubs.fields[1].base_table, "tblClub");
  EXPECT_EQ(clubs.fields[11].name, "PhoneAlt");
  EXPECT_EQ(clubs.fields[11].base_column, "PhoneAlternate");
  EXPECT_TRUE(clubs.fields[2].attributes & adFldKeyColumn);
  ASSERT_EQ(clubs.records.RecordCount(), 1u);
  EXPECT_EQ(clubs.records.TypeAt(0, 0), VarType::kI2);
  EXPECT_EQ(clubs.records.IntAt(0, 0), 1);
  EXPECT_EQ(clubs.records.TextAt(0, 2), "EXTREME SQUAD");
  for (size_t f : {1u, 3u, 14u}) EXPECT_EQ(clubs.records.TypeAt(0, f), VarType::kNull) << f;

  RecordsetData scores = ReadRecordsetXml(Sample("F05-jet40-winmss-SCORE-empty.xml"));
  EXPECT_EQ(scores.records.RecordCount(), 0u);
  ASSERT_EQ(scores.fields.size(), 22u);
  EXPECT_EQ(scores.fields[1].type, adUnsignedTinyInt);
  EXPECT_EQ(scores.fields[10].type, adSingle);
  EXPECT_EQ(scores.fields[10].precision, 7);
  ExpectField(scores.fields[11], "Remove", adBoolean, 2,
              adFldMayDefer | adFldUnknownUpdatable | adFldFixed | adFldMayBeNull);
  EXPECT_EQ(scores.fields[20].type, adDate);
  EXPECT_EQ(ReadRecordsetXml(Sample("F03-jet40-winmss-CLASSIFY-empty.xml")).fields.size(), 5u);
}

TEST(XmlReader, OrdersFieldsByNumberNotDocumentOrder) {
  RecordsetData data = ReadRecordsetXml(Sample("F07-jet-steel-schema-excerpt.frag.xml"));
  std::vector<std::string> names;
  for (const FieldDef& field : data.fields) names.push_back(field.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Dateiname", "Typ_", "ID", "AH_Typ", "BGForm",
                                             "Changed", "AuftragID", "Exectime"}));
  ExpectField(data.fields[4], "BGForm", adLongVarBinary, 1073741823,
              adFldIsNullable | adFldMayDefer | adFldUpdatable | adFldLong | adFldMayBeNull);
  EXPECT_EQ(data.fields[7].type, adDouble);
  EXPECT_EQ(data.fields[7].precision, 15);
  EXPECT_TRUE(data.fields[2].autoincrement);
  EXPECT_EQ(data.fields[0].base_table, "Matten");
}

TEST(XmlReader, ReadsSqlServerSchemaWithCatalogAndTimestamps) {
  RecordsetData data = ReadRecordsetXml(
      WrapFragment(Sample("F06-sqloledb-refworks-schema-excerpt.frag.xml") + "<rs:data/>"));
  EXPECT_EQ(data.properties.command_timeout, 30);
  EXPECT_TRUE(data.properties.updatable);
  ASSERT_EQ(data.fields.size(), 9u);
  ExpectField(data.fields[0], "UserID", adInteger, 4,
              adFldUnknownUpdatable | adFldKeyColumn | adFldFixed);  // rs:maybenull='false'
  EXPECT_EQ(data.fields[0].base_catalog, "refworks");
  EXPECT_EQ(data.fields[2].type, adDBTimeStamp);
  EXPECT_EQ(data.fields[2].precision, 23);
  EXPECT_EQ(data.fields[2].numeric_scale, 3);
  EXPECT_EQ(data.fields[4].type, adWChar);
  EXPECT_EQ(data.fields[4].defined_size, 10);
  ExpectField(data.fields[6], "Abstract", adLongVarWChar, 1073741823,
              adFldIsNullable | adFldMayDefer | adFldUnknownUpdatable | adFldLong | adFldMayBeNull);
  EXPECT_EQ(data.fields[8].base_column, "Overflow");
  EXPECT_EQ(data.records.RecordCount(), 0u);
}

constexpr const char* kProductsSchema = R"(<s:Schema id='RowsetSchema'>
<s:ElementType name='row' content='eltOnly' rs:updatable='true'>
<s:AttributeType name='ProductID' rs:number='1'><s:datatype dt:type='int'/></s:AttributeType>
<s:AttributeType name='ProductName' rs:number='2'><s:datatype dt:type='string'/></s:AttributeType>
<s:AttributeType name='SupplierID' rs:number='3'><s:datatype dt:type='int'/></s:AttributeType>
<s:AttributeType name='CategoryID' rs:number='4'><s:datatype dt:type='int'/></s:AttributeType>
<s:AttributeType name='QuantityPerUnit' rs:number='5'><s:datatype dt:type='string'/></s:AttributeType>
<s:AttributeType name='UnitPrice' rs:number='6'><s:datatype dt:type='number' rs:dbtype='currency'/></s:AttributeType>
<s:AttributeType name='UnitsInStock' rs:number='7'><s:datatype dt:type='i2'/></s:AttributeType>
<s:AttributeType name='UnitsOnOrder' rs:number='8'><s:datatype dt:type='i2'/></s:AttributeType>
<s:AttributeType name='ReorderLevel' rs:number='9'><s:datatype dt:type='i2'/></s:AttributeType>
<s:AttributeType name='Discontinued' rs:number='10'><s:datatype dt:type='boolean'/></s:AttributeType>
<s:extends type='rs:rowbase'/></s:ElementType></s:Schema>
)";

// The changed row carries only ProductName; the update is matched to its original by
// position, never by key.
TEST(XmlReader, AppliesPendingUpdateAndDeleteFromSqlServerOutput) {
  RecordsetData data = ReadRecordsetXml(
      WrapFragment(std::string(kProductsSchema) + "<rs:data>" +
                   Sample("F08-sqloledb-northwind-pending-update-delete.frag.xml") + "</rs:data>"));
  const RecordStore& r = data.records;
  ASSERT_EQ(r.RecordCount(), 2u);
  EXPECT_EQ(r.Status(0), adRecModified);
  EXPECT_EQ(r.IntAt(0, 0), 1);
  EXPECT_EQ(r.TextAt(0, 1), "Test");
  EXPECT_EQ(r.IntAt(0, 5), 180000);  // UnitPrice 18
  EXPECT_EQ(r.IntAt(0, 9), 0);       // Discontinued False
  ASSERT_TRUE(r.HasOriginal(0));
  EXPECT_EQ(r.Original(0)[1], Variant("Chai"));
  EXPECT_EQ(r.Original(0)[0], r.Get(0, 0));
  EXPECT_EQ(r.Status(1), adRecDeleted);
  EXPECT_EQ(r.IntAt(1, 0), 77);
  EXPECT_EQ(r.TextAt(1, 4), "12 boxes");
}

TEST(XmlReader, AppliesInsertUpdateDeleteBlocksWithForceNull) {
  RecordsetData data = ReadRecordsetXml(WrapFragment(R"(
<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly' rs:updatable='true'>
<s:AttributeType name='ID' rs:number='1'><s:datatype dt:type='int'/></s:AttributeType>
<s:AttributeType name='Name' rs:number='2'/>
<s:AttributeType name='Note' rs:number='3'/>
</s:ElementType></s:Schema>
<rs:data>
 <z:row ID='1' Name='a'/>
 <rs:update>
  <rs:original><z:row ID='2' Name='b' Note='n'/><z:row ID='3' Name='c'/></rs:original>
  <z:row Note='changed' rs:forcenull='Name'/>
  <z:row ID='30'/>
 </rs:update>
 <rs:insert><z:row ID='4'/><z:row ID='5' Name=''/></rs:insert>
 <rs:delete><z:row ID='6' Name='e'/></rs:delete>
</rs:data>)"));
  const RecordStore& r = data.records;
  ASSERT_EQ(r.RecordCount(), 6u);
  const int32_t statuses[] = {adRecUnmodified, adRecModified, adRecModified,
                              adRecNew,        adRecNew,      adRecDeleted};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(r.Status(i), statuses[i]) << i;
  EXPECT_EQ(r.TypeAt(1, 1), VarType::kNull);
  EXPECT_EQ(r.TextAt(1, 2), "changed");
  EXPECT_EQ(r.Original(1)[1], Variant("b"));
  EXPECT_EQ(r.IntAt(2, 0), 30);
  EXPECT_EQ(r.TextAt(2, 1), "c");
  EXPECT_EQ(r.TypeAt(3, 1), VarType::kNull);
  EXPECT_EQ(r.TextAt(4, 1), "");
  EXPECT_EQ(r.IntAt(5, 0), 6);
}

// What other writers produce: other prefixes, double quotes, CRLF, a BOM and a
// declaration, dt:type on the AttributeType, a global AttributeType, no rs:number,
// synonyms, lenient values, nested and unknown constructs.
TEST(XmlReader, ToleratesOtherWritersSpellings) {
  const std::string text =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
      "<root xmlns:sch=\"uuid:bdc6e3f0-6da3-11d1-a2a3-00aa00c14882\" "
      "xmlns:d=\"uuid:C2F41010-65B3-11d1-A29F-00AA00C14882\" "
      "xmlns:r=\"urn:schemas-microsoft-com:rowset\" xmlns:row=\"#RowsetSchema\">\r\n"
      "<sch:Schema id=\"RowsetSchema\">\r\n"
      " <sch:AttributeType name=\"g\" r:name=\"Global Field\" d:type=\"i4\"/>\r\n"
      " <sch:ElementType name=\"row\" content=\"eltOnly\" r:updatable=\"1\">\r\n"
      "  <sch:AttributeType name=\"a\" d:type=\"r8\"/>\r\n"
      "  <sch:attribute type=\"g\"/>\r\n"
      "  <sch:AttributeType name=\"b\"><sch:datatype d:type=\"boolean\"/></sch:AttributeType>\r\n"
      "  <sch:AttributeType name=\"c\"><sch:datatype "
      "d:type=\"dateTime.tz\"/></sch:AttributeType>\r\n"
      "  <sch:AttributeType name=\"d\"><sch:datatype d:type=\"bin.hex\"/></sch:AttributeType>\r\n"
      "  <sch:AttributeType name=\"e\"/>\r\n"
      "  <sch:AttributeType name=\"f\"><sch:datatype "
      "d:type=\"bin.base64\"/></sch:AttributeType>\r\n"
      "  <sch:AttributeType name=\"h\" r:hidden=\"true\" d:type=\"ui8\"/>\r\n"
      "  <sch:ElementType name=\"child\"><sch:AttributeType name=\"x\"/></sch:ElementType>\r\n"
      " </sch:ElementType>\r\n"
      "</sch:Schema>\r\n"
      "<r:data>\r\n"
      " <row:row a=\"1.5E+3\" g=\"+42\" b=\"-1\" c=\"2008-01-25T13:04:00.25Z\" d=\" 00 "
      "FF&#x9;0a\r\n"
      "1B \" e=\"x\" f=\"AP8=\" h=\"18446744073709551615\" unknown=\"ignored\">"
      "<child x=\"1\"/><row:row a=\"9\"/></row:row>\r\n"
      " <row:row b=\"TRUE\" c=\"2008-01-25 13:04:00+02:00\"/>\r\n"
      " <row:row b=\"0\" c=\"2008-01-25\"/>\r\n"
      "</r:data>\r\n"
      "</root>";
  RecordsetData data = ReadRecordsetXml(text);
  EXPECT_TRUE(data.properties.updatable);
  ASSERT_EQ(data.fields.size(), 8u);
  EXPECT_EQ(data.fields[0].type, adDouble);
  EXPECT_EQ(data.fields[1].name, "Global Field");
  EXPECT_EQ(data.fields[1].type, adInteger);
  EXPECT_EQ(data.fields[3].type, adDBTimeStamp);
  EXPECT_EQ(data.fields[4].type, adVarBinary);
  EXPECT_EQ(data.fields[5].type, adVarWChar);
  EXPECT_EQ(data.fields[7].type, adUnsignedBigInt);
  EXPECT_TRUE(data.fields[7].hidden);

  const RecordStore& r = data.records;
  ASSERT_EQ(r.RecordCount(), 3u);
  EXPECT_EQ(r.DoubleAt(0, 0), 1500.0);
  EXPECT_EQ(r.IntAt(0, 1), 42);
  EXPECT_EQ(r.IntAt(0, 2), 1);
  Date::Parts parts = PartsAt(r, 0, 3);
  EXPECT_EQ(std::tie(parts.hour, parts.minute, parts.nanosecond),
            std::make_tuple(13, 4, 250000000));
  const std::vector<uint8_t> hex{0x00, 0xFF, 0x0A, 0x1B};
  EXPECT_EQ(std::vector<uint8_t>(r.BytesAt(0, 4).begin(), r.BytesAt(0, 4).end()), hex);
  EXPECT_EQ(r.TextAt(0, 5), "x");
  const std::vector<uint8_t> base64{0x00, 0xFF};
  EXPECT_EQ(std::vector<uint8_t>(r.BytesAt(0, 6).begin(), r.BytesAt(0, 6).end()), base64);
  EXPECT_EQ(r.UIntAt(0, 7), UINT64_MAX);
  EXPECT_EQ(r.IntAt(1, 2), 1);
  EXPECT_EQ(PartsAt(r, 1, 3).hour, 13);  // the zone is read as wall-clock time
  EXPECT_EQ(r.IntAt(2, 2), 0);
  EXPECT_EQ(PartsAt(r, 2, 3).hour, 0);
  EXPECT_EQ(r.TypeAt(2, 0), VarType::kNull);
}

TEST(XmlReader, ReadsEmptyDataElementAndMissingFile) {
  RecordsetData data = ReadRecordsetXml(
      WrapFragment("<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>"
                   "<s:AttributeType name='a'/></s:ElementType></s:Schema><rs:data/>"));
  EXPECT_EQ(data.fields.size(), 1u);
  EXPECT_EQ(data.records.RecordCount(), 0u);
  qv::test::TestFolder folder;
  try {
    ReadRecordsetXmlFile(folder.File("none.xml"));
    FAIL() << "no error";
  } catch (const core::Error& error) {
    EXPECT_EQ(error.number(), core::kErrFileNotFound);
  }
}

// The scan for a few rows by key finds the rows a whole read keeps, whatever the key's
// text holds, and gives up on a file laid out otherwise.
TEST(XmlReader, RowsFoundByAScanAreThoseAWholeReadKeeps) {
  const std::string schema =
      "<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>"
      "<s:AttributeType name='TSID' rs:number='1'><s:datatype dt:type='string'/>"
      "</s:AttributeType><s:AttributeType name='n' rs:number='2'><s:datatype dt:type='int'/>"
      "</s:AttributeType></s:ElementType></s:Schema>";
  const std::string rows =
      "<rs:data>\n<z:row TSID='a' n='1'/>\n<z:row n='2' TSID='b&amp;c'/>\n"
      "<z:row TSID='t&#x9;ab' n='3'/>\n<z:row n='4'/>\n<z:row\tTSID=\"d\" n='5'/>\n"
      "<z:row xTSID='d' n='6'/>\n<z:row TSID='d' n='7'/>\n"
      "<z:row n=\"8\" x=\" TSID='z'\" TSID='b&amp;c'/>\n</rs:data>";
  qv::test::TestFolder folder;
  const std::string path = folder.File("rows.xml");
  const std::set<std::string> wanted = {"b&c", "t\tab", "d"};
  const RowFilter keep = [&](const std::vector<FieldDef>&, std::span<const char* const> values) {
    return values[0] && wanted.contains(values[0]);
  };
  const auto numbers = [](const RecordsetData& data) {
    std::vector<int64_t> found;
    for (size_t r = 0; r < data.records.RecordCount(); ++r)
      found.push_back(data.records.IntAt(r, 1));
    return found;
  };
  std::ofstream(path) << WrapFragment(schema + rows);
  const std::optional<RecordsetData> scanned = ReadRecordsetXmlFileRowsWith(
      path, "tsid", [&](std::string_view text) { return wanted.contains(std::string(text)); },
      keep);
  ASSERT_TRUE(scanned);
  EXPECT_EQ(numbers(*scanned), (std::vector<int64_t>{2, 3, 5, 7, 8}));
  EXPECT_EQ(numbers(*scanned), numbers(ReadRecordsetXmlFile(path, keep)));

  // Other markup among the rows: nothing, the caller reads the file whole.
  for (const std::string& other : {std::string("<!-- x -->"), std::string("<rs:insert/>")}) {
    std::ofstream(path) << WrapFragment(schema + "<rs:data>\n<z:row TSID='a' n='1'/>" + other +
                                        "</rs:data>");
    EXPECT_FALSE(ReadRecordsetXmlFileRowsWith(
        path, "tSID", [](std::string_view) { return true; }, keep))
        << other;
  }
}

void ExpectRefused(const std::string& text, const std::string& reason) {
  try {
    ReadRecordsetXml(text);
    ADD_FAILURE() << "accepted: " << reason;
  } catch (const core::Error& error) {
    EXPECT_EQ(error.number(), core::kErrInvalidPersistedFile);
    EXPECT_NE(std::string(error.what()).find(reason), std::string::npos)
        << "wanted '" << reason << "' in: " << error.what();
  }
}

TEST(XmlReader, RefusesMalformedInputWithOneLineReason) {
  const std::string f02 = Sample("F02-jet40-winmss-TAG.xml");
  const std::string schema = f02.substr(0, f02.find("<rs:data>"));
  ExpectRefused("", "ends early");
  ExpectRefused(f02.substr(0, f02.size() / 2), "ends early");
  ExpectRefused(f02.substr(0, f02.find("TagId='2'") + 5), "ends early");
  ExpectRefused(schema + "<rs:data><z:row TagId='1'></rs:data></xml>",
                "not well-formed XML: mismatched tag (line 18, column 29)");
  ExpectRefused(schema + "<rs:data><z:row Tag='&foo;'/></rs:data></xml>", "undefined entity");
  ExpectRefused("<html><body>hello</body></html>", "no s:Schema");
  ExpectRefused(schema + "</xml>", "no rs:data");
  ExpectRefused(WrapFragment("<rs:data/>"), "before any s:Schema");
  ExpectRefused(WrapFragment("<s:Schema/><rs:data/>"), "no s:ElementType");
  ExpectRefused(WrapFragment("<s:Schema><s:ElementType name='row'><s:attribute type='x'/>"
                             "</s:ElementType></s:Schema><rs:data/>"),
                "undeclared AttributeType 'x'");
  ExpectRefused("<!DOCTYPE xml SYSTEM 'file:///etc/passwd'>" + f02, "DOCTYPE");
  ExpectRefused(
      "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol 'lol'>"
      "<!ENTITY lol1 '&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;'>"
      "<!ENTITY lol2 '&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;'>"
      "<!ENTITY lol3 '&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;'>]>"
      "<lolz>&lol3;</lolz>",
      "DOCTYPE");
  // Values that do not convert name the field and the row.
  ExpectRefused(schema + "<rs:data><z:row TagId='1'/>\n<z:row TagId='abc'/></rs:data></xml>",
                "value 'abc' of field 'TagId' in row 2 is not a valid int");
  ExpectRefused(schema + "<rs:data><z:row TagId='4294967296'/></rs:data></xml>", "'TagId'");
  const std::string clubs = Sample("F04-jet40-winmss-CLUB-nulls.xml");
  ExpectRefused(
      clubs.substr(0, clubs.find("<rs:data>")) + "<rs:data><z:row ClubId='70000'/></rs:data></xml>",
      "not a valid i2");
  const std::string types = WrapFragment(
      "<s:Schema><s:ElementType name='row'>"
      "<s:AttributeType name='d' dt:type='dateTime'/><s:AttributeType name='b' dt:type='bin.hex'/>"
      "<s:AttributeType name='f' dt:type='boolean'/><s:AttributeType name='m' dt:type='number'/>"
      "</s:ElementType></s:Schema><rs:data>ROW</rs:data>");
  for (const char* row :
       {"<z:row d='2001-02-30T00:00:00'/>", "<z:row d='2001-01-01T24:00:00'/>", "<z:row b='abc'/>",
        "<z:row b='0g'/>", "<z:row f='yes'/>", "<z:row m='1.2.3'/>"}) {
    std::string text = types;
    text.replace(text.find("ROW"), 3, row);
    ExpectRefused(text, "in row 1 is not a valid");
  }
}

// Bytes of a recordset file whose one attribute value never ends.
class EndlessAttribute : public XmlInputSource {
 public:
  size_t Read(char* buffer, size_t size) override {
    std::string head = WrapFragment(
        "<s:Schema><s:ElementType name='row'><s:AttributeType name='a'/></s:ElementType>"
        "</s:Schema><rs:data><z:row a='");
    head.resize(head.rfind('\n'));  // without the closing tag
    size_t count = 0;
    while (count < size && delivered < head.size()) buffer[count++] = head[delivered++];
    std::memset(buffer + count, 'x', size - count);
    delivered += size - count;
    return size;
  }
  size_t delivered = 0;
};

TEST(XmlReader, RefusesOversizedValuesWithBoundedMemory) {
  // The parser stops pulling once one token exceeds the limit: memory stays bounded by
  // the limit whatever the input.
  EndlessAttribute source;
  XmlReadLimits limits;
  limits.max_token_bytes = size_t{2} << 20;
  try {
    ReadRecordsetXml(source, limits);
    FAIL() << "no error";
  } catch (const core::Error& error) {
    EXPECT_NE(std::string(error.what()).find("larger than 2 MiB"), std::string::npos)
        << error.what();
  }
  EXPECT_LE(source.delivered, 4 * limits.max_token_bytes);

  // A 100 MB attribute value in a file, with the default limit.
  qv::test::TestFolder folder;
  const std::string path = folder.File("big.xml");
  {
    std::ofstream out(path, std::ios::binary);
    const std::string f02 = Sample("F02-jet40-winmss-TAG.xml");
    out << f02.substr(0, f02.find("<rs:data>")) << "<rs:data><z:row Tag='";
    const std::string block(1 << 20, 'a');
    for (int i = 0; i < 100; ++i) out << block;
    out << "'/></rs:data></xml>";
  }
  try {
    ReadRecordsetXmlFile(path);
    FAIL() << "no error";
  } catch (const core::Error& error) {
    EXPECT_EQ(error.number(), core::kErrInvalidPersistedFile);
    EXPECT_NE(std::string(error.what()).find("larger than 64 MiB"), std::string::npos)
        << error.what();
  }
}

}  // namespace
}  // namespace ado
