#include "xmlformat/FileValues.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ado/Recordset.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlValueText.h"
#include "xmlformat/XmlWriter.h"

namespace ado {
namespace {

std::string Escaped(std::string_view text) {
  std::string out(text.size() * xml::kMaxEscapedBytesPerByte, '\0');
  size_t not_units = 0;
  out.resize(xml::EscapeInto(out.data(), text, not_units));
  return out;
}

TEST(FileValues, SanitizedTextIsWhatTheWriterWrites) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    std::string text;
    std::string sanitized;
    size_t replaced;
  };
  const Case cases[] = {
      {"plain <&> 'q' \"d\"", "plain <&> 'q' \"d\"", 0},
      {"tab\tlf\ncr\r del\x7f", "tab\tlf\ncr\r del\x7f", 0},
      {"Grüße 😀 €", "Grüße 😀 €", 0},
      {std::string("ab\0cd", 5), "ab" + r + "cd", 1},
      {"\x01\x08\x0b\x0c\x0e\x1f", r + r + r + r + r + r, 6},
      {"x\xEF\xBF\xBEy\xEF\xBF\xBF", "x" + r + "y" + r, 2},  // U+FFFE, U+FFFF
      {"\xED\xA0\x80", r + r + r, 3},                        // an encoded lone surrogate
      {"\xFF"
       "A\xC3",
       r + "A" + r, 2},  // bytes that are not UTF-8
      {"ok " + r, "ok " + r, 0},
      {"eight by\x01tes", "eight by" + r + "tes", 1},  // past whole plain words
      {"a longer plain text\x7f", "a longer plain text\x7f", 0},
      {"seven b\x1f and then Grüße", "seven b" + r + " and then Grüße", 1},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(SanitizeFileText(text), c.replaced) << c.sanitized;
    EXPECT_EQ(text, c.sanitized);
    EXPECT_EQ(Escaped(text), Escaped(c.text)) << c.sanitized;
    EXPECT_EQ(SanitizeFileText(text), 0u) << c.sanitized;
  }
}

// Writing a value in a field of each date type and reading it back gives FileDate, and
// FileDate of that gives it again.
TEST(FileValues, FileDateIsWhatReadingTheFileBackGives) {
  const std::vector<int32_t> types = {adDBTimeStamp, adDate, adDBDate, adDBTime};
  const std::vector<Date::Parts> values = {
      {2024, 5, 1, 10, 0, 0, 123456900},
      {2024, 5, 1, 23, 59, 59, 999999900},
      {2024, 5, 1, 10, 0, 0, 400},
      {1899, 12, 29, 12, 0, 0, 500000500},
      {1900, 1, 1, 0, 0, 0, 0},
      {9999, 12, 31, 23, 59, 59, 0},
      {100, 1, 1, 0, 0, 0, 1500},
      {2024, 2, 29, 13, 14, 15, 123000000},
      {9999, 12, 31, 23, 59, 59, 999999999},
      {100, 1, 1, 23, 59, 59, 999999999},
  };
  RecordsetData data;
  for (int32_t type : types) {
    FieldDef field;
    field.name = "f" + std::to_string(type);
    field.type = type;
    field.attributes = adFldIsNullable | adFldMayBeNull;
    data.fields.push_back(field);
  }
  data.records = RecordStore(types.size());
  for (const Date::Parts& parts : values) {
    const size_t record = data.records.AppendRecord();
    for (size_t f = 0; f < types.size(); ++f) {
      data.records.SetDate(record, f, Date::FromParts(parts));
    }
  }
  const RecordsetData back = ReadRecordsetXml(RecordsetDataXmlToString(data));
  ASSERT_EQ(back.records.RecordCount(), values.size());
  for (size_t r = 0; r < values.size(); ++r) {
    for (size_t f = 0; f < types.size(); ++f) {
      const Date written = data.records.Get(r, f).AsDate();
      const Date read = back.records.Get(r, f).AsDate();
      EXPECT_EQ(FileDate(written, types[f]), read) << "value " << r << " type " << types[f];
      EXPECT_EQ(FileDate(read, types[f]), read) << "value " << r << " type " << types[f];
    }
  }
  // A timestamp keeps every digit of its fraction, also where the day value cannot
  // carry it; a date made by arithmetic is rounded to the microsecond.
  for (const Date::Parts& parts :
       {values[0], values[1], values[8], Date::Parts{2079, 6, 18, 12, 54, 26, 319858000}}) {
    const Date::Parts kept = FileDate(Date::FromParts(parts), adDBTimeStamp).ToParts();
    EXPECT_EQ(kept.second, parts.second);
    EXPECT_EQ(kept.nanosecond, parts.nanosecond);
  }
  EXPECT_EQ(FileDate(Date{Date::FromParts(values[0]).days}, adDBTimeStamp),
            Date::FromParts({2024, 5, 1, 10, 0, 0, 123457000}));
  EXPECT_EQ(FileDate(Date{Date::FromParts(values[1]).days}, adDBTimeStamp),
            Date::FromParts({2024, 5, 2}));
}

}  // namespace
}  // namespace ado
