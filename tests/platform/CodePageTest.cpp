#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include "core/Error.h"

namespace qv::platform {
namespace {

TEST(CodePage, Windows1252RoundTripsEveryByte) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
  CodePage page(kCodePageWindows1252);
  std::string utf8 = page.ToUtf8(all);
  EXPECT_TRUE(page.CanRepresent(utf8));
  EXPECT_EQ(page.FromUtf8(utf8), all);
}

TEST(CodePage, Windows1252MapsTheEuroAndAccents) {
  EXPECT_EQ(CodePageToUtf8("\x80", kCodePageWindows1252), "€");
  EXPECT_EQ(CodePageToUtf8("caf\xE9 \x93q\x94", kCodePageWindows1252), "café “q”");
  EXPECT_EQ(Utf8ToCodePage("€5 é", kCodePageWindows1252),
            "\x80"
            "5 \xE9");
  // Bytes 1252 leaves unassigned come back as the C1 control of the same value.
  EXPECT_EQ(CodePageToUtf8("\x81", kCodePageWindows1252), "\xC2\x81");
}

TEST(CodePage, CharactersOutside1252AreDetectedAndReplaced) {
  CodePage page(kCodePageAnsi);
  EXPECT_EQ(page.Number(), kCodePageWindows1252);
  EXPECT_TRUE(page.CanRepresent("Grüße, 10 €"));
  EXPECT_FALSE(page.CanRepresent("Łódź"));
  EXPECT_FALSE(page.CanRepresent("emoji 😀"));
  EXPECT_FALSE(page.CanRepresent("bad \xC3"));
  EXPECT_EQ(page.FromUtf8("a\xC4\x80z"), "a?z");  // U+0100
  EXPECT_EQ(page.FromUtf8("x😀y"), "x?y");
  EXPECT_EQ(page.FromUtf8("bad\xFF"), "bad?");
}

TEST(CodePage, Utf16LittleEndianBothWays) {
  const std::string bytes("a\0\xAC\x20\x3D\xD8\x00\xDE", 8);  // a, €, U+1F600
  EXPECT_EQ(Utf8ToCodePage("a€😀", kCodePageUtf16Le), bytes);
  EXPECT_EQ(CodePageToUtf8(bytes, kCodePageUtf16Le), "a€😀");
  // A lone surrogate and a dangling odd byte each decode as U+FFFD.
  EXPECT_EQ(CodePageToUtf8(std::string("\x3D\xD8x\0z", 5), kCodePageUtf16Le), "�x�");
}

TEST(CodePage, Utf8PageRepairsInvalidBytes) {
  CodePage page(kCodePageUtf8);
  EXPECT_EQ(page.ToUtf8("ok"), "ok");
  EXPECT_EQ(page.ToUtf8("a\xFF"
                        "b"),
            "a�b");
  EXPECT_TRUE(page.CanRepresent("Łódź"));
  EXPECT_FALSE(page.CanRepresent("\xC0\x80"));
}

TEST(CodePage, UnsupportedNumberThrows) {
  EXPECT_THROW(CodePage(437), core::Error);
  EXPECT_THROW(Utf8ToCodePage("x", 28591), core::Error);
}

TEST(CodePage, DecodesTextFilesByTheirMark) {
  EXPECT_EQ(DecodeTextFileBytes("\xEF\xBB\xBFplain"), "plain");
  EXPECT_EQ(DecodeTextFileBytes(std::string("\xFF\xFEh\0i\0", 6)), "hi");
  EXPECT_EQ(DecodeTextFileBytes("Soße"), "Soße");
  EXPECT_EQ(DecodeTextFileBytes("So\xDF"
                                "e"),
            "Soße");  // not UTF-8: Windows-1252
}

}  // namespace
}  // namespace qv::platform
