#include "shared/QvSharedConvert.h"

#include <gtest/gtest.h>

#include "core/Error.h"
#include "shared/TextFormatter.h"

namespace qv {
namespace {

TEST(QvSharedConvert, EmptyValuesGiveZeroAndNumbersConvert) {
  EXPECT_EQ(QvSharedConvert::ToInteger(ado::Variant()), 0);
  EXPECT_EQ(QvSharedConvert::ToInteger(ado::Variant("")), 0);
  EXPECT_EQ(QvSharedConvert::ToInteger(ado::Variant("4")), 4);
  EXPECT_EQ(QvSharedConvert::ToInteger(ado::Variant(int32_t{-17})), -17);
  EXPECT_EQ(QvSharedConvert::ToInteger(ado::Variant(2.5)), 2);  // half to even
}

TEST(QvSharedConvert, NullAndNonNumericTextThrow) {
  EXPECT_THROW(QvSharedConvert::ToInteger(ado::Variant::Null()), core::Error);
  EXPECT_THROW(QvSharedConvert::ToInteger(ado::Variant("seven")), core::Error);
}

TEST(TextFormatter, FillsPlaceholdersInListOrder) {
  EXPECT_EQ(TextFormatter::Format("%1 - %2", {"Paris", "France"}), "Paris - France");
  EXPECT_EQ(TextFormatter::Format("%2/%1/%2", {"a", "b"}), "b/a/b");
  EXPECT_EQ(TextFormatter::Format("%1", {""}), "");
}

TEST(TextFormatter, LeavesUnmatchedPercentSignsAlone) {
  EXPECT_EQ(TextFormatter::Format("100% of %3 and %0", {"x"}), "100% of %3 and %0");
  EXPECT_EQ(TextFormatter::Format("%", {"x"}), "%");
  EXPECT_EQ(TextFormatter::Format("%1%", {"x"}), "x%");
}

TEST(TextFormatter, ReadsTwoDigitPlaceholders) {
  std::vector<std::string> values;
  for (int i = 1; i <= 12; ++i) values.push_back("v" + std::to_string(i));
  EXPECT_EQ(TextFormatter::Format("%12,%1,%10", values), "v12,v1,v10");
}

}  // namespace
}  // namespace qv
