#include "util/basCQvStringManipulation.h"

#include <gtest/gtest.h>

#include "core/Error.h"

namespace qv {
namespace {

ado::Variant List(std::initializer_list<ado::Variant> items) {
  return ado::Variant(ado::Array{0, items});
}

TEST(basCQvStringManipulation, UrlEncodeKeepsOnlyLettersAndDigits) {
  EXPECT_EQ(QvStrMan_UrlEncode("a b&c"), "a%20b%26c");
  EXPECT_EQ(QvStrMan_UrlEncode("it's (ok)!"), "it%27s%20%28ok%29%21");
  EXPECT_EQ(QvStrMan_UrlEncode("-._~+"), "%2D%2E%5F%7E%2B");
  EXPECT_EQ(QvStrMan_UrlEncode("AZaz09"), "AZaz09");
  EXPECT_EQ(QvStrMan_UrlEncode(""), "");
}

TEST(basCQvStringManipulation, EncodeURIComponentAlsoKeepsTheMarks) {
  EXPECT_EQ(QvStrMan_EncodeURIComponent("a b&c"), "a%20b%26c");
  EXPECT_EQ(QvStrMan_EncodeURIComponent("it's (ok)!"), "it's%20(ok)!");
  EXPECT_EQ(QvStrMan_EncodeURIComponent("-._~*"), "-._~*");
  EXPECT_EQ(QvStrMan_EncodeURIComponent("a/b?c=d"), "a%2Fb%3Fc%3Dd");
}

TEST(basCQvStringManipulation, CodesBelowSixteenGetALeadingZero) {
  EXPECT_EQ(QvStrMan_UrlEncode("\n"), "%0A");
  EXPECT_EQ(QvStrMan_EncodeURIComponent("a\tb\x01"), "a%09b%01");
  EXPECT_EQ(QvStrMan_UrlEncode(std::string("\0", 1)), "%00");
}

TEST(basCQvStringManipulation, NonAsciiCharactersEncodeAsOneWindows1252Byte) {
  EXPECT_EQ(QvStrMan_UrlEncode("é"), "%E9");
  EXPECT_EQ(QvStrMan_EncodeURIComponent("Grüße €"), "Gr%FC%DFe%20%80");
  // Characters outside Windows-1252 become its replacement character "?".
  EXPECT_EQ(QvStrMan_EncodeURIComponent("Łx😀"), "%3Fx%3F");
}

TEST(basCQvStringManipulation, EncodeStringModes) {
  EXPECT_EQ(EncodeString("a b(", 1), "a%20b%28");
  EXPECT_EQ(EncodeString("a b(", 4), "a%20b(");
  EXPECT_EQ(EncodeString("a b(", 2), "a b(");
  EXPECT_EQ(URIEscapeChar("~"), "~");
  EXPECT_EQ(URIEscapeChar("é"), "%E9");
}

TEST(basCQvStringManipulation, URLEncodeCharReportsTheCodeItUsed) {
  int32_t code = -1;
  EXPECT_EQ(URLEncodeChar("é", code), "%E9");
  EXPECT_EQ(code, 0xE9);
  code = -1;
  EXPECT_EQ(URLEncodeChar("€", code), "%80");
  EXPECT_EQ(code, 0x80);
  // A code given by the caller is used as it is.
  code = 65;
  EXPECT_EQ(URLEncodeChar("%", code), "%");
  code = 10;
  EXPECT_EQ(URLEncodeChar("x", code), "%0A");
  code = -1;
  EXPECT_EQ(URLEncodeChar("", code), "");  // no character: a reported failure
}

TEST(basCQvStringManipulation, GetFieldPicksDelimitedFields) {
  const std::string unc = "\\\\srv\\share\\dir";
  EXPECT_EQ(QvStrMan_GetField(unc, 3, "\\"), "srv");
  EXPECT_EQ(QvStrMan_GetField(unc, 4, "\\"), "share");
  EXPECT_EQ(QvStrMan_GetField(unc, 5, "\\"), "dir");
  EXPECT_EQ(QvStrMan_GetField(unc, 6, "\\"), "");
  EXPECT_EQ(QvStrMan_GetField(unc, 0, "\\"), "");
  EXPECT_EQ(QvStrMan_GetField(unc, -3, "\\"), "");
  EXPECT_EQ(QvStrMan_GetField(unc, 1, "\\"), "");
  EXPECT_EQ(QvStrMan_GetField("a,,c", 2, ","), "");
  EXPECT_EQ(QvStrMan_GetField("a,,c", 3, ","), "c");
  EXPECT_EQ(QvStrMan_GetField("no delimiter", 1, ","), "no delimiter");
  EXPECT_EQ(QvStrMan_GetField("a,b", 2147483647, ","), "");
}

TEST(basCQvStringManipulation, GetFieldCountsCharactersAndIgnoresCase) {
  EXPECT_EQ(QvStrMan_GetField("äöXüßxZ", 2, "x"), "üß");
  EXPECT_EQ(QvStrMan_GetField("äöXüßxZ", 3, "X"), "Z");
  EXPECT_EQ(QvStrMan_GetField("1ÉTÉ2été3", 3, "été"), "3");
  // A delimiter of several characters is skipped whole.
  EXPECT_EQ(QvStrMan_GetField("a::b::c", 2, "::"), "b");
  EXPECT_EQ(QvStrMan_GetField("a::b::c", 3, "::"), "c");
}

TEST(basCQvStringManipulation, StripRemovesOnePrefixOrSuffixAfterTrimming) {
  EXPECT_EQ(QvStrMan_StripTrailing("  C:\\Data\\  ", "\\"), "C:\\Data");
  EXPECT_EQ(QvStrMan_StripLeading("abcabc", "ABC"), "abc");
  EXPECT_EQ(QvStrMan_StripLeading("  abc  ", "x"), "abc");
  EXPECT_EQ(QvStrMan_StripLeading("ab", "abc"), "ab");
  EXPECT_EQ(QvStrMan_StripLeading("abc", ""), "abc");
  EXPECT_EQ(QvStrMan_StripLeading("   ", "a"), "");
  EXPECT_EQ(QvStrMan_StripLeading("ÄÖÜ-rest", "äöü"), "-rest");
  EXPECT_EQ(QvStrMan_StripTrailing("file.TXT", ".txt"), "file");
  EXPECT_EQ(QvStrMan_StripTrailing("x.txt", "longer.txt"), "x.txt");
  // Nothing is trimmed after the prefix is gone; tabs are not spaces.
  EXPECT_EQ(QvStrMan_StripLeading("ab cd", "ab"), " cd");
  EXPECT_EQ(QvStrMan_StripLeading("\tab", "ab"), "\tab");
}

TEST(basCQvStringManipulation, ReplaceStringVarTrimsAndReplacesInOrder) {
  EXPECT_EQ(QvStrMan_ReplaceStringVar("  x  ", ado::Variant(), ado::Variant()), "x");
  EXPECT_EQ(QvStrMan_ReplaceStringVar("  x  ", ado::Variant("x"), List({"y"})), "x");
  EXPECT_EQ(QvStrMan_ReplaceStringVar(" Hello World ", List({"WORLD", "o"}), List({"there", "0"})),
            "Hell0 there");
  // Each pass works on the result of the one before.
  EXPECT_EQ(QvStrMan_ReplaceStringVar("ab", List({"a", "b"}), List({"b", "c"})), "cc");
  // Replaced text is not scanned again.
  EXPECT_EQ(QvStrMan_ReplaceStringVar("aaa", List({"a"}), List({"aa"})), "aaaaaa");
  // Values are taken as text.
  EXPECT_EQ(QvStrMan_ReplaceStringVar("1 + 1", List({int32_t{1}}), List({"one"})), "one + one");
  EXPECT_EQ(QvStrMan_ReplaceStringVar("a", List({ado::Variant()}), List({"b"})), "a");
  // Case folding as core::EqualsIgnoreCase does it: ß matches "ss", but only whole.
  EXPECT_EQ(QvStrMan_ReplaceStringVar("Straße", List({"SSE"}), List({"ss"})), "Strass");
  EXPECT_EQ(QvStrMan_ReplaceStringVar("Straße", List({"se"}), List({"X"})), "Straße");
  EXPECT_EQ(QvStrMan_ReplaceStringVar("ÄRGER", List({"ä"}), List({"ae"})), "aeRGER");
}

TEST(basCQvStringManipulation, ReplaceStringVarFailsOnAShortReplacementList) {
  EXPECT_EQ(QvStrMan_ReplaceStringVar("a b", List({"a", "b"}), List({"x"})), "");
  EXPECT_EQ(QvStrMan_ReplaceStringVar("a b", List({"a"}), ado::Variant("x")), "");
}

TEST(basCQvStringManipulation, GetNullTerminatedStringCutsAtTheFirstNul) {
  EXPECT_EQ(QvStrMan_GetNullTerminatedString(std::string("abc\0def\0", 8)), "abc");
  EXPECT_EQ(QvStrMan_GetNullTerminatedString(std::string("\0x", 2)), "");
  EXPECT_EQ(QvStrMan_GetNullTerminatedString("whole"), "whole");
}

TEST(basCQvStringManipulation, VarToStrAndEscapeSQLQuotes) {
  EXPECT_EQ(QvStrMan_VarToStr(ado::Variant()), "");
  EXPECT_EQ(QvStrMan_VarToStr(ado::Variant::Null()), "");
  EXPECT_EQ(QvStrMan_VarToStr(ado::Variant(int32_t{12})), "12");
  EXPECT_EQ(QvStrMan_VarToStr(ado::Variant(true)), "True");
  EXPECT_THROW(QvStrMan_VarToStr(List({"a"})), core::Error);

  EXPECT_EQ(QvStrMan_EscapeSQLQuotes(ado::Variant("O'Brien")), "O''Brien");
  EXPECT_EQ(QvStrMan_EscapeSQLQuotes(ado::Variant("''")), "''''");
  EXPECT_EQ(QvStrMan_EscapeSQLQuotes(ado::Variant(int32_t{7})), "7");
  EXPECT_EQ(QvStrMan_EscapeSQLQuotes(ado::Variant()), "");
  try {
    QvStrMan_EscapeSQLQuotes(ado::Variant::Null());
    ADD_FAILURE() << "null must not become a SQL literal";
  } catch (const core::Error& error) {
    EXPECT_EQ(error.number(), core::kErrInvalidUseOfNull);
  }
}

}  // namespace
}  // namespace qv
