#include "records/CQvRSRecUtils.h"

#include <gtest/gtest.h>

#include "records/basADOUtilities.h"
#include "shared/LogCapture.h"
#include "support/RecordsetFactory.h"

namespace qv {
namespace {

using test::LogCapture;
using test::MakeRecordset;

class CQvRSRecUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rs_ = MakeRecordset({{"City", ado::adVarWChar, 5}, {"Count", ado::adInteger, 4}},
                        {{ado::Variant("Paris"), ado::Variant(int32_t{5})}});
  }
  ado::Variant Value(const char* name) { return rs_->Fields().Item(name).Value(); }
  bool Edited() const { return rs_->EditMode() != ado::adEditNone; }

  std::shared_ptr<ado::Recordset> rs_;
  CQvRSRecUtils utils_;
  LogCapture capture_;
};

TEST_F(CQvRSRecUtilsTest, MissingFieldGivesFalseAndReportsNothing) {
  EXPECT_FALSE(utils_.SetFieldValue(rs_, "Country", ado::Variant("France")));
  EXPECT_FALSE(utils_.SetFieldValue(nullptr, "City", ado::Variant("Rome")));
  EXPECT_FALSE(utils_.SetFieldValue2(std::nullopt, ado::Variant("Rome")));
  EXPECT_TRUE(capture_.Entries().empty());
  EXPECT_FALSE(Edited());
}

TEST_F(CQvRSRecUtilsTest, ValueFieldIsWrittenOnlyWhenTheValueDiffers) {
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "Count", ado::Variant(int32_t{5})));
  EXPECT_FALSE(Edited());
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "Count", ado::Variant(5.0)));  // same number
  EXPECT_FALSE(Edited());
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "count", ado::Variant(int32_t{6})));
  EXPECT_EQ(Value("Count").ToLong(), 6);
  rs_->Update();
  EXPECT_TRUE(capture_.Entries().empty());
}

TEST_F(CQvRSRecUtilsTest, NullFieldIsAlwaysWrittenAndNullIsStored) {
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "Count", ado::Variant::Null()));
  EXPECT_TRUE(Value("Count").IsNull());
  rs_->Update();
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "Count", ado::Variant(int32_t{0})));
  EXPECT_EQ(Value("Count").ToLong(), 0);
}

TEST_F(CQvRSRecUtilsTest, TextDifferingOnlyInCaseIsNotWritten) {
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "City", ado::Variant("PARIS")));
  EXPECT_FALSE(Edited());
  EXPECT_EQ(Value("City").ToText(), "Paris");
}

TEST_F(CQvRSRecUtilsTest, BlankTextStoresEmptyTextAndNullBecomesEmptyText) {
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "City", ado::Variant("   ")));
  EXPECT_EQ(Value("City").Type(), ado::VarType::kString);
  EXPECT_EQ(Value("City").ToText(), "");
  rs_->Update();
  rs_->Fields().Item("City").SetValue(ado::Variant("Paris"));
  rs_->Update();
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "City", ado::Variant::Null()));
  EXPECT_FALSE(Value("City").IsNull());
  EXPECT_EQ(Value("City").ToText(), "");
}

TEST_F(CQvRSRecUtilsTest, TooLongTextIsRefusedWithAWarningAndExactSizeIsStored) {
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "City", ado::Variant("Toulouse")));
  EXPECT_EQ(Value("City").ToText(), "Paris");
  ASSERT_EQ(capture_.Entries().size(), 1u);
  const LogEntry& warning = capture_.Entries()[0];
  EXPECT_EQ(warning.message,
            "CQvRSRecUtils.SetFieldValue_String - unable to store 'Toulouse' in field City since "
            "it only allows up to 5 characters, so it will keep the original value 'Paris'");
  EXPECT_EQ(warning.event_type, kEventWarning);
  EXPECT_EQ(warning.caller_level, kLevelExport);

  // Five characters in more than five bytes still fit.
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "City", ado::Variant("Ürümq")));
  EXPECT_EQ(Value("City").ToText(), "Ürümq");
  EXPECT_TRUE(utils_.SetFieldValue(rs_, "City", ado::Variant(" Nice")));
  EXPECT_EQ(Value("City").ToText(), " Nice");  // stored untrimmed
  EXPECT_EQ(capture_.Entries().size(), 1u);
}

TEST_F(CQvRSRecUtilsTest, SetFieldValue2WritesTheGivenField) {
  EXPECT_TRUE(utils_.SetFieldValue2(rs_->Fields().Find("City"), ado::Variant("Lyon")));
  EXPECT_EQ(Value("City").ToText(), "Lyon");
  EXPECT_TRUE(utils_.SetFieldValue2(rs_->Fields().Find("Count"), ado::Variant("12")));
  EXPECT_EQ(Value("Count").ToLong(), 12);
}

TEST_F(CQvRSRecUtilsTest, FailuresWithoutACurrentRecordAreLoggedAsFalse) {
  rs_->MoveNext();
  ASSERT_TRUE(rs_->Eof());
  EXPECT_FALSE(utils_.SetFieldValue(rs_, "Count", ado::Variant(int32_t{1})));
  EXPECT_FALSE(utils_.SetFieldValue(rs_, "City", ado::Variant("Rome")));
  EXPECT_EQ(capture_.Warnings(),
            (std::vector<std::string>{"CQvRSRecUtils.SetFieldValue", ".SetFieldValue_String"}));
  EXPECT_EQ(capture_.Entries()[0].error.number, core::kErrNoCurrentRecord);
}

TEST(basADOUtilities, FieldExistsIgnoresCaseAndNeverFails) {
  auto rs = MakeRecordset({{"tSQLSelect"}}, {});
  EXPECT_TRUE(FieldExists(rs, "tSQLSelect"));
  EXPECT_TRUE(FieldExists(rs, "TSQLSELECT"));
  EXPECT_FALSE(FieldExists(rs, "tSQLOrderBy"));
  EXPECT_FALSE(FieldExists(nullptr, "tSQLSelect"));
  EXPECT_FALSE(FieldExists(std::make_shared<ado::Recordset>(), "tSQLSelect"));
}

}  // namespace
}  // namespace qv
