// Modes 4 and 7 on a table that changes the way real tables do: rows deleted and
// inserted anywhere in the key order, so that rows move between pages, rows changed and
// moved at once, a column dropped. Each case checks exactly which entities reach the
// receiver, and that the run after it sends nothing. The run also leaves the database
// free for a writer while it sends.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"
#include "e2e/RunningExport.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRows = 1500;  // fifteen pages, two fetch blocks

// Every tSID in the files the receiver got, once per file row.
std::multiset<std::string> SentKeys(const std::vector<Delivery>& deliveries) {
  std::multiset<std::string> keys;
  for (const Delivery& delivery : deliveries) {
    if (!delivery.file) continue;
    for (const std::string& key : ColumnIgnoringCase(*delivery.file, "tSID")) keys.insert(key);
  }
  return keys;
}

class Churn : public DiffFixture {
 public:
  using DiffFixture::Out;
  using DiffFixture::table_;
  using DiffFixture::WriteRule;
  void Exec(const std::string& sql) { db_->Execute(sql); }
  // Rows whose number is in [from, to] and a multiple of `every`.
  std::string Numbers(int from, int to, int every) const {
    std::string list;
    for (int i = from; i <= to; ++i) {
      if (i % every != 0) continue;
      if (!list.empty()) list += ", ";
      list += "'" + Sid(i) + "'";
    }
    return list;
  }
  std::multiset<std::string> Keys(int from, int to, int every) const {
    std::multiset<std::string> keys;
    for (int i = from; i <= to; ++i) {
      if (i % every == 0) keys.insert(Sid(i));
    }
    return keys;
  }
  // Inserts a row after each of the rows given (keys that sort between existing ones).
  std::multiset<std::string> InsertAfter(int from, int to, int every) {
    std::multiset<std::string> keys;
    for (int i = from; i <= to; ++i) {
      if (i % every != 0) continue;
      const std::string sid = Sid(i) + "n";
      Exec(InsertApp(table_, sid, "new " + sid, "7", i % 2 ? "" : "noted", "t2"));
      keys.insert(sid);
    }
    return keys;
  }
  void Change(int from, int to, int every) {
    Exec("UPDATE " + table_ + " SET amount = amount + 1, note = 'changed', Source_Timestamp = " +
         "'t9' WHERE tSID IN (" + Numbers(from, to, every) + ")");
  }
  void Delete(int from, int to, int every) {
    Exec("DELETE FROM " + table_ + " WHERE tSID IN (" + Numbers(from, to, every) + ")");
  }
  // Nulls interleaved before the first run, so that pages hold both.
  void Prepare() {
    Fill(kRows);
    Exec("UPDATE " + table_ + " SET note = 'n' WHERE tSID IN (" + Numbers(1, kRows, 2) + ")");
  }
};

struct ChurnCase {
  const char* name;
  // Changes the table (or the rule) and returns the keys the next run must send; nothing
  // for a run that sends the whole result.
  std::function<std::optional<std::multiset<std::string>>(Churn&)> change;
  // A run whose every upload fails comes first: the run after it sends the same keys.
  bool receiver_down_first = false;
};

