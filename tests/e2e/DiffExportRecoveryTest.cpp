// The receiver fails during a change-detecting run; the next run, with the receiver
// healthy, delivers every change the failed run did not.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"
#include "e2e/RunningExport.h"

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
  // Only the change that failed goes again: page 0-99's last data took the one delivered
  // beside it, and the change of page 200-299 had arrived.
  EXPECT_EQ(KeyedValues(Accepted(recovered), "name"), (std::multiset<std::string>{"e010=new 10"}));
  for (const Delivery& delivery : recovered) {
    EXPECT_TRUE(IsChangeFileName(delivery.fn, "apps.xml_0-99.xml")) << delivery.fn;
  }
  std::vector<Delivery> all = failed;
  all.insert(all.end(), recovered.begin(), recovered.end());
  ExpectSeen(changes, all);

  EXPECT_TRUE(Run(7, 0).empty());
}

// A first run that reached only some pages: the next sends each page it did not reach
// whole, one file a page, and leaves no page file of the stopped run behind.
TEST_P(DiffRecovery, Mode7SendsThePagesAPartialFirstRunDidNotReachWhole) {
  constexpr int kPages = 10;
  struct Partial {
    const char* name;
    int signal;  // the stop signal sent while the sixth page's upload is held; 0: none
  };
  InstallHoldingUploader(folder_);  // its calls are counted over every run
  for (const Partial& partial : {Partial{"a receiver refusing a seeded half", 0},
                                 Partial{"a stop signal", SIGTERM}, Partial{"a kill", SIGKILL}}) {
    SCOPED_TRACE(partial.name);
    fs::remove_all(Out(""));
    table_ = db_->Table(std::string("partial") + std::to_string(partial.signal));
    db_->Execute(CreateAppsTable(table_));
    WriteRule(kAppsColumns);
    Fill(kPages * 100);
    std::vector<Delivery> first;
    if (partial.signal == 0) {
      folder_.receiver().FailNext(test::ReceiverMode::kHttp500, kPages, 0, 0.5, 7);
      first = Run(7, 1);
      folder_.receiver().FailNext(test::ReceiverMode::kOk, 0);
    } else {
      const int call = NextUploadCall(folder_) + 5;
      Hold(folder_, call);
      RunningExport running(folder_, {"7"});
      const pid_t uploader = WaitUntilHeld(folder_, call);
      ASSERT_GT(uploader, 0);
      running.Signal(partial.signal);
      Release(folder_, call);
      EXPECT_NE(running.Wait().exit_code, 0);
      // A killed run's held upload goes on alone; the next run must not meet it.
      EXPECT_FALSE(ProcessStays(uploader, std::chrono::seconds(30)));
      first = NewDeliveries(folder_.receiver(), seen_);
    }
    // The pages whose last data the stopped run wrote; a killed run may have delivered
    // one more without writing its last data.
    size_t reached = 0;
    for (const auto& entry : fs::directory_iterator(Out("last"))) {
      reached += entry.path().filename().string().ends_with(".xml");
    }
    ASSERT_GT(reached, 0u);
    ASSERT_LT(reached, static_cast<size_t>(kPages));

    const std::vector<Delivery> next = Run(7);
    EXPECT_EQ(next.size(), kPages - reached);
    std::set<std::string> keys;
    for (const Delivery& delivery : Accepted(first)) {
      for (const std::string& key : ColumnIgnoringCase(*delivery.file, "tSID")) keys.insert(key);
    }
    for (const Delivery& delivery : next) {
      EXPECT_FALSE(IsChangeFileName(delivery.fn, "apps.xml")) << delivery.fn;
      for (const std::string& key : ColumnIgnoringCase(*delivery.file, "tSID")) keys.insert(key);
    }
    EXPECT_EQ(keys.size(), static_cast<size_t>(kPages * 100));
    for (const auto& entry : fs::directory_iterator(Out(""))) {
      EXPECT_FALSE(entry.is_regular_file()) << entry.path() << " was left beside the result";
    }
    EXPECT_TRUE(Run(7).empty());
  }
}

// A receiver that fails a seeded 30% of the files: each run moves the last data on for
// what was delivered, so the backlog shrinks run by run and no entity arrives twice.
TEST_P(DiffRecovery, Mode7ConvergesWithAnUnreliableReceiver) {
  constexpr int kRows = 1000;
  Fill(kRows);
  Run(7);
  db_->Execute("UPDATE " + table_ + " SET amount = amount + 1");
  std::multiset<std::string> arrived;
  size_t backlog = kRows;
  for (int run = 1; run <= 6; ++run) {
    folder_.receiver().FailNext(test::ReceiverMode::kHttp500, kRows, 0, 0.3, run);
    const ExportRun result = folder_.Run({"7"});
    const std::vector<Delivery> sent = NewDeliveries(folder_.receiver(), seen_);
    EXPECT_EQ(sent.size(), backlog) << "run " << run;  // exactly what was not delivered yet
    for (const Delivery& delivery : Accepted(sent)) {
      for (const std::string& key : ColumnIgnoringCase(*delivery.file, "tSID")) arrived.insert(key);
    }
    backlog = kRows - arrived.size();
    EXPECT_EQ(result.exit_code, backlog > 0 ? 1 : 0) << result.err;
  }
  EXPECT_LT(backlog, static_cast<size_t>(kRows / 100));
  EXPECT_EQ(std::set<std::string>(arrived.begin(), arrived.end()).size(), arrived.size());
  folder_.receiver().FailNext(test::ReceiverMode::kOk, 0);
  EXPECT_EQ(Run(7).size(), backlog);
  EXPECT_TRUE(Run(7).empty());
}

INSTANTIATE_TEST_SUITE_P(Databases, DiffRecovery,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), DiffFixtureName);

}  // namespace
}  // namespace qv::e2e
