#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/Error.h"
#include "values/FieldValue.h"
#include "values/Filter.h"

namespace ado {
namespace {

struct Row {
  const char* name;
  Variant qty;
  Variant when;
  Variant note;
  bool flag;
};

class FilterCriteriaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fields_ = {AppendedFieldDef("Name", adVarWChar, 50, adFldUnspecified),
               AppendedFieldDef("Qty", adInteger, 0, adFldUnspecified),
               AppendedFieldDef("When", adDate, 0, adFldUnspecified),
               AppendedFieldDef("Last Note", adVarWChar, 50, adFldUnspecified),
               AppendedFieldDef("Flag", adBoolean, 0, adFldUnspecified)};
    store_ = RecordStore(fields_.size());
    const Row rows[] = {
        {"Smith", Variant(int32_t{1}), Day(2024, 3, 1), Variant("a"), true},
        {"O'Brien", Variant(int32_t{2}), Day(2024, 3, 1, 12), Variant::Null(), false},
        {"smithers", Variant(int32_t{7}), Day(2023, 12, 31), Variant("b"), true},
        {"ÄRGER", Variant(int32_t{-3}), Variant::Null(), Variant("a"), false},
        {"Blacksmith", Variant::Null(), Day(2024, 1, 15), Variant(""), false},
    };
    for (const Row& row : rows) {
      const size_t r = store_.AppendRecord();
      store_.SetText(r, 0, row.name);
      store_.Set(r, 1, row.qty);
      store_.Set(r, 2, row.when);
      store_.Set(r, 3, row.note);
      store_.SetBool(r, 4, row.flag);
    }
  }

  static Variant Day(int y, int m, int d, int h = 0) {
    Date::Parts p;
    p.year = y;
    p.month = m;
    p.day = d;
    p.hour = h;
    return Variant(Date::FromParts(p));
  }

  // Names of the records the criteria select, joined with commas.
  std::string Select(const std::string& criteria) {
    const FilterCriteria c = FilterCriteria::Parse(criteria, fields_);
    std::string out;
    for (size_t r = 0; r < store_.RecordCount(); ++r) {
      if (!c.Matches(store_, r)) continue;
      if (!out.empty()) out += ",";
      out += store_.TextAt(r, 0);
    }
    return out;
  }

  // The message of the error the criteria raise; fails the test when they parse.
  std::string ParseError(const std::string& criteria) {
    try {
      FilterCriteria::Parse(criteria, fields_);
    } catch (const core::Error& e) {
      EXPECT_EQ(e.number(), core::kErrInvalidArgument) << criteria;
      return e.what();
    }
    ADD_FAILURE() << "parsed: " << criteria;
    return {};
  }

  std::vector<FieldDef> fields_;
  RecordStore store_;
};

TEST_F(FilterCriteriaTest, TextComparesIgnoringCaseWithQuotesDoubled) {
  EXPECT_EQ(Select("Name = 'SMITH'"), "Smith");
  EXPECT_EQ(Select("name='o''brien'"), "O'Brien");
  EXPECT_EQ(Select("Name = \"O'Brien\""), "O'Brien");
  EXPECT_EQ(Select("Name = 'ärger'"), "ÄRGER");
  EXPECT_EQ(Select("Name <> 'smith'"), "O'Brien,smithers,ÄRGER,Blacksmith");
  EXPECT_EQ(Select("Name < 'p'"), "O'Brien,Blacksmith");
  EXPECT_EQ(Select("[Last Note] = 'A'"), "Smith,ÄRGER");
  EXPECT_EQ(Select("[Last Note] = ''"), "Blacksmith");
  EXPECT_EQ(Select("   "), "Smith,O'Brien,smithers,ÄRGER,Blacksmith");
}

TEST_F(FilterCriteriaTest, NumbersCompareByValue) {
  EXPECT_EQ(Select("Qty > 1"), "O'Brien,smithers");
  EXPECT_EQ(Select("Qty = '7'"), "smithers");
  EXPECT_EQ(Select("Qty = 7.0"), "smithers");
  EXPECT_EQ(Select("Qty <= -3"), "ÄRGER");
  EXPECT_EQ(Select("Qty >= $2"), "O'Brien,smithers");
  EXPECT_EQ(Select("Qty < 1.5"), "Smith,ÄRGER");
  // A number compared with a text field compares as the text written.
  EXPECT_EQ(Select("Name = 5"), "");
}