TEST_P(Churn, OnlyNewAndChangedEntitiesAreSent) {
  const std::vector<ChurnCase> cases = {
      {"deletions spread over the key order",
       [](Churn& t) {
         t.Delete(1, kRows, 97);
         return std::multiset<std::string>{};
       }},
      {"insertions between existing keys, without the page keys",
       [](Churn& t) {
         // Mode 7's page keys file is only a shortcut: without it the pages are read.
         fs::remove(t.Out("last/.apps.xml.pages"));
         return std::optional(t.InsertAfter(1, kRows, 89));
       }},
      {"a block deleted at the start",
       [](Churn& t) {
         t.Delete(1, 130, 1);
         return std::multiset<std::string>{};
       }},
      {"rows changed and moved at once",
       [](Churn& t) {
         t.Delete(1, 40, 3);
         t.Change(1, kRows, 151);
         return std::optional(t.Keys(1, kRows, 151));
       }},
      {"rows changed and moved at once, the receiver down for a run",
       [](Churn& t) {
         t.Delete(1, 40, 3);
         t.InsertAfter(700, 1400, 97);
         t.Change(1, kRows, 151);
         std::multiset<std::string> sent = t.Keys(1, kRows, 151);
         for (int i = 700; i <= 1400; ++i) {
           if (i % 97 == 0) sent.insert(Sid(i) + "n");
         }
         return std::optional(sent);
       },
       true},
      {"every key moved two pages on",
       [](Churn& t) {
         std::multiset<std::string> sent = t.InsertAfter(1, 200, 1);
         t.Change(1300, 1300, 1);
         sent.insert(Sid(1300));
         return std::optional(sent);
       }},
      {"the last page emptied",
       [](Churn& t) {
         t.Delete(600, 699, 1);
         return std::multiset<std::string>{};
       }},
      {"a column dropped",
       [](Churn& t) -> std::optional<std::multiset<std::string>> {
         t.WriteRule("tSID, name, amount, Source_Timestamp");
         return std::nullopt;
       }},
  };
  int tables = 0;
  for (const int mode : {7, 4}) {
    for (const ChurnCase& one : cases) {
      SCOPED_TRACE(std::string("mode ") + std::to_string(mode) + ": " + one.name);
      fs::remove_all(Out(""));
      table_ = db_->Table("churn" + std::to_string(++tables));
      Exec(CreateAppsTable(table_));
      WriteRule(kAppsColumns);
      Prepare();
      EXPECT_EQ(SentKeys(Run(mode)).size(), static_cast<size_t>(kRows));

      const std::optional<std::multiset<std::string>> expected = one.change(*this);
      if (one.receiver_down_first) {
        folder_.receiver().FailNext(test::ReceiverMode::kHttp500,
                                    static_cast<int>(expected->size()));
        Run(mode, 1);
      }
      const std::vector<Delivery> sent = Run(mode);
      if (expected) {
        EXPECT_EQ(SentKeys(sent), *expected);
        for (const Delivery& delivery : sent) EXPECT_EQ(delivery.file->rows.size(), 1u);
      } else {
        // Sent whole, once: every entity, each in the fields the query has now.
        const std::multiset<std::string> keys = SentKeys(sent);
        EXPECT_EQ(keys.size(), static_cast<size_t>(kRows));
        EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
        ASSERT_FALSE(sent.empty());
        EXPECT_THROW(ColumnIgnoringCase(*sent[0].file, "note"), std::out_of_range);
      }
      EXPECT_TRUE(SentKeys(Run(mode)).empty());
    }
  }
}

// Every tSID the receiver got pending deletion, once per deleted row.
std::multiset<std::string> DeletedKeys(const std::vector<Delivery>& deliveries) {
  std::multiset<std::string> keys;
  for (const Delivery& delivery : deliveries) {
    if (!delivery.file) continue;
    for (const std::string& key : delivery.file->DeletedColumn(delivery.file->fields.at(0).name))
      keys.insert(key);
  }
  return keys;
}

// With "SendDeletions" on, an entity gone from the whole result reaches the receiver as
// a change file holding its last row pending deletion; moved, re-inserted or changed
// entities are no deletions.
class ChurnDeletions : public Churn {
 protected:
  void Registry(int at_most_percent) {
    std::ofstream(folder_.File("registry.reg"), std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n"
        << "\"SendDeletions\"=dword:00000001\r\n"
        << "\"DeleteAtMostPercent\"=dword:" << std::hex << std::setw(8) << std::setfill('0')
        << at_most_percent << "\r\n";
  }
  void Begin(int mode, const std::string& name) {
    fs::remove_all(Out(""));
    // Each case counts its own log lines.
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_.File("."))) {
      if (entry.path().filename().string().starts_with("RX_")) fs::remove(entry.path());
    }
    table_ = db_->Table(name);
    Exec(CreateAppsTable(table_));
    WriteRule(kAppsColumns);
    Prepare();
    EXPECT_EQ(SentKeys(Run(mode)).size(), static_cast<size_t>(kRows));
  }
};

struct DeletionCase {
  const char* name;
  // Changes the table; the keys the next run must send changed and deleted.
  std::function<std::pair<std::multiset<std::string>, std::multiset<std::string>>(Churn&)> change;
};

TEST_P(ChurnDeletions, GoneEntitiesAreSentPendingDeletion) {
  const std::vector<DeletionCase> cases = {
      {"deletions spread over the key order",
       [](Churn& t) {
         t.Delete(1, kRows, 97);
         return std::pair{std::multiset<std::string>{}, t.Keys(1, kRows, 97)};
       }},
      {"a block deleted at the start, rows changed and inserted",
       [](Churn& t) {
         t.Delete(1, 130, 1);
         t.Change(1, kRows, 151);
         std::multiset<std::string> changed = t.InsertAfter(700, 1400, 97);
         for (const std::string& key : t.Keys(151, kRows, 151)) changed.insert(key);
         return std::pair{changed, t.Keys(1, 130, 1)};
       }},
      {"every key moved two pages on: moved is not deleted",
       [](Churn& t) {
         return std::pair{t.InsertAfter(1, 200, 1), std::multiset<std::string>{}};
       }},
      {"deleted and inserted again with other values: a change",
       [](Churn& t) {
         t.Delete(500, 500, 1);
         t.Exec(InsertApp(t.table_, Sid(500), "back", "9", "", "t5"));
         t.Delete(900, 900, 1);
         return std::pair{std::multiset<std::string>{Sid(500)},
                          std::multiset<std::string>{Sid(900)}};
       }},
  };
  Registry(50);
  int tables = 0;
  for (const int mode : {7, 4}) {
    for (const DeletionCase& one : cases) {
      SCOPED_TRACE(std::string("mode ") + std::to_string(mode) + ": " + one.name);
      Begin(mode, "gone" + std::to_string(++tables));
      const auto [changed, deleted] = one.change(*this);
      // A dry run counts them first, and sends nothing.
      const ExportRun dry = folder_.Run({"--dry-run", std::to_string(mode)});
      EXPECT_NE(dry.out.find(", deleted " + std::to_string(deleted.size()) + ","),
                std::string::npos)
          << dry.out;
      const std::vector<Delivery> sent = Run(mode);
      EXPECT_EQ(SentKeys(sent), changed);
      EXPECT_EQ(DeletedKeys(sent), deleted);
      for (const Delivery& delivery : sent) {
        EXPECT_EQ(delivery.file->rows.size() + delivery.file->deleted.size(), 1u) << delivery.fn;
      }
      const std::vector<Delivery> after = Run(mode);
      EXPECT_TRUE(SentKeys(after).empty());
      EXPECT_TRUE(DeletedKeys(after).empty());
    }
  }
}

