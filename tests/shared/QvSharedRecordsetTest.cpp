#include <gtest/gtest.h>

#include "core/Error.h"
#include "shared/QvSharedADO.h"
#include "shared/QvSharedRecordCopier.h"
#include "support/RecordsetFactory.h"

namespace qv {
namespace {

using test::MakeRecordset;

std::shared_ptr<ado::Recordset> People() {
  return MakeRecordset({{"tSID", ado::adVarWChar, 20}, {"nAge", ado::adInteger, 4}},
                       {{ado::Variant("S-1"), ado::Variant(int32_t{30})},
                        {ado::Variant("S-2"), ado::Variant::Null()}});
}

TEST(QvSharedADO, CheckRecordsetMovesToTheFirstRecordOfAnOpenRecordsetWithRecords) {
  QvSharedADO shared_ado;
  auto rs = People();
  rs->MoveLast();
  EXPECT_TRUE(shared_ado.CheckRecordset(rs));
  EXPECT_EQ(rs->Fields().Item("tSID").Value().ToText(), "S-1");

  EXPECT_FALSE(shared_ado.CheckRecordset(nullptr));
  EXPECT_FALSE(shared_ado.CheckRecordset(std::make_shared<ado::Recordset>()));
  EXPECT_FALSE(shared_ado.CheckRecordset(MakeRecordset({{"a"}}, {})));

  shared_ado.Release(rs);
  EXPECT_EQ(rs, nullptr);
}

TEST(QvSharedRecordCopier, CopiesTheCurrentRecordByFieldName) {
  auto source = People();
  source->MoveNext();
  // The target has the fields in another order and lacks none of them.
  auto target = MakeRecordset({{"nAge", ado::adInteger, 4}, {"tSID", ado::adVarWChar, 20}}, {});
  QvSharedRecordCopier copier;
  EXPECT_TRUE(copier.CopyRecord(source, target, true));
  EXPECT_EQ(target->RecordCount(), 1);
  EXPECT_EQ(target->Fields().Item("tSID").Value().ToText(), "S-2");
  EXPECT_TRUE(target->Fields().Item("nAge").Value().IsNull());
  EXPECT_EQ(source->Fields().Item("tSID").Value().ToText(), "S-2");  // source did not move
}

TEST(QvSharedRecordCopier, WithoutASourceRecordNothingIsAdded) {
  auto source = People();
  source->MoveLast();
  source->MoveNext();
  auto target = MakeRecordset({{"tSID", ado::adVarWChar, 20}}, {});
  QvSharedRecordCopier copier;
  EXPECT_THROW(copier.CopyRecord(source, target, true), core::Error);
  EXPECT_EQ(target->RecordCount(), 0);
  EXPECT_THROW(copier.CopyRecord(nullptr, target, true), core::Error);
}

TEST(QvSharedRecordCopier, ARefusedValueLeavesNoHalfRecord) {
  auto source = MakeRecordset({{"tSID", ado::adVarWChar, 20}, {"nAge", ado::adVarWChar, 20}},
                              {{ado::Variant("S-9"), ado::Variant("not a number")}});
  auto target = MakeRecordset({{"tSID", ado::adVarWChar, 20}, {"nAge", ado::adInteger, 4}}, {});
  QvSharedRecordCopier copier;
  EXPECT_THROW(copier.CopyRecord(source, target, true), core::Error);
  EXPECT_EQ(target->RecordCount(), 0);
}

}  // namespace
}  // namespace qv
