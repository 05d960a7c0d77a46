#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ado/Recordset.h"
#include "core/Error.h"

namespace ado {
namespace {

int32_t ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const core::Error& e) {
    return e.number();
  }
  return 0;
}

// A fabricated recordset with a text key and a number, holding the given keys.
void Fabricate(Recordset& rs, const std::vector<std::string>& keys,
               int32_t lock_type = adLockUnspecified) {
  rs.Fields().Append("tSID", adVarWChar, 20);
  rs.Fields().Append("nQty", adInteger);
  rs.SetCursorLocation(adUseClient);
  rs.Open(Variant(), nullptr, adOpenUnspecified, lock_type);
  int32_t qty = 0;
  for (const auto& key : keys) {
    rs.AddNew();
    rs.Fields().Item("tSID").SetValue(Variant(key));
    rs.Fields().Item("nQty").SetValue(Variant(++qty));
    rs.Update();
  }
}

std::vector<std::string> Keys(Recordset& rs) {
  std::vector<std::string> keys;
  if (rs.RecordCount() == 0) return keys;
  rs.MoveFirst();
  while (!rs.Eof()) {
    keys.push_back(rs.Fields().Item(size_t{0}).Value().ToText());
    rs.MoveNext();
  }
  return keys;
}

std::vector<int32_t> SavedStatuses(const Recordset& rs) {
  std::vector<int32_t> statuses;
  for (size_t r : rs.RecordsToSave()) statuses.push_back(rs.Records().Status(r));
  return statuses;
}

TEST(Recordset, PropertiesAreFixedOnceOpen) {
  Recordset rs;
  EXPECT_EQ(rs.State(), adStateClosed);
  EXPECT_EQ(ErrorOf([&] { rs.Eof(); }), core::kErrObjectClosed);
  EXPECT_EQ(ErrorOf([&] { rs.Open(); }), core::kErrInvalidArgument);  // no fields, no source
  rs.SetCursorType(adOpenDynamic);
  rs.SetLockType(adLockOptimistic);
  Fabricate(rs, {"a"});
  EXPECT_EQ(rs.State(), adStateOpen);
  EXPECT_EQ(rs.CursorLocation(), adUseClient);
  EXPECT_EQ(rs.CursorType(), adOpenStatic);
  EXPECT_EQ(rs.LockType(), adLockOptimistic);  // -1 kept what was set before
  EXPECT_EQ(ErrorOf([&] { rs.SetCursorType(adOpenKeyset); }), core::kErrObjectOpen);
  EXPECT_EQ(ErrorOf([&] { rs.SetLockType(adLockReadOnly); }), core::kErrObjectOpen);
  EXPECT_EQ(ErrorOf([&] { rs.Open(); }), core::kErrObjectOpen);
  EXPECT_EQ(ErrorOf([&] { rs.Fields().Append("x", adInteger); }), core::kErrObjectOpen);

  Recordset plain;
  Fabricate(plain, {});
  EXPECT_EQ(plain.LockType(), adLockBatchOptimistic);  // a read-only lock cannot fabricate
}

TEST(Recordset, EmptyRecordsetIsAtBothEnds) {
  Recordset rs;
  Fabricate(rs, {});
  EXPECT_TRUE(rs.Bof());
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(rs.RecordCount(), 0);
  rs.MoveFirst();
  rs.MoveLast();
  EXPECT_TRUE(rs.Bof() && rs.Eof());
  EXPECT_EQ(ErrorOf([&] { rs.MoveNext(); }), core::kErrNoCurrentRecord);
  EXPECT_EQ(ErrorOf([&] { rs.MovePrevious(); }), core::kErrNoCurrentRecord);
  EXPECT_EQ(ErrorOf([&] { rs.Fields().Item("tSID").Value(); }), core::kErrNoCurrentRecord);
  EXPECT_FALSE(rs.CurrentRecord());
}