TEST_P(ChurnDeletions, AQueryThatLosesMostOfItsRowsDeletesNothing) {
  Registry(50);
  for (const int mode : {7, 4}) {
    SCOPED_TRACE(std::string("mode ") + std::to_string(mode));
    Begin(mode, "guard" + std::to_string(mode));
    Delete(1, 900, 1);  // 60% of the entities
    const std::string warning =
        "900 of the 1500 entities of the last data are gone from the query's result, more than "
        "\"DeleteAtMostPercent\" (50%) allows";
    const ExportRun held = folder_.Run({std::to_string(mode)});
    EXPECT_EQ(held.exit_code, 1) << held.err;
    EXPECT_EQ(held.LogLines(warning), 1) << held.log;
    EXPECT_TRUE(DeletedKeys(NewDeliveries(folder_.receiver(), seen_)).empty());
    // Held back until the operator raises the limit: then sent, once.
    EXPECT_TRUE(DeletedKeys(Run(mode, 1)).empty());
    Registry(100);
    EXPECT_EQ(DeletedKeys(Run(mode)), Keys(1, 900, 1));
    EXPECT_TRUE(DeletedKeys(Run(mode)).empty());
    Registry(50);

    // Or the operator starts over: --reset-last takes what deletions kept with the last
    // data, and the next run sends the whole result.
    Delete(901, 1400, 1);
    Run(mode, 1);
    EXPECT_EQ(folder_.Run({"--reset-last", "all"}).exit_code, 0);
    for (const fs::directory_entry& entry : fs::directory_iterator(Out("last"))) {
      ADD_FAILURE() << "left by --reset-last: " << entry.path();
    }
    const std::vector<Delivery> whole = Run(mode);
    EXPECT_TRUE(DeletedKeys(whole).empty());
    EXPECT_EQ(SentKeys(whole), Keys(1401, kRows, 1));
  }
}

// A program that owns the database writes it while the run sends: the run read its
// query out first, so the writer is not locked out (rollback journal, short timeout).
class ChurnWriter : public Churn {};

TEST_P(ChurnWriter, IsNotLockedOutWhileTheRunSends) {
  Prepare();
  InstallHoldingUploader(folder_);
  Run(7);
  Change(1, kRows, 100);
  const int call = NextUploadCall(folder_);
  Hold(folder_, call);
  RunningExport running(folder_, {"7"});
  ASSERT_GT(WaitUntilHeld(folder_, call), 0);

  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(folder_.File("data.db").c_str(), &writer), SQLITE_OK);
  sqlite3_busy_timeout(writer, 2000);
  char* error = nullptr;
  const std::string sql =
      "UPDATE " + table_ + " SET name = 'written' WHERE tSID = '" + Sid(7) + "'";
  const int rc = sqlite3_exec(writer, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(writer);

  Release(folder_, call);
  const ExportRun run = running.Wait();
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(SentKeys(NewDeliveries(folder_.receiver(), seen_)), Keys(1, kRows, 100));
  EXPECT_EQ(SentKeys(Run(7)), std::multiset<std::string>{Sid(7)});
}

INSTANTIATE_TEST_SUITE_P(Databases, Churn, ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         DiffFixtureName);
INSTANTIATE_TEST_SUITE_P(Databases, ChurnDeletions,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), DiffFixtureName);
// The read lock that would shut the writer out is SQLite's.
INSTANTIATE_TEST_SUITE_P(Databases, ChurnWriter, ::testing::Values(Backend::kSqlite),
                         DiffFixtureName);

}  // namespace
}  // namespace qv::e2e
