#include "export/ResultFileNames.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

// The names a rule's deletions keep in its last folder are told from each other and from
// the files of other results, whatever was sent: the result whole, a change file of the
// result or of one of its pages, a page whole, each maybe sent again.
TEST(ResultFileNames, DeletionFilesOfAResultAreToldApart) {
  const std::string last = "/out/last";
  EXPECT_EQ(SentRecordFileOf(last, "/out/apps.xml"), "/out/last/.apps.xml.sent");
  EXPECT_EQ(SentRecordFileOf(last, "/out/apps.xml_0-99.xml", 2),
            "/out/last/.apps.xml_0-99.xml.2.sent");
  EXPECT_EQ(PendingDeletionsFileOf(last, "apps.xml"), "/out/last/.apps.xml.deleted");
  EXPECT_EQ(FormerPageFileOf("/out/last/apps.xml_0-99.xml"), "/out/last/apps.xml_0-99.xml.was");

  const struct {
    const char* name;
    bool sent_record;
    bool former_page;
  } cases[] = {
      {".apps.xml.sent", true, false},
      {".apps.xml.3.sent", true, false},
      {".apps.xml12.xml.sent", true, false},
      {".apps.xml_100-199.xml.sent", true, false},
      {".apps.xml_100-199.xml835527.xml.sent", true, false},
      {".apps.xml_100-199.xml835527.xml.1.sent", true, false},
      {"apps.xml_100-199.xml.was", false, true},
      {".other.xml.sent", false, false},
      {".apps.xml2.sent", false, false},  // not a file this program sends
      {"apps.xml.sent", false, false},
      {".apps.xml.x.sent", false, false},
      {"apps.xml_100-199.xml", false, false},
      {"other.xml_100-199.xml.was", false, false},
      {"apps.xml.was", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSentRecordOf(c.name, "apps.xml"), c.sent_record) << c.name;
    EXPECT_EQ(IsFormerPageFileOf(c.name, "apps.xml"), c.former_page) << c.name;
  }
}

}  // namespace
}  // namespace qv