TEST(Recordset, CursorWalksBothWaysAndStopsAtTheEnds) {
  Recordset rs;
  Fabricate(rs, {"a", "b", "c"});
  EXPECT_EQ(rs.RecordCount(), 3);
  rs.MoveFirst();
  EXPECT_FALSE(rs.Bof());
  EXPECT_EQ(rs.Fields().Item("TSID").Value(), Variant("a"));
  rs.MoveNext();
  rs.MoveNext();
  EXPECT_EQ(rs.Fields().Item("tsid").Value(), Variant("c"));
  rs.MoveNext();
  EXPECT_TRUE(rs.Eof());
  EXPECT_FALSE(rs.Bof());
  EXPECT_EQ(ErrorOf([&] { rs.MoveNext(); }), core::kErrNoCurrentRecord);
  rs.MovePrevious();
  EXPECT_EQ(rs.Fields().Item("tSID").Value(), Variant("c"));
  rs.MoveFirst();
  rs.MovePrevious();
  EXPECT_TRUE(rs.Bof());
  EXPECT_EQ(ErrorOf([&] { rs.MovePrevious(); }), core::kErrNoCurrentRecord);
  rs.MoveNext();
  EXPECT_EQ(rs.Fields().Item("tSID").Value(), Variant("a"));
  rs.MoveLast();
  EXPECT_EQ(rs.Fields().Item("nQty").Value(), Variant(int32_t{3}));
}

