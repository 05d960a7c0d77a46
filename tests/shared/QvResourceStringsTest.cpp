#include "shared/QvResourceStrings.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

const char* const kIdentifiers[] = {"ERROR_TYPE_ID",
                                    "WARNING_TYPE_ID",
                                    "INFO_TYPE_ID",
                                    "orbPathNotFoundError3",
                                    "orbFileNotFoundError3",
                                    "orbFileReadOnlyError",
                                    "orbCouldNotGetAvailableDiskSpaceError2",
                                    "orbCopyingFileError"};

TEST(QvResourceStrings, EveryIdentifierHasATextInBothCultures) {
  QvResourceStrings english;
  QvResourceStrings german;
  german.SetCulture("de-de");
  EXPECT_EQ(german.Culture(), "de-DE");
  for (const char* identifier : kIdentifiers) {
    const std::string en = english.GetString(identifier);
    const std::string de = german.GetString(identifier);
    EXPECT_NE(en, identifier);
    EXPECT_NE(de, identifier);
    // Error texts carry their parameter placeholder in every culture.
    if (std::string(identifier).rfind("orb", 0) == 0) {
      EXPECT_NE(en.find("%1"), std::string::npos) << identifier;
      EXPECT_NE(de.find("%1"), std::string::npos) << identifier;
    }
  }
  EXPECT_NE(english.GetString("orbCopyingFileError").find("%3"), std::string::npos);
  EXPECT_NE(german.GetString("orbCopyingFileError").find("%3"), std::string::npos);
  EXPECT_EQ(german.GetString("ERROR_TYPE_ID"), "Fehler");
}

TEST(QvResourceStrings, UnknownCulturesAndIdentifiersFallBack) {
  QvResourceStrings strings;
  strings.SetCulture("fr-FR");
  EXPECT_EQ(strings.Culture(), "en-US");
  EXPECT_EQ(strings.GetString("WARNING_TYPE_ID"), "Warning");
  EXPECT_EQ(strings.GetString("noSuchIdentifier"), "noSuchIdentifier");
  strings.SetCulture("");
  EXPECT_EQ(strings.GetString("ERROR_TYPE_ID"), "Error");
}

}  // namespace
}  // namespace qv
