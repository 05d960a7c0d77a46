// The receiver fails during a change-detecting run; the next run, with the receiver
// healthy, delivers every change the failed run did not.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

class DiffRecovery : public DiffFixture {
 protected:
  // Renames the entities and returns the "tSID=name" pairs the receiver must see.
  std::multiset<std::string> Rename(const std::vector<int>& numbers) {
    std::multiset<std::string> expected;
    for (const int number : numbers) {
      const std::string name = "new " + std::to_string(number);
      db_->Execute("UPDATE " + table_ + " SET name = '" + name + "' WHERE tSID = '" + Sid(number) +
                   "'");
      expected.insert(Sid(number) + "=" + name);
    }
    return expected;
  }

  // Whether every expected pair is among the accepted deliveries' values.
  static void ExpectSeen(const std::multiset<std::string>& expected,
                         const std::vector<Delivery>& deliveries) {
    const std::multiset<std::string> seen = KeyedValues(Accepted(deliveries), "name");
    for (const std::string& pair : expected) {
      EXPECT_TRUE(seen.count(pair) > 0) << pair << " never reached the receiver";
    }
  }
};

TEST_P(DiffRecovery, Mode4SendsAgainWhatTheFailedRunDidNotDeliver) {
  Fill(5);
  Run(4, 0);
  const std::string last_before = ReadText(Out("last/apps.xml"));

  const std::multiset<std::string> changes = Rename({1, 3, 5});
  folder_.receiver().FailNext(test::ReceiverMode::kHttp500, 1);
  const std::vector<Delivery> failed = Run(4, 1);
  EXPECT_EQ(failed.size(), 3u);
  EXPECT_EQ(Accepted(failed).size(), 2u);
  EXPECT_EQ(ReadText(Out("last/apps.xml")), last_before);
  const std::vector<std::string> unsent = FileNames(Out("Unsent"));
  ASSERT_EQ(unsent.size(), 1u);
  EXPECT_EQ(unsent[0], failed[0].fn);

  const std::vector<Delivery> recovered = Run(4, 0);
  // Everything again, duplicates included: the run cannot know which ones arrived.
  EXPECT_EQ(KeyedValues(Accepted(recovered), "name"), changes);
  std::vector<Delivery> all = failed;
  all.insert(all.end(), recovered.begin(), recovered.end());
  ExpectSeen(changes, all);
  EXPECT_NE(ReadText(Out("last/apps.xml")), last_before);

  EXPECT_TRUE(Run(4, 0).empty());
}

TEST_P(DiffRecovery, Mode4FirstRunThatFailsIsRepeatedWhole) {
  Fill(3);
  folder_.receiver().FailNext(test::ReceiverMode::kHttp500, 1);  // not a passing fault
  const std::vector<Delivery> failed = Run(4, 1);
  EXPECT_TRUE(Accepted(failed).empty());
  EXPECT_FALSE(fs::exists(Out("last/apps.xml")));
  EXPECT_EQ(FileNames(Out("Unsent")), std::vector<std::string>{"apps.xml"});

  const std::vector<Delivery> recovered = Run(4, 0);
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0].fn, "apps.xml");
  EXPECT_EQ(recovered[0].file->rows.size(), 3u);
  EXPECT_TRUE(fs::exists(Out("last/apps.xml")));
}

TEST_P(DiffRecovery, Mode5SendsTheUndeliveredPageAgain) {
  Fill(45);
  Run(5, 0);
  const std::string page_before = ReadText(Out("last/apps.xml_20-39.xml"));

  const std::multiset<std::string> changes = Rename({2, 25});
  folder_.receiver().FailNext(test::ReceiverMode::kHttp500, 1);
  const std::vector<Delivery> failed = Run(5, 1);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].status, 500);
  EXPECT_EQ(failed[1].fn, "apps.xml_20-39.xml");
  EXPECT_EQ(failed[1].status, 200);
  EXPECT_NE(ReadText(Out("last/apps.xml_0-19.xml")), ReadText(Out("apps.xml_0-19.xml")));
  EXPECT_EQ(ReadText(Out("last/apps.xml_20-39.xml")), ReadText(Out("apps.xml_20-39.xml")));
  EXPECT_NE(ReadText(Out("last/apps.xml_20-39.xml")), page_before);

  const std::vector<Delivery> recovered = Run(5, 0);
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0].fn, "apps.xml_0-19.xml");
  std::vector<Delivery> all = failed;
  all.insert(all.end(), recovered.begin(), recovered.end());
  ExpectSeen(changes, all);

  EXPECT_TRUE(Run(5, 0).empty());
}

TEST_P(DiffRecovery, Mode7HoldsBackOnlyThePageWhoseSendFailed) {
  Fill(250);
  Run(7, 0);

  const std::multiset<std::string> changes = Rename({10, 11, 210});
  folder_.receiver().FailNext(test::ReceiverMode::kHttp500, 1);  // not a passing fault
  const std::vector<Delivery> failed = Run(7, 1);
  EXPECT_EQ(failed.size(), 3u);
  EXPECT_EQ(Accepted(failed).size(), 2u);

  const std::vector<Delivery> recovered = Run(7, 0);
  // Both changes of page 0-99 go again; the change of page 200-299 had arrived.
  EXPECT_EQ(KeyedValues(Accepted(recovered), "name"),
            (std::multiset<std::string>{"e010=new 10", "e011=new 11"}));
  for (const Delivery& delivery : recovered) {
    EXPECT_TRUE(IsChangeFileName(delivery.fn, "apps.xml_0-99.xml")) << delivery.fn;
  }
  std::vector<Delivery> all = failed;
  all.insert(all.end(), recovered.begin(), recovered.end());
  ExpectSeen(changes, all);

  EXPECT_TRUE(Run(7, 0).empty());
}

INSTANTIATE_TEST_SUITE_P(Databases, DiffRecovery,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), DiffFixtureName);

}  // namespace
}  // namespace qv::e2e