TEST_F(FilterCriteriaTest, DatesReadIsoAndUsForms) {
  EXPECT_EQ(Select("When = #2024-03-01#"), "Smith");
  EXPECT_EQ(Select("When >= #3/1/2024#"), "Smith,O'Brien");
  EXPECT_EQ(Select("When = #2024-03-01 12:00#"), "O'Brien");
  EXPECT_EQ(Select("When < '2024-01-01'"), "smithers");
}

TEST_F(FilterCriteriaTest, BooleansReadTextAndNumbers) {
  EXPECT_EQ(Select("Flag = 'true'"), "Smith,smithers");
  EXPECT_EQ(Select("Flag = 0"), "O'Brien,ÄRGER,Blacksmith");
  EXPECT_EQ(Select("Flag = TRUE AND Qty > 1"), "smithers");
}

TEST_F(FilterCriteriaTest, AndBindsTighterThanOrAndParenthesesGroup) {
  EXPECT_EQ(Select("Qty = 1 OR Qty = 7 AND Name = 'x'"), "Smith");
  EXPECT_EQ(Select("(Qty = 1 OR Qty = 7) AND Name LIKE 'smith*'"), "Smith,smithers");
  EXPECT_EQ(Select("Name = 'x' or Qty = 2 and (Flag = 0 or Qty = 99)"), "O'Brien");
  EXPECT_EQ(Select("((Qty = 2))"), "O'Brien");
}

TEST_F(FilterCriteriaTest, LikeTakesWildcardsAnywhere) {
  EXPECT_EQ(Select("Name LIKE 'smith*'"), "Smith,smithers");
  EXPECT_EQ(Select("Name LIKE '%smith'"), "Smith,Blacksmith");
  EXPECT_EQ(Select("Name LIKE '*MIT*'"), "Smith,smithers,Blacksmith");
  EXPECT_EQ(Select("Name LIKE 's*s'"), "smithers");
  EXPECT_EQ(Select("Name LIKE 'smith'"), "Smith");
  EXPECT_EQ(Select("Name LIKE 'ä*'"), "ÄRGER");
  EXPECT_EQ(Select("Name like '*'"), "Smith,O'Brien,smithers,ÄRGER,Blacksmith");
}

TEST_F(FilterCriteriaTest, NullMatchesOnlyNullTests) {
  EXPECT_EQ(Select("[Last Note] <> 'zzz'"), "Smith,smithers,ÄRGER,Blacksmith");
  EXPECT_EQ(Select("[Last Note] IS NULL"), "O'Brien");
  EXPECT_EQ(Select("[Last Note] = NULL"), "O'Brien");
  EXPECT_EQ(Select("Qty is not null AND When IS NULL"), "ÄRGER");
  EXPECT_EQ(Select("Qty <> NULL"), "Smith,O'Brien,smithers,ÄRGER");
}

TEST_F(FilterCriteriaTest, UnreadableCriteriaNameTheProblem) {
  EXPECT_NE(ParseError("Nope = 1").find("no field named 'Nope'"), std::string::npos);
  EXPECT_NE(ParseError("Name 'x'").find("operator"), std::string::npos);
  EXPECT_NE(ParseError("Name = 'x").find("unterminated"), std::string::npos);
  EXPECT_NE(ParseError("Name = x").find("quoted"), std::string::npos);
  EXPECT_NE(ParseError("Qty = 'abc'").find("does not convert"), std::string::npos);
  EXPECT_NE(ParseError("(Name = 'x'").find("')'"), std::string::npos);
  EXPECT_NE(ParseError("Name = 'x' AND").find("missing"), std::string::npos);
  EXPECT_NE(ParseError("When = #2024-13-45#").find("not a date"), std::string::npos);
  EXPECT_NE(ParseError("Name = 'x' Qty = 1").find("unexpected"), std::string::npos);
  EXPECT_NE(ParseError("Name >").find("missing"), std::string::npos);
  EXPECT_NE(ParseError("Qty > NULL").find("NULL"), std::string::npos);
}

