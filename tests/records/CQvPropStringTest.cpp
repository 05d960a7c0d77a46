#include "records/CQvPropString.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

ado::Variant Extras(std::initializer_list<ado::Variant> items) {
  return ado::Variant(ado::Array{0, items});
}

TEST(CQvPropString, EncodesTheSyntaxCharacters) {
  CQvPropString prop;
  EXPECT_EQ(prop.Encode("a=1&b=2"), "a%3D1%26b%3D2");
  EXPECT_EQ(prop.Encode("x;y"), "x%3By");
  EXPECT_EQ(prop.Encode(""), "");
  EXPECT_EQ(prop.Decode("a%3D1%26b%3D2"), "a=1&b=2");
  EXPECT_EQ(prop.Decode(""), "");
}

TEST(CQvPropString, DecodeLeavesOtherEscapesAlone) {
  CQvPropString prop;
  EXPECT_EQ(prop.Decode("a%20b%3d%3D"), "a%20b%3d=");
  EXPECT_EQ(prop.Decode("100%"), "100%");
}

TEST(CQvPropString, RoundTripsTextThatAlreadyHoldsEscapes) {
  CQvPropString prop;
  EXPECT_EQ(prop.Encode("50%"), "50%25");
  for (const char* text : {"%3D", "a%26b=c", "%", "%%25;", "Grüße=€ & 100% ; %3b", "==&&;;"}) {
    EXPECT_EQ(prop.Decode(prop.Encode(text)), text) << text;
    std::string encoded = prop.Encode(text);
    EXPECT_EQ(encoded.find_first_of("&;="), std::string::npos) << encoded;
  }
}

TEST(CQvPropString, ExtraCharactersAreEscapedToo) {
  CQvPropString prop;
  ado::Variant slash = Extras({"/"});
  EXPECT_EQ(prop.Encode("a/b", slash), "a%2Fb");
  EXPECT_EQ(prop.Decode("a%2Fb", slash), "a/b");
  EXPECT_EQ(prop.Decode("a%2Fb"), "a%2Fb");  // without the extra it stays escaped
  // A repeated syntax character is escaped once; characters that escape to themselves,
  // numbers, "%" and anything that is not an array change nothing.
  EXPECT_EQ(prop.Encode("&", Extras({"&"})), "%26");
  EXPECT_EQ(prop.Encode("a-5%", Extras({"a", "-", int32_t{5}, "%"})), "a-5%25");
  EXPECT_EQ(prop.Encode("a/b", ado::Variant("/")), "a/b");
  ado::Variant accents = Extras({"é", " "});
  EXPECT_EQ(prop.Encode("é è", accents), "%E9%20è");
  EXPECT_EQ(prop.Decode(prop.Encode("é è%20", accents), accents), "é è%20");
}

}  // namespace
}  // namespace qv
