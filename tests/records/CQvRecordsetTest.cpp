#include "records/CQvRecordset.h"

#include <gtest/gtest.h>

#include "records/CQvRecSetField.h"
#include "shared/LogCapture.h"
#include "support/RecordsetFactory.h"

namespace qv {
namespace {

using test::LogCapture;
using test::MakeRecordset;

constexpr int32_t kNullableAttributes = 104;

std::shared_ptr<ado::Recordset> Cities() {
  return MakeRecordset({{"City", ado::adVarWChar, 20, kNullableAttributes},
                        {"Country", ado::adVarWChar, 20, kNullableAttributes},
                        {"Population", ado::adInteger, 4, kNullableAttributes}},
                       {{ado::Variant("Paris"), ado::Variant("France"), ado::Variant(int32_t{2})},
                        {ado::Variant("Oslo"), ado::Variant::Null(), ado::Variant::Null()}});
}

TEST(CQvRecordset, CreateInMemoryCopiesTheStructureWithoutChapters) {
  auto source = std::make_shared<ado::Recordset>();
  source->Fields().Append("Name", ado::adVarWChar, 40, 0x64);
  source->Fields().Append("Id", ado::adInteger, 4, 0x10);
  source->Fields().Append("Children", ado::adChapter, 4, 0);
  source->Fields().Append("Amount", ado::adNumeric, 19, 0x70);
  source->Fields().Item("Amount").SetPrecision(18);
  source->Fields().Item("Amount").SetNumericScale(4);

  CQvRecordset wrapper;
  auto copy = wrapper.CreateInMemory(source, true);
  ASSERT_TRUE(copy);
  EXPECT_EQ(wrapper.RS(), copy);
  ASSERT_EQ(copy->Fields().Count(), 3);
  const char* names[] = {"Name", "Id", "Amount"};
  for (int i = 0; i < 3; ++i) {
    const ado::Field from = source->Fields().Item(names[i]);
    const ado::Field to = copy->Fields().Item(static_cast<size_t>(i));
    EXPECT_EQ(to.Name(), from.Name());
    EXPECT_EQ(to.Type(), from.Type());
    EXPECT_EQ(to.DefinedSize(), from.DefinedSize());
    EXPECT_EQ(to.Attributes(), from.Attributes());
    EXPECT_EQ(to.Precision(), from.Precision());
    EXPECT_EQ(to.NumericScale(), from.NumericScale());
  }
  EXPECT_EQ(copy->State(), ado::adStateOpen);
  EXPECT_EQ(copy->RecordCount(), 0);
  EXPECT_EQ(copy->CursorLocation(), ado::adUseClient);
  EXPECT_EQ(source->State(), ado::adStateClosed);

  auto closed = wrapper.CreateInMemory(Cities(), false);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->State(), ado::adStateClosed);
  EXPECT_EQ(closed->Fields().Count(), 3);
}

TEST(CQvRecordset, CreateInMemoryWithoutSourceLogsTheFailedOpen) {
  LogCapture capture;
  CQvRecordset wrapper;
  EXPECT_EQ(wrapper.CreateInMemory(nullptr, true), nullptr);
  ASSERT_TRUE(wrapper.RS());  // the new recordset stays wrapped
  EXPECT_EQ(wrapper.RS()->Fields().Count(), 0);
  EXPECT_EQ(capture.Warnings(), std::vector<std::string>{"CQvRecordset.CreateInMemory, @ Line #3"});
  capture.Clear();
  auto unopened = wrapper.CreateInMemory(nullptr, false);
  EXPECT_TRUE(unopened);
  EXPECT_TRUE(capture.Entries().empty());
}

TEST(CQvRecordset, PrintRecordWritesOneLinePerField) {
  CQvRecordset wrapper;
  wrapper.Init(Cities());
  EXPECT_EQ(wrapper.PrintRecord(),
            "City(Type:202, Attributes:104)=Paris\r\n"
            "Country(Type:202, Attributes:104)=France\r\n"
            "Population(Type:3, Attributes:104)=2\r\n");
  wrapper.RS()->MoveNext();
  EXPECT_EQ(wrapper.PrintRecord(),
            "City(Type:202, Attributes:104)=Oslo\r\n"
            "Country(Type:202, Attributes:104)=\r\n"
            "Population(Type:3, Attributes:104)=\r\n");
  EXPECT_EQ(wrapper.RS()->Fields().Item("City").Value().ToText(), "Oslo");  // did not move
}

TEST(CQvRecordset, PrintRecordIsEmptyWithoutARecord) {
  CQvRecordset wrapper;
  EXPECT_EQ(wrapper.PrintRecord(), "");
  wrapper.Init(Cities());
  wrapper.RS()->MoveLast();
  wrapper.RS()->MoveNext();
  EXPECT_EQ(wrapper.PrintRecord(), "");
  auto closed = std::make_shared<ado::Recordset>();
  closed->Fields().Append("City", ado::adVarWChar, 10);
  wrapper.Init(closed);
  EXPECT_EQ(wrapper.PrintRecord(), "");
}

TEST(CQvRecordset, GetFieldValueStrReadsOneFieldOrFillsThePattern) {
  CQvRecordset wrapper;
  wrapper.Init(Cities());
  EXPECT_EQ(wrapper.GetFieldValue_Str("City", ""), "Paris");
  EXPECT_EQ(wrapper.GetFieldValue_Str("City", "no placeholder"), "Paris");
  EXPECT_EQ(wrapper.GetFieldValue_Str("City,Country", "%1 - %2"), "Paris - France");
  EXPECT_EQ(wrapper.GetFieldValue_Str("Country,City", "%2 (%1)"), "Paris (France)");
  EXPECT_EQ(wrapper.GetFieldValue_Str("City,Population", "%1:%2"), "Paris:2");
  // Without a pattern the whole list is one (missing) field name.
  EXPECT_EQ(wrapper.GetFieldValue_Str("City,Country", ""), "");
  // Names are not trimmed; a missing name contributes empty text.
  EXPECT_EQ(wrapper.GetFieldValue_Str("City, Country,Nope", "[%1|%2|%3]"), "[Paris||]");
  wrapper.RS()->MoveNext();
  EXPECT_EQ(wrapper.GetFieldValue_Str("City,Country", "%1/%2"), "Oslo/");
}

TEST(CQvRecordset, MissingFieldsGiveEmptyTextWithoutAnError) {
  LogCapture capture;
  CQvRecordset wrapper;
  EXPECT_EQ(wrapper.GetFieldValue_Str("City", ""), "");
  wrapper.Init(Cities());
  EXPECT_EQ(wrapper.GetFieldValue_Str("Nope", ""), "");
  EXPECT_TRUE(capture.Warnings().empty());
}

TEST(CQvRecSetField, GetValueNeedsAFieldAndKeepsNull) {
  LogCapture capture;
  CQvRecSetField field;
  EXPECT_TRUE(field.GetValue().IsEmpty());
  auto rs = Cities();
  EXPECT_TRUE(field.Init(rs->Fields().Find("City")));
  EXPECT_FALSE(field.Init(std::nullopt));  // keeps City
  EXPECT_EQ(field.GetValue().ToText(), "Paris");
  rs->MoveNext();
  ASSERT_TRUE(field.Init(rs->Fields().Find("Country")));
  EXPECT_TRUE(field.GetValue().IsNull());
  ASSERT_FALSE(capture.Entries().empty());
  const LogEntry& trace = capture.Entries().back();
  EXPECT_EQ(trace.message, "CQvRecSetField.GetValue, The value of field:Country is ,");
  EXPECT_EQ(trace.event_type, kEventInformation);
  EXPECT_EQ(trace.caller_level, kLevelDetail);
}

TEST(CQvRecSetField, ArraysAreJoinedAndSidBytesConverted) {
  ado::Array values;
  values.items = {ado::Variant("a"), ado::Variant("b")};
  const ado::Bytes sid = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};
  const ado::Bytes ten = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0};
  auto rs = MakeRecordset(
      {{"memberOf", ado::adVariant, 0}, {"objectSid", ado::adVarBinary, 28}},
      {{ado::Variant(values), ado::Variant(sid)}, {ado::Variant::Null(), ado::Variant(ten)}});
  LogCapture capture;
  CQvRecSetField member_of;
  CQvRecSetField object_sid;
  ASSERT_TRUE(member_of.Init(rs->Fields().Find("memberOf")));
  ASSERT_TRUE(object_sid.Init(rs->Fields().Find("objectSid")));
  EXPECT_EQ(member_of.GetValue().ToText(), "a\r\nb");
  EXPECT_EQ(object_sid.GetValue().ToText(), "S-1-5-18");
  rs->MoveNext();
  capture.Clear();
  EXPECT_EQ(object_sid.GetValue().ToText(), "");
  ASSERT_FALSE(capture.Entries().empty());
  EXPECT_EQ(capture.Entries()[0].message,
            "CQvRecSetField.ConvertArrayToString, Field:objectSid,ConvertArrayToString: join "
            "gives:\r\n, ObjSidToStrSid:, Size:9");
  EXPECT_TRUE(capture.Warnings().empty());
}

}  // namespace
}  // namespace qv
