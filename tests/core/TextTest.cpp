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

TEST(Text, TrimsOnlyTheGivenBlanksAtTheEnds) {
  struct Case {
    std::string_view text, blanks, trimmed, start_trimmed;
  };
  for (const Case& c :
       {Case{" \ta b\t ", " \t", "a b", "a b\t "}, Case{" \ta b\t ", " ", "\ta b\t", "\ta b\t "},
        Case{"\r\n x \n", " \t\r\n", "x", "x \n"}, Case{" \t ", " \t", "", ""},
        Case{"", " ", "", ""}}) {
    EXPECT_EQ(core::Trim(c.text, c.blanks), c.trimmed) << c.text;
    EXPECT_EQ(core::TrimStart(c.text, c.blanks), c.start_trimmed) << c.text;
  }
  EXPECT_EQ(core::Trim(" \tx\t "), "x");
}

TEST(Text, TakesOnlyTheGivenCharactersForBlanks) {
  struct Case {
    std::string_view text, blanks;
    bool blank;
  };
  for (const Case& c : {Case{"", " ", true}, Case{"   ", " ", true}, Case{" \t ", " ", false},
                        Case{" \t ", " \t", true}, Case{" x ", " \t", false},
                        Case{std::string_view("\0", 1), " ", false}}) {
    EXPECT_EQ(core::IsBlank(c.text, c.blanks), c.blank) << c.text;
    if (c.text.size() == 1) {
      EXPECT_EQ(core::IsBlank(c.text[0], c.blanks), c.blank) << c.text;
    }
  }
  EXPECT_TRUE(core::IsBlank('\n', " \t\r\n"));
  EXPECT_FALSE(core::IsBlank('\f', " \t\r\n"));
}

TEST(Text, MeasuresUtf8SequencesByTheirLead) {
  EXPECT_EQ(core::Utf8SequenceLength('a'), 1u);
  EXPECT_EQ(core::Utf8SequenceLength(0xC3), 2u);  // ß
  EXPECT_EQ(core::Utf8SequenceLength(0xE2), 3u);  // €
  EXPECT_EQ(core::Utf8SequenceLength(0xF0), 4u);  // 😀
  EXPECT_EQ(core::Utf8SequenceLength(0x80), 1u);  // a continuation byte
  EXPECT_EQ(core::Utf8SequenceLength(0xFF), 1u);
}

}  // namespace
}  // namespace ado
