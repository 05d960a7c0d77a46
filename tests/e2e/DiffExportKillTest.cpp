// The program killed with SIGKILL at random moments of mode 4 and mode 7 runs, with the
// data changing between runs as a table does (rows changed, rows deleted and inserted
// anywhere in the key order): once a run is let finish, every row's newest state has
// reached the receiver, and every file the program left opens. QV_KILL_TEST_KILLS sets
// the number of kills (24 by default, half of them in each mode). Before the kills, the
// rule runs once in a mode that leaves undelivered files where the next mode writes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/DiffExport.h"

extern char** environ;

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int WantedKills() {
  const char* text = std::getenv("QV_KILL_TEST_KILLS");
  const int wanted = text ? std::atoi(text) : 0;
  return wanted > 0 ? wanted : 24;
}

// The compared fields of a row, as the tests read them from a file.
struct RowState {
  std::string name;
  std::string amount;
  std::string note;  // "NULL" for null
  std::string Text() const { return name + "|" + amount + "|" + note; }
};

class DiffKill : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
    db_ = DiffDatabase::Open(Backend::kSqlite, folder_);
    db_->Execute(CreateAppsTable("apps"));
    for (int i = 1; i <= 600; ++i) Insert(Sid(i));
    folder_.WriteDataSources({{1, "Apps", db_->ConnectionString()}});
    folder_.StartReceiver();
    const unsigned seed = std::random_device{}();
    random_.seed(seed);
    RecordProperty("seed", static_cast<int>(seed));
  }

  void Insert(const std::string& sid) {
    const size_t number = rows_.size() + 1;
    const RowState state{"name " + sid, std::to_string(number % 97),
                         number % 3 == 0 ? "NULL" : "note " + std::to_string(number)};
    db_->Execute(InsertApp("apps", sid, state.name, state.amount,
                           state.note == "NULL" ? "" : state.note, "t" + std::to_string(version_)));
    rows_[sid] = state;
    ++changes_;
  }

  // Changes a few rows to states never seen before, inserts rows between existing keys and
  // deletes rows anywhere in the key order, so that rows move between pages.
  void Change() {
    ++version_;
    std::vector<std::string> sids;
    for (const auto& [sid, state] : rows_) sids.push_back(sid);
    std::shuffle(sids.begin(), sids.end(), random_);
    const auto changes = static_cast<size_t>(std::uniform_int_distribution<int>(2, 10)(random_));
    for (size_t i = 0; i < changes && i < sids.size(); ++i) {
      RowState& state = rows_[sids[i]];
      state.name = "v" + std::to_string(version_) + " " + sids[i];
      state.amount = std::to_string(std::uniform_int_distribution<int>(0, 100000)(random_));
      state.note = random_() % 2 ? "NULL" : "n" + std::to_string(version_);
      db_->Execute("UPDATE apps SET name = '" + state.name + "', amount = " + state.amount +
                   ", note = " + (state.note == "NULL" ? "NULL" : "'" + state.note + "'") +
                   ", Source_Timestamp = 't" + std::to_string(version_) + "' WHERE tSID = '" +
                   sids[i] + "'");
      ++changes_;
    }
    const int inserts = std::uniform_int_distribution<int>(0, 6)(random_);
    for (size_t i = 0; i < static_cast<size_t>(inserts) && i < sids.size(); ++i) {
      // After a random key and before the next one: "e123" < "e123v7i2" < "e124".
      Insert(sids[i] + "v" + std::to_string(version_) + "i" + std::to_string(i));
    }
    const int deletes = std::uniform_int_distribution<int>(0, 6)(random_);
    for (int i = 0; i < deletes && sids.size() > 1; ++i) {
      db_->Execute("DELETE FROM apps WHERE tSID = '" + sids.back() + "'");
      deleted_.insert(sids.back());
      rows_.erase(sids.back());
      sids.pop_back();
    }
  }

  // Starts the program in a process group of its own, so that a kill reaches the
  // uploader it runs too.
  pid_t Start(int mode) const {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      if (!text.starts_with("QVDATAEXPORTER_")) env.push_back(text);
    }
    env.push_back("QVDATAEXPORTER_HOME=" + folder_.Path().string());
    env.push_back("QV_UPLOAD_CONNECT_TIMEOUT=5");
    env.push_back("QV_UPLOAD_MAX_TIME=30");
    std::vector<char*> envp;
    for (std::string& text : env) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program = ProgramFolder::ProgramPath();
    std::string mode_text = std::to_string(mode);
    char* argv[] = {program.data(), mode_text.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv, envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
    return pid;
  }

  // Runs the program and kills its process group after `delay`, unless it ended before.
  // True when it was killed.
  static bool RunAndKill(pid_t pid, std::chrono::microseconds delay, Clock::duration& took) {
    const Clock::time_point start = Clock::now();
    int status = 0;
    while (Clock::now() - start < delay) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        took = Clock::now() - start;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::killpg(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    took = Clock::now() - start;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  // Adds the row states of the bodies the receiver accepted since the last call.
  void Collect(const std::string& imp_id) {
    for (const Delivery& delivery : Accepted(NewDeliveries(folder_.receiver(), seen_))) {
      if (delivery.imp_id != imp_id || !delivery.file) continue;
      const std::vector<std::string> sids = ColumnIgnoringCase(*delivery.file, "tSID");
      const std::vector<std::string> names = ColumnIgnoringCase(*delivery.file, "name");
      const std::vector<std::string> amounts = ColumnIgnoringCase(*delivery.file, "amount");
      const std::vector<std::string> notes = ColumnIgnoringCase(*delivery.file, "note");
      for (size_t i = 0; i < sids.size(); ++i) {
        if (!received_[sids[i]].insert(RowState{names[i], amounts[i], notes[i]}.Text()).second) {
          ++again_;
        }
      }
      for (const std::string& sid : delivery.file->DeletedColumn(delivery.file->fields[0].name)) {
        // A deletion of an entity the database holds would remove it at the receiver.
        if (rows_.contains(sid)) {
          ++wrong_deletions_;
          ADD_FAILURE() << sid << " is still in the database, yet its deletion was sent";
        }
        deletions_received_.insert(sid);
      }
    }
  }

  // Kills runs of `mode` until `kills` landed, lets one run finish, and checks that the
  // receiver holds every row's newest state.
  void KillAndCheck(int mode, int kills) {
    const std::string imp_id = "M" + std::to_string(mode);
    folder_.WriteRules(
        {{folder_.File(imp_id + "/apps.xml"), 1, std::string("SELECT ") + kAppsColumns, "FROM apps",
          "", "ORDER BY tSID", imp_id}});
    received_.clear();
    again_ = 0;
    changes_ = 0;
    deleted_.clear();
    deletions_received_.clear();
    wrong_deletions_ = 0;
    // The rule ran before in another mode and left its files undelivered at the paths
    // this mode writes: mode 1 the whole result, mode 6 the pages (every upload refused).
    folder_.receiver().FailNext(test::ReceiverMode::kHttp500, 1000);
    EXPECT_NE(folder_.Run({mode == 4 ? "1" : "6"}).exit_code, 2);
    folder_.receiver().FailNext(test::ReceiverMode::kOk, 0);
    Collect(imp_id);
    again_ = 0;  // what the first run sent again is not counted
    int landed = 0;
    int runs = 0;
    // How long an unkilled run took; the kills fall anywhere in such a span.
    Clock::duration full = std::chrono::milliseconds(200);
    while (landed < kills && runs < kills * 10) {
      Change();
      const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
          full * std::uniform_real_distribution<double>(0.0, 1.0)(random_));
      Clock::duration took{};
      if (RunAndKill(Start(mode), delay, took)) {
        ++landed;
      } else {
        full = took;
      }
      ++runs;
      Collect(imp_id);
    }
    EXPECT_EQ(landed, kills) << "the runs ended before the kills";

    Change();
    const ExportRun last = folder_.Run({std::to_string(mode)});
    ASSERT_EQ(last.exit_code, 0) << last.err;
    Collect(imp_id);

    int lost = 0;
    for (const auto& [sid, state] : rows_) {
      const auto found = received_.find(sid);
      if (found == received_.end() || !found->second.contains(state.Text())) {
        ++lost;
        ADD_FAILURE() << "mode " << mode << ": " << sid << " " << state.Text()
                      << " never reached the receiver";
      }
    }
    // A few rows go at a time: no run may take most of the entities for gone.
    EXPECT_EQ(last.LogLines("DeleteAtMostPercent"), 0) << last.log;
    // With deletions on, each entity the receiver got and the database no longer holds
    // reached it pending deletion.
    int deletions_lost = 0;
    for (const std::string& sid : deleted_) {
      if (!deletions_ || !received_.contains(sid) || deletions_received_.contains(sid)) continue;
      ++deletions_lost;
      ADD_FAILURE() << "mode " << mode << ": the deletion of " << sid
                    << " never reached the receiver";
    }
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder_.File(imp_id))) {
      if (!entry.is_regular_file()) continue;
      ++files;
      const std::string name = entry.path().filename().string();
      // Set-aside last data and the last data's keys are not the program's output.
      if (name.ends_with(".bad") ||
          (name.starts_with(".") &&
           (name.ends_with(".keys") || name.ends_with(".pages") || name.ends_with(".deleted")))) {
        continue;
      }
      EXPECT_FALSE(name.starts_with(".")) << "left behind: " << entry.path();
      EXPECT_NO_THROW(ResultFile::Read(entry.path())) << entry.path();
    }
    std::cout << "mode " << mode << ": " << landed << " kills in " << runs + 1 << " runs, "
              << rows_.size() << " entities checked, " << lost << " lost, " << changes_
              << " changes made, " << again_ << " states sent again, " << files << " files opened";
    if (deletions_) {
      std::cout << ", " << deleted_.size() << " rows deleted, " << deletions_received_.size()
                << " deletions received, " << deletions_lost << " lost, " << wrong_deletions_
                << " for entities still present";
    }
    std::cout << "\n";
    RecordProperty("mode" + std::to_string(mode) + "_kills", landed);
    RecordProperty("mode" + std::to_string(mode) + "_lost", lost);
  }

  ProgramFolder folder_;
  std::unique_ptr<DiffDatabase> db_;
  std::mt19937 random_;
  std::map<std::string, RowState> rows_;
  std::map<std::string, std::set<std::string>> received_;
  int version_ = 1;
  // Rows changed or inserted, and states the receiver got more than once.
  int changes_ = 0;
  int again_ = 0;
  // With "SendDeletions" on: the rows deleted, the deletions received, and those received
  // for entities the database still held.
  bool deletions_ = false;
  std::set<std::string> deleted_;
  std::set<std::string> deletions_received_;
  int wrong_deletions_ = 0;
  size_t seen_ = 0;
};

TEST_F(DiffKill, EveryNewestStateArrivesWhateverTheKills) {
  const int kills = WantedKills();
  KillAndCheck(4, kills / 2);
  KillAndCheck(7, kills - kills / 2);
}

// Mode 7 with the built-in sender keeping eight transfers in flight: kills land while
// several files are on their way and pages wait for their delivery.
TEST_F(DiffKill, EveryNewestStateArrivesWithEightTransfersInFlight) {
  std::ofstream(folder_.File("registry.reg"))
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n"
         "\"Uploader\"=\"builtin\"\r\n\"UploaderConnections\"=dword:00000008\r\n";
  KillAndCheck(7, WantedKills() / 2);
}

// The same with deletions sent: none is lost and none is sent for an entity still there.
TEST_F(DiffKill, EveryDeletionArrivesWhateverTheKills) {
  std::ofstream(folder_.File("registry.reg")) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n"
                                                 "\"SendDeletions\"=dword:00000001\r\n";
  deletions_ = true;
  const int kills = WantedKills();
  KillAndCheck(4, kills / 2);
  KillAndCheck(7, kills - kills / 2);
}

}  // namespace
}  // namespace qv::e2e
