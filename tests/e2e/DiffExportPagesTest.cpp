// Modes 5, 6 and 7 run twice or more by the built program, with the data changed
// between runs, on SQLite and PostgreSQL (QV_TEST_PG).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/DiffExport.h"
#include "support/TestFolder.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const std::vector<Delivery>& deliveries) {
  std::vector<std::string> names;
  for (const Delivery& delivery : deliveries) names.push_back(delivery.fn);
  return names;
}

class DiffPages : public DiffFixture {
 protected:
  void Rename(int number, const std::string& name) {
    db_->Execute("UPDATE " + table_ + " SET name = '" + name + "' WHERE tSID = '" + Sid(number) +
                 "'");
  }
};

TEST_P(DiffPages, Mode5SendsOnlyChangedPagesAndLeavesLastDataOfPagesPastTheEnd) {
  Fill(45);
  const std::vector<std::string> pages = {"apps.xml_0-19.xml", "apps.xml_20-39.xml",
                                          "apps.xml_40-59.xml"};
  const std::vector<Delivery> first = Run(5);
  EXPECT_EQ(Names(first), pages);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(ColumnIgnoringCase(*first[2].file, "tSID"),
            (std::vector<std::string>{Sid(41), Sid(42), Sid(43), Sid(44), Sid(45)}));
  // Pages stay beside the target and their copies are the last data.
  EXPECT_EQ(FileNames(Out("")), pages);
  EXPECT_EQ(FileNames(Out("last")), pages);
  EXPECT_FALSE(fs::exists(Out("LastTx")));
  for (const std::string& page : pages)
    EXPECT_EQ(ReadText(Out(page)), ReadText(Out("last/" + page)));

  Rename(25, "changed");
  const std::string unchanged_before = ReadText(Out("last/apps.xml_0-19.xml"));
  const std::vector<Delivery> second = Run(5);
  EXPECT_EQ(Names(second), std::vector<std::string>{"apps.xml_20-39.xml"});
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(ColumnIgnoringCase(*second[0].file, "name")[4], "changed");
  EXPECT_EQ(ReadText(Out("last/apps.xml_20-39.xml")), ReadText(Out("apps.xml_20-39.xml")));
  EXPECT_EQ(ReadText(Out("last/apps.xml_0-19.xml")), unchanged_before);

  // The result shrinks to one page: the pages past it keep their last data.
  const std::string page2 = ReadText(Out("last/apps.xml_20-39.xml"));
  const std::string page3 = ReadText(Out("last/apps.xml_40-59.xml"));
  db_->Execute("DELETE FROM " + table_ + " WHERE tSID > '" + Sid(20) + "'");
  EXPECT_TRUE(Run(5).empty());
  EXPECT_EQ(ReadText(Out("last/apps.xml_20-39.xml")), page2);
  EXPECT_EQ(ReadText(Out("last/apps.xml_40-59.xml")), page3);
}

TEST_P(DiffPages, Mode6UsesPagesOfAHundredRows) {
  Fill(150);
  EXPECT_EQ(Names(Run(6)), (std::vector<std::string>{"apps.xml_0-99.xml", "apps.xml_100-199.xml"}));
  Rename(3, "changed");
  const std::vector<Delivery> second = Run(6);
  EXPECT_EQ(Names(second), std::vector<std::string>{"apps.xml_0-99.xml"});
  // Written again, but not sent.
  EXPECT_TRUE(fs::exists(Out("apps.xml_100-199.xml")));
}

TEST_P(DiffPages, Mode7SendsChangedEntitiesPageByPage) {
  Fill(250);
  const std::vector<Delivery> first = Run(7);
  EXPECT_EQ(Names(first), (std::vector<std::string>{"apps.xml_0-99.xml", "apps.xml_100-199.xml",
                                                    "apps.xml_200-299.xml"}));
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[2].file->rows.size(), 50u);
  // The pages, and what they hold by key.
  EXPECT_EQ(FileNames(Out("last")),
            (std::vector<std::string>{".apps.xml.pages", "apps.xml_0-99.xml",
                                      "apps.xml_100-199.xml", "apps.xml_200-299.xml"}));
  EXPECT_EQ(FileNames(Out("LastTx")).size(), 3u);

  Rename(50, "fifty");
  Rename(150, "one fifty");
  const std::vector<Delivery> second = Run(7);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_TRUE(IsChangeFileName(second[0].fn, "apps.xml_0-99.xml")) << second[0].fn;
  EXPECT_TRUE(IsChangeFileName(second[1].fn, "apps.xml_100-199.xml")) << second[1].fn;
  EXPECT_EQ(KeyedValues(second, "name"),
            (std::multiset<std::string>{"e050=fifty", "e150=one fifty"}));
  EXPECT_FALSE(fs::exists(Out("Unsent")));

  EXPECT_TRUE(Run(7).empty());
}

// A value no comparison reads (Source_Timestamp) sends nothing, yet the page's last data
// takes it; the next run leaves the file as it is.
TEST_P(DiffPages, Mode7PageTakesValuesNoComparisonReadsWithoutSending) {
  Fill(250);
  EXPECT_FALSE(Run(7).empty());
  db_->Execute("UPDATE " + table_ + " SET Source_Timestamp = 't2' WHERE tSID = '" + Sid(150) + "'");
  EXPECT_TRUE(Run(7).empty());
  const std::string page = Out("last/apps.xml_100-199.xml");
  EXPECT_EQ(ColumnIgnoringCase(ResultFile::Read(page), "Source_Timestamp")[49], "t2");
  const std::string bytes = ReadText(page);
  EXPECT_TRUE(Run(7).empty());
  EXPECT_EQ(ReadText(page), bytes);
}

// Keys files an earlier version wrote are not read: the last data is read itself once,
// nothing is sent again, and the keys are saved anew.
TEST_P(DiffPages, KeysFilesOfAnEarlierVersionAreReplacedWithoutResending) {
  Fill(250);
  for (const auto& [mode, keys, before, now] :
       {std::tuple{7, ".apps.xml.pages", "QvPageKeys2\n", "QvPageKeys3\n"},
        std::tuple{4, ".apps.xml.keys", "QvKeys2\n", "QvKeys3\n"}}) {
    SCOPED_TRACE(mode);
    EXPECT_FALSE(Run(mode).empty());
    test::WriteBytes(Out(std::string("last/") + keys),
                     std::string(before) + "keys of an earlier version");
    EXPECT_TRUE(Run(mode).empty());
    EXPECT_NE(ReadText(Out(std::string("last/") + keys)).find(now), std::string::npos);
    Rename(mode, "changed");
    EXPECT_EQ(Run(mode).size(), 1u);
    EXPECT_TRUE(Run(mode).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, DiffPages,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), DiffFixtureName);

}  // namespace
}  // namespace qv::e2e
