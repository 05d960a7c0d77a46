#include <gtest/gtest.h>

#include "ado/Text.h"

namespace ado {
namespace {

TEST(Text, CountsCodePointsNotBytes) {
  EXPECT_EQ(CodePointCount(""), 0u);
  EXPECT_EQ(CodePointCount("abc"), 3u);
  EXPECT_EQ(CodePointCount("Soße €"), 6u);
  EXPECT_EQ(CodePointCount("😀x"), 2u);
  EXPECT_EQ(CodePointPrefix("Soße €", 4), "Soße");
  EXPECT_EQ(CodePointPrefix("ab", 5), "ab");
}

TEST(Text, FoldsUnicodeCase) {
  EXPECT_TRUE(EqualsIgnoreCase("PARIS", "paris"));
  EXPECT_TRUE(EqualsIgnoreCase("ÄÖÜ", "äöü"));
  EXPECT_TRUE(EqualsIgnoreCase("STRASSE", "straße"));
  EXPECT_FALSE(EqualsIgnoreCase("Paris", "Pari"));
}

TEST(Text, ValidatesUtf8) {
  EXPECT_TRUE(IsValidUtf8("Soße"));
  EXPECT_FALSE(IsValidUtf8("\xC3"));
  EXPECT_FALSE(IsValidUtf8("\xFF\xFE"));
}

}  // namespace
}  // namespace ado
