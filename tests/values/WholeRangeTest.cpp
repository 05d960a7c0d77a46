#include <gtest/gtest.h>

#include <limits>

#include "core/Error.h"
#include "values/Variant.h"

namespace ado {
namespace {

template <typename T>
void ExpectRange(VarType type) {
  SCOPED_TRACE(static_cast<int>(type));
  const std::optional<WholeRange> range = WholeRangeOf(type);
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->min, static_cast<int64_t>(std::numeric_limits<T>::min()));
  EXPECT_EQ(range->max, static_cast<int64_t>(std::numeric_limits<T>::max()));
  // Variant::Integer takes both ends and refuses one beyond either (where int64_t has one).
  EXPECT_EQ(Variant::Integer(type, range->min).AsInt64(), range->min);
  EXPECT_EQ(Variant::Integer(type, range->max).AsInt64(), range->max);
  if (range->min > std::numeric_limits<int64_t>::min()) {
    EXPECT_THROW(Variant::Integer(type, range->min - 1), core::Error);
  }
  if (range->max < std::numeric_limits<int64_t>::max()) {
    EXPECT_THROW(Variant::Integer(type, range->max + 1), core::Error);
  }
}

TEST(Variant, WholeRangeOfEachWholeTypeBoundsIntegers) {
  ExpectRange<int8_t>(VarType::kI1);
  ExpectRange<uint8_t>(VarType::kUI1);
  ExpectRange<int16_t>(VarType::kI2);
  ExpectRange<uint16_t>(VarType::kUI2);
  ExpectRange<int32_t>(VarType::kI4);
  ExpectRange<uint32_t>(VarType::kUI4);
  ExpectRange<int64_t>(VarType::kI8);
}

TEST(Variant, WholeRangeOfIsEmptyForUi8AndOtherTypes) {
  for (VarType type : {VarType::kUI8, VarType::kR8, VarType::kCurrency, VarType::kBool,
                       VarType::kString, VarType::kDecimal}) {
    EXPECT_FALSE(WholeRangeOf(type).has_value()) << static_cast<int>(type);
  }
}

}  // namespace
}  // namespace ado