TEST_F(FilterCriteriaTest, IndexProbeIsOfferedForEqualitiesOnly) {
  auto probe = FilterCriteria::Parse("Name = 'x' AND Qty > 1", fields_).IndexableEquality();
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->field, 0u);
  EXPECT_EQ(probe->key, *FilterKey(Variant("X"), FilterCriteria::Family::kText));
  EXPECT_TRUE(FilterCriteria::Parse("Qty > 1 AND Qty = 2", fields_).IndexableEquality());
  EXPECT_FALSE(FilterCriteria::Parse("Name = 'x' OR Qty = 2", fields_).IndexableEquality());
  EXPECT_FALSE(FilterCriteria::Parse("Name LIKE 'x'", fields_).IndexableEquality());
  EXPECT_FALSE(FilterCriteria::Parse("Name <> 'x'", fields_).IndexableEquality());
  EXPECT_FALSE(FilterCriteria::Parse("Name IS NULL", fields_).IndexableEquality());
}

TEST(FilterKey, EqualValuesShareAKey) {
  using F = FilterCriteria::Family;
  EXPECT_EQ(FilterKey(Variant(int32_t{5}), F::kNumber), FilterKey(Variant(5.0), F::kNumber));
  EXPECT_EQ(FilterKey(Variant(*Decimal::Parse("5.00")), F::kNumber),
            FilterKey(Variant(int64_t{5}), F::kNumber));
  EXPECT_EQ(FilterKey(Variant(Currency{50000}), F::kNumber), FilterKey(Variant("5"), F::kNumber));
  EXPECT_EQ(FilterKey(Variant(-0.0), F::kNumber), FilterKey(Variant(0.0), F::kNumber));
  EXPECT_EQ(FilterKey(Variant("STRASSE"), F::kText), FilterKey(Variant("straße"), F::kText));
  EXPECT_NE(FilterKey(Variant("5"), F::kText), FilterKey(Variant(int32_t{5}), F::kNumber));
  EXPECT_FALSE(FilterKey(Variant::Null(), F::kText));
  EXPECT_FALSE(FilterKey(Variant("abc"), F::kNumber));
}

// The index must select what a scan selects, whatever the spelling of the values.
TEST(FilterIndex, AgreesWithAScan) {
  std::vector<FieldDef> fields = {AppendedFieldDef("tSID", adVarWChar, 20, adFldUnspecified),
                                  AppendedFieldDef("n", adDouble, 0, adFldUnspecified)};
  RecordStore store(2);
  std::mt19937 rng(7);
  const char* spellings[] = {"id", "ID", "Id"};
  for (int i = 0; i < 2000; ++i) {
    const size_t r = store.AppendRecord();
    const int k = static_cast<int>(rng() % 300);
    if (k == 0) {
      store.SetNull(r, 0);
    } else {
      store.SetText(r, 0, spellings[rng() % 3] + std::to_string(k));
    }
    // Numbers stored under different types that compare equal.
    if (k % 3 == 0)
      store.SetInteger(r, 1, VarType::kI4, k % 40);
    else if (k % 3 == 1)
      store.SetDouble(r, 1, VarType::kR8, k % 40);
    else
      store.SetDecimal(r, 1, Decimal(k % 40, 0));
  }
  FilterIndex index;
  for (const std::string criteria :
       {"tSID = 'iD17'", "tSID = 'id299'", "tSID = 'nothing'", "n = 12", "n = '3'", "n = 12.5"}) {
    const FilterCriteria c = FilterCriteria::Parse(criteria, fields);
    auto probe = c.IndexableEquality();
    ASSERT_TRUE(probe) << criteria;
    std::vector<size_t> scanned;
    for (size_t r = 0; r < store.RecordCount(); ++r) {
      if (c.Matches(store, r)) scanned.push_back(r);
    }
    EXPECT_EQ(index.Lookup(store, fields, probe->field, probe->key), scanned) << criteria;
  }
  EXPECT_TRUE(index.Has(0));
  EXPECT_TRUE(index.Has(1));
  index.Drop(0);
  EXPECT_FALSE(index.Has(0));
  EXPECT_TRUE(index.Has(1));
}

}  // namespace
}  // namespace ado