TEST(Recordset, BatchModeKeepsChangesPendingUntilUpdateBatch) {
  Recordset rs;
  Fabricate(rs, {"a", "b", "c"});
  EXPECT_EQ(SavedStatuses(rs), (std::vector<int32_t>{adRecNew, adRecNew, adRecNew}));
  rs.UpdateBatch();
  EXPECT_EQ(SavedStatuses(rs),
            (std::vector<int32_t>{adRecUnmodified, adRecUnmodified, adRecUnmodified}));

  rs.MoveFirst();
  Field qty = rs.Fields().Item("nQty");
  qty.SetValue(Variant(int32_t{10}));
  EXPECT_EQ(rs.EditMode(), adEditInProgress);
  qty.SetValue(Variant(int32_t{11}));
  rs.Update();
  EXPECT_EQ(rs.EditMode(), adEditNone);
  EXPECT_EQ(rs.Status(), adRecModified);
  EXPECT_EQ(qty.Value(), Variant(int32_t{11}));
  EXPECT_EQ(qty.OriginalValue(), Variant(int32_t{1}));
  qty.SetValue(Variant(int32_t{12}));  // a second edit keeps the first originals
  rs.Update();
  EXPECT_EQ(qty.OriginalValue(), Variant(int32_t{1}));

  rs.MoveNext();
  rs.Delete();
  EXPECT_EQ(rs.Status(), adRecDeleted);  // the cursor stays on the deleted record
  EXPECT_EQ(ErrorOf([&] { qty.Value(); }), core::kErrNoCurrentRecord);
  EXPECT_EQ(rs.RecordCount(), 2);
  rs.AddNew();
  rs.Fields().Item("tSID").SetValue(Variant("d"));
  rs.Update();
  EXPECT_EQ(Keys(rs), (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(SavedStatuses(rs),
            (std::vector<int32_t>{adRecModified, adRecUnmodified, adRecNew, adRecDeleted}));

  rs.UpdateBatch();
  EXPECT_EQ(SavedStatuses(rs),
            (std::vector<int32_t>{adRecUnmodified, adRecUnmodified, adRecUnmodified}));
  rs.MoveFirst();
  EXPECT_FALSE(rs.Records().HasOriginal(*rs.CurrentRecord()));
}

TEST(Recordset, CancelBatchRestoresOriginalsDropsNewAndUndeletes) {
  Recordset rs;
  Fabricate(rs, {"a", "b"});
  rs.UpdateBatch();
  rs.MoveFirst();
  rs.Fields().Item("tSID").SetValue(Variant("changed"));
  rs.MoveNext();  // implies Update
  EXPECT_EQ(rs.EditMode(), adEditNone);
  rs.Delete();
  rs.AddNew();
  rs.Fields().Item("tSID").SetValue(Variant("new"));
  rs.Update();
  EXPECT_EQ(Keys(rs), (std::vector<std::string>{"changed", "new"}));
  rs.CancelBatch();
  EXPECT_EQ(Keys(rs), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SavedStatuses(rs), (std::vector<int32_t>{adRecUnmodified, adRecUnmodified}));
  EXPECT_EQ(rs.RecordsToSave().size(), 2u);
}

TEST(Recordset, ImmediateModeCommitsEveryUpdate) {
  Recordset rs;
  Fabricate(rs, {"a", "b", "c"}, adLockOptimistic);
  EXPECT_EQ(SavedStatuses(rs),
            (std::vector<int32_t>{adRecUnmodified, adRecUnmodified, adRecUnmodified}));
  rs.MoveFirst();
  rs.Fields().Item("tSID").SetValue(Variant("x"));
  EXPECT_EQ(rs.Fields().Item("tSID").OriginalValue(), Variant("a"));
  rs.Update();
  EXPECT_EQ(rs.Status(), adRecUnmodified);
  EXPECT_FALSE(rs.Records().HasOriginal(*rs.CurrentRecord()));
  rs.MoveNext();
  rs.Delete();
  EXPECT_EQ(rs.RecordCount(), 2);
  // A committed deletion is not saved as pending.
  EXPECT_EQ(rs.RecordsToSave().size(), 2u);
  EXPECT_EQ(Keys(rs), (std::vector<std::string>{"x", "c"}));
}

TEST(Recordset, CancelUpdateUndoesTheEditInProgress) {
  Recordset rs;
  Fabricate(rs, {"a", "b"});
  rs.UpdateBatch();
  rs.MoveFirst();
  rs.Fields().Item("tSID").SetValue(Variant("x"));
  rs.CancelUpdate();
  EXPECT_EQ(rs.Fields().Item("tSID").Value(), Variant("a"));
  EXPECT_EQ(rs.Status(), adRecUnmodified);
  EXPECT_FALSE(rs.Records().HasOriginal(*rs.CurrentRecord()));

  rs.MoveNext();
  rs.AddNew();
  rs.Fields().Item("tSID").SetValue(Variant("new"));
  rs.CancelUpdate();
  EXPECT_EQ(rs.Fields().Item("tSID").Value(), Variant("b"));  // back where it was
  EXPECT_EQ(rs.RecordCount(), 2);
  EXPECT_EQ(rs.RecordsToSave().size(), 2u);
}

TEST(Recordset, DeletingANewRecordLeavesNoTrace) {
  Recordset rs;
  Fabricate(rs, {"a"});
  rs.MoveFirst();
  rs.Delete();
  EXPECT_TRUE(rs.RecordsToSave().empty());
  rs.MoveNext();
  EXPECT_TRUE(rs.Eof());
  EXPECT_TRUE(rs.Bof());
}

TEST(Recordset, AssignmentConvertsToTheFieldType) {
  Recordset rs;
  rs.Fields().Append("i", adInteger);
  rs.Fields().Append("fixed", adWChar, 3);
  rs.Fields().Append("text", adVarWChar, 3);
  rs.Fields().Append("d", adDate);
  rs.Fields().Append("v", adVariant);
  rs.Fields().Append("b", adBoolean);
  rs.Open();
  rs.AddNew();
  Field i = rs.Fields().Item("i");
  i.SetValue(Variant("5"));
  EXPECT_EQ(i.Value().Type(), VarType::kI4);
  EXPECT_EQ(i.Value().AsInt64(), 5);
  i.SetValue(Variant(2.5));
  EXPECT_EQ(i.Value().AsInt64(), 2);  // rounds half to even
  EXPECT_EQ(ErrorOf([&] { i.SetValue(Variant("abc")); }), core::kErrDataConversion);
  EXPECT_EQ(ErrorOf([&] { i.SetValue(Variant(int64_t{1} << 40)); }), core::kErrDataConversion);
  EXPECT_EQ(i.Value().AsInt64(), 2);
  i.SetValue(Variant::Null());
  EXPECT_TRUE(i.Value().IsNull());

  EXPECT_EQ(ErrorOf([&] { rs.Fields().Item("fixed").SetValue(Variant("abcd")); }),
            core::kErrDataConversion);
  rs.Fields().Item("fixed").SetValue(Variant("äöü"));
  rs.Fields().Item("text").SetValue(Variant("abcd"));  // variable length is not cut
  EXPECT_EQ(rs.Fields().Item("text").Value(), Variant("abcd"));
  rs.Fields().Item("text").SetValue(Variant(int32_t{42}));
  EXPECT_EQ(rs.Fields().Item("text").Value(), Variant("42"));

  rs.Fields().Item("d").SetValue(Variant("2024-03-01 12:00:00"));
  EXPECT_EQ(rs.Fields().Item("d").Value().Type(), VarType::kDate);
  rs.Fields().Item("v").SetValue(Variant(int16_t{7}));
  EXPECT_EQ(rs.Fields().Item("v").Value().Type(), VarType::kI2);
  rs.Fields().Item("b").SetValue(Variant("True"));
  EXPECT_EQ(rs.Fields().Item("b").Value(), Variant(true));
  rs.Update();
  EXPECT_TRUE(rs.Fields().Item("fixed").OriginalValue().IsNull());  // a new record
}

TEST(Recordset, FailedAssignmentStartsNoEdit) {
  Recordset rs;
  Fabricate(rs, {"a"});
  rs.UpdateBatch();
  rs.MoveFirst();
  EXPECT_EQ(ErrorOf([&] { rs.Fields().Item("nQty").SetValue(Variant("x")); }),
            core::kErrDataConversion);
  EXPECT_EQ(rs.EditMode(), adEditNone);
  EXPECT_FALSE(rs.Records().HasOriginal(*rs.CurrentRecord()));
}

TEST(Fields, LookupAndAppendDefaults) {
  Recordset rs;
  rs.Fields().Append("Amount", adCurrency);
  rs.Fields().Append("Memo", adLongVarWChar, -1);
  rs.Fields().Append("Name", adVarWChar, 0);
  rs.Fields().Append("Copied", adVarWChar, 50, 104);
  EXPECT_EQ(ErrorOf([&] { rs.Fields().Append("amount", adInteger); }), 3367);
  EXPECT_EQ(rs.Fields().Count(), 4);
  EXPECT_EQ(rs.Fields().Item("AMOUNT").Index(), 0u);
  EXPECT_FALSE(rs.Fields().Find("missing"));
  EXPECT_EQ(ErrorOf([&] { rs.Fields().Item("missing"); }), core::kErrItemNotFound);
  EXPECT_EQ(ErrorOf([&] { rs.Fields().Item(size_t{4}); }), core::kErrItemNotFound);

  Field amount = rs.Fields().Item("Amount");
  EXPECT_EQ(amount.DefinedSize(), 8);
  EXPECT_EQ(amount.Attributes(), adFldUpdatable | adFldFixed);
  EXPECT_EQ(rs.Fields().Item("Memo").Attributes(), adFldUpdatable | adFldLong);
  EXPECT_EQ(rs.Fields().Item("Memo").DefinedSize(), -1);
  EXPECT_EQ(rs.Fields().Item("Name").DefinedSize(), -1);
  EXPECT_EQ(rs.Fields().Item("Copied").Attributes(), 104);
  EXPECT_EQ(rs.Fields().Item("Copied").DefinedSize(), 50);
  amount.SetPrecision(19);
  amount.SetNumericScale(4);
  rs.Open();
  EXPECT_EQ(rs.Fields().Item("amount").Precision(), 19);
  EXPECT_EQ(rs.Fields().Item("amount").NumericScale(), 4);
  EXPECT_EQ(ErrorOf([&] { amount.SetPrecision(1); }), core::kErrObjectOpen);
}

TEST(Recordset, OpenWithHonoursHiddenFieldsAndReadOnlyData) {
  RecordsetData data;
  for (const char* name : {"a", "rowid", "b"}) {
    FieldDef def;
    def.name = name;
    def.type = adInteger;
    def.hidden = def.name == "rowid";
    data.fields.push_back(def);
  }
  data.records = RecordStore(3);
  const size_t r = data.records.AppendRecord();
  data.records.SetInteger(r, 2, VarType::kI4, 9);
  data.properties.updatable = false;
  Recordset rs;
  rs.SetLockType(adLockOptimistic);
  rs.OpenWith(std::move(data));
  EXPECT_EQ(rs.Fields().Count(), 2);
  EXPECT_EQ(rs.Fields().Item(size_t{1}).Name(), "b");
  EXPECT_EQ(rs.Fields().Item(size_t{1}).Value(), Variant(int32_t{9}));
  EXPECT_FALSE(rs.Fields().Find("rowid"));
  EXPECT_EQ(rs.LockType(), adLockReadOnly);
  EXPECT_EQ(ErrorOf([&] { rs.AddNew(); }), core::kErrFeatureNotAvailable);
  EXPECT_EQ(ErrorOf([&] { rs.Fields().Item("a").SetValue(Variant(int32_t{1})); }),
            core::kErrFeatureNotAvailable);
  rs.Close();
  EXPECT_EQ(rs.Fields().Count(), 0);
}

TEST(Recordset, CloseReleasesRecordsAndKeepsFabricatedFields) {
  Recordset rs;
  Fabricate(rs, {"a", "b"});
  rs.Close();
  EXPECT_EQ(rs.State(), adStateClosed);
  EXPECT_EQ(ErrorOf([&] { rs.Close(); }), core::kErrObjectClosed);
  EXPECT_EQ(rs.Fields().Count(), 2);
  rs.Open();
  EXPECT_EQ(rs.RecordCount(), 0);
  EXPECT_TRUE(rs.Eof());
}

TEST(Recordset, FilterSelectsRecordsAndMovesToTheFirst) {
  Recordset rs;
  Fabricate(rs, {"a", "B", "c", "b"});
  rs.MoveLast();
  rs.SetFilter("tSID = 'b'");
  EXPECT_EQ(rs.RecordCount(), 2);
  EXPECT_EQ(rs.Fields().Item("nQty").Value(), Variant(int32_t{2}));
  EXPECT_EQ(Keys(rs), (std::vector<std::string>{"B", "b"}));
  EXPECT_EQ(rs.RecordsToSave().size(), 2u);  // Save writes what the filter shows
  rs.SetFilter("tSID = 'zzz'");
  EXPECT_TRUE(rs.Eof() && rs.Bof());
  EXPECT_EQ(ErrorOf([&] { rs.SetFilter("tSID = "); }), core::kErrInvalidArgument);
  EXPECT_EQ(rs.Filter(), "tSID = 'zzz'");
  rs.SetFilter("");
  EXPECT_EQ(rs.RecordCount(), 4);
}

// The index behind equality filters must follow edits, additions and deletions.
TEST(Recordset, EqualityFilterFollowsChanges) {
  Recordset rs;
  Fabricate(rs, {"a", "b", "c"});
  rs.UpdateBatch();
  rs.SetFilter("tSID = 'a'");
  ASSERT_EQ(rs.RecordCount(), 1);
  rs.Fields().Item("tSID").SetValue(Variant("b"));
  rs.Update();
  rs.SetFilter("tSID = 'a'");
  EXPECT_EQ(rs.RecordCount(), 0);
  rs.SetFilter("tSID = 'B'");
  EXPECT_EQ(Keys(rs), (std::vector<std::string>{"b", "b"}));

  rs.AddNew();
  rs.Fields().Item("tSID").SetValue(Variant("b"));
  rs.Update();
  rs.SetFilter("tSID = 'b'");
  EXPECT_EQ(rs.RecordCount(), 3);
  rs.MoveFirst();
  rs.Delete();
  rs.SetFilter("tSID = 'b'");
  EXPECT_EQ(rs.RecordCount(), 2);
  rs.SetFilter("nQty = 3");  // a number field
  EXPECT_EQ(Keys(rs), (std::vector<std::string>{"c"}));

  rs.CancelBatch();
  rs.SetFilter("tSID = 'a'");
  EXPECT_EQ(rs.RecordCount(), 1);
  rs.SetFilter("tSID = 'b'");
  EXPECT_EQ(rs.RecordCount(), 1);
}

TEST(Stream, CountsCharactersNotBytes) {
  Stream s;
  s.WriteText("aé€😀");
  s.WriteText("z");
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(s.Position(), 5);
  EXPECT_TRUE(s.EOS());
  s.SetPosition(0);
  EXPECT_EQ(s.ReadText(2), "aé");
  EXPECT_EQ(s.Position(), 2);
  EXPECT_EQ(s.ReadText(2), "€😀");
  EXPECT_FALSE(s.EOS());
  EXPECT_EQ(s.ReadText(100), "z");
  EXPECT_TRUE(s.EOS());
  EXPECT_EQ(s.ReadText(), "");
  s.SetPosition(1);
  s.WriteText("xy");  // writes over two characters
  EXPECT_EQ(s.Data(), "axy😀z");
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(s.ReadText(), "😀z");
  EXPECT_EQ(ErrorOf([&] { s.SetPosition(6); }), core::kErrInvalidArgument);
}

}  // namespace
}  // namespace ado
