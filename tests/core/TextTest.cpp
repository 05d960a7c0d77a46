#include <gtest/gtest.h>

#include "core/Text.h"

namespace ado {
namespace {

TEST(Text, CountsCodePointsNotBytes) {
  EXPECT_EQ(core::CodePointCount(""), 0u);
  EXPECT_EQ(core::CodePointCount("abc"), 3u);
  EXPECT_EQ(core::CodePointCount("Soße €"), 6u);
  EXPECT_EQ(core::CodePointCount("😀x"), 2u);
  EXPECT_EQ(core::CodePointPrefix("Soße €", 4), "Soße");
  EXPECT_EQ(core::CodePointPrefix("ab", 5), "ab");
}

TEST(Text, FoldsUnicodeCase) {
  EXPECT_TRUE(core::EqualsIgnoreCase("PARIS", "paris"));
  EXPECT_TRUE(core::EqualsIgnoreCase("ÄÖÜ", "äöü"));
  EXPECT_TRUE(core::EqualsIgnoreCase("STRASSE", "straße"));
  EXPECT_FALSE(core::EqualsIgnoreCase("Paris", "Pari"));
}

TEST(Text, ValidatesUtf8) {
  EXPECT_TRUE(core::IsValidUtf8("Soße"));
  EXPECT_FALSE(core::IsValidUtf8("\xC3"));
  EXPECT_FALSE(core::IsValidUtf8("\xFF\xFE"));
}

}  // namespace
}  // namespace ado
