#include "shared/QvSharedStrings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Error.h"

namespace qv {
namespace {

const std::vector<std::string> kSamples = {
    "",
    "plain",
    "a b&c=d?e",
    "Grüße, Zoë – 20 €",
    "日本語のテキスト",
    "emoji \xF0\x9F\x98\x80 outside the BMP",
    "quotes ' \" and <xml> & entities",
    "100% %41 %%",
    "line one\r\nline two\ttab",
    std::string("nul\0inside", 10),
    "+/=~-._",
};

int ErrorNumberOf(void (*call)()) {
  try {
    call();
  } catch (const core::Error& e) {
    return e.number();
  }
  return 0;
}

TEST(QvSharedStrings, BothEncodingsRoundTripAnyText) {
  for (const std::string& text : kSamples) {
    EXPECT_EQ(QvSharedStrings::Decode1(QvSharedStrings::Encode1(text)), text) << text;
    EXPECT_EQ(QvSharedStrings::Decode6(QvSharedStrings::Encode6(text, 0), 0), text) << text;
  }
}

TEST(QvSharedStrings, EncodedTextIsPlainAsciiWithoutXmlSpecials) {
  for (const std::string& text : kSamples) {
    for (const std::string& encoded :
         {QvSharedStrings::Encode1(text), QvSharedStrings::Encode6(text, 0)}) {
      for (char c : encoded) {
        const auto u = static_cast<unsigned char>(c);
        EXPECT_TRUE(u > 0x20 && u < 0x7F) << encoded;
        EXPECT_TRUE(c != '<' && c != '>' && c != '&' && c != '"' && c != '\'') << encoded;
      }
    }
  }
}

TEST(QvSharedStrings, Encode1KeepsUnreservedAndEscapesUtf8Bytes) {
  EXPECT_EQ(QvSharedStrings::Encode1("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(QvSharedStrings::Encode1("a b&c"), "a%20b%26c");
  EXPECT_EQ(QvSharedStrings::Encode1("é\n%"), "%C3%A9%0A%25");
  EXPECT_EQ(QvSharedStrings::Decode1("%c3%a9"), "é");
}

TEST(QvSharedStrings, Encode6FollowsRfc4648) {
  EXPECT_EQ(QvSharedStrings::Encode6(""), "");
  EXPECT_EQ(QvSharedStrings::Encode6("f"), "Zg==");
  EXPECT_EQ(QvSharedStrings::Encode6("fo"), "Zm8=");
  EXPECT_EQ(QvSharedStrings::Encode6("foo"), "Zm9v");
  EXPECT_EQ(QvSharedStrings::Encode6("foobar"), "Zm9vYmFy");
  EXPECT_EQ(QvSharedStrings::Encode6("\xEF\xBF\xBF"), "77+/");
  EXPECT_EQ(QvSharedStrings::Decode6("Zm9vYg=="), "foob");
}

TEST(QvSharedStrings, Decode1RejectsMalformedEscapesAndInvalidUtf8) {
  for (const char* bad : {"%", "abc%", "%4", "%G1", "%4g", "%FF", "%C3", "%C3%28", "%ED%A0%80"}) {
    try {
      QvSharedStrings::Decode1(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const core::Error& e) {
      EXPECT_EQ(e.number(), core::kErrInvalidProcedureCall) << bad;
    }
  }
}

TEST(QvSharedStrings, Decode6RejectsMalformedInputAndInvalidUtf8) {
  for (const char* bad : {"Zg=", "Zg", "Zg==Zg==", "Z===", "====", "Zh==", "Zm9=", "Zm9v YmFy",
                          "Zm9*", "Zm=v", "Zm9v\n", "/w==", "wyg="}) {
    try {
      QvSharedStrings::Decode6(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const core::Error& e) {
      EXPECT_EQ(e.number(), core::kErrInvalidProcedureCall) << bad;
    }
  }
  EXPECT_EQ(ErrorNumberOf([] { QvSharedStrings::Decode6("QQ=A"); }),
            core::kErrInvalidProcedureCall);
}

TEST(QvSharedStrings, ToTextGivesEmptyForNullAndEmpty) {
  EXPECT_EQ(QvSharedStrings::ToText(ado::Variant::Null()), "");
  EXPECT_EQ(QvSharedStrings::ToText(ado::Variant()), "");
  EXPECT_EQ(QvSharedStrings::ToText(ado::Variant(int32_t{12})), "12");
  EXPECT_EQ(QvSharedStrings::ToText(ado::Variant("text")), "text");
}

}  // namespace
}  // namespace qv
