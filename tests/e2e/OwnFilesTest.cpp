// Links and other names for the program's files, planted between runs of modes 4 and 7:
// a run changes only files it made. Files outside keep their bytes, links stay where
// they are and are named in a warning, a hard-link backup keeps every byte, and every
// change still reaches the receiver.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRows = 300;  // three pages

// Every tSID the deliveries' files hold.
std::set<std::string> SentKeys(const std::vector<Delivery>& deliveries) {
  std::set<std::string> keys;
  for (const Delivery& delivery : Accepted(deliveries)) {
    for (const std::string& key : ColumnIgnoringCase(*delivery.file, "tSID")) keys.insert(key);
  }
  return keys;
}

std::string Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Every regular file under `root` with its size and a hash of its bytes, by path
// relative to it.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      const std::string bytes = Bytes(entry.path());
      files[fs::relative(entry.path(), root).string()] =
          std::to_string(bytes.size()) + " bytes, hash " +
          std::to_string(std::hash<std::string>()(bytes));
    }
  }
  return files;
}

class OwnFiles : public DiffFixture {
 public:
  using DiffFixture::Out;
  // A file of someone else's, and a folder of them.
  fs::path Outside(const std::string& name) const {
    return fs::path(folder_.File("outside")) / name;
  }
  // A symbolic link at `at` (under out/) to `to`.
  void Link(const std::string& at, const fs::path& to) {
    fs::create_directories(fs::path(Out(at)).parent_path());
    fs::remove(Out(at));
    fs::create_symlink(to, Out(at));
    links_.push_back(Out(at));
  }
  void Change(int every) {
    db_->Execute("UPDATE " + table_ + " SET amount = amount + 1 WHERE CAST(substr(tSID, 2) AS " +
                 "INTEGER) % " + std::to_string(every) + " = 0");
  }
  // The receiver refuses every upload, or takes them again.
  void Refuse() { folder_.receiver().FailNext(test::ReceiverMode::kHttp500, 100000); }
  void Accept() {
    folder_.receiver().FailNext(test::ReceiverMode::kOk, 0);
    NewDeliveries(folder_.receiver(), seen_);
  }
  std::vector<fs::path> links_;
};

struct LinkCase {
  const char* name;
  // Plants links (Link) or other names for the program's files.
  std::function<void(OwnFiles&, int mode)> plant;
  // The runs fail the rule: its last data cannot be written (a link in its place).
  bool rule_fails = false;
};

TEST_P(OwnFiles, FilesOutsideAndLinksAreLeftAsTheyAre) {
  const std::string page = "apps.xml_0-99.xml";
  const std::vector<LinkCase> cases = {
      {"links in Unsent named like a change file and a page",
       [&](OwnFiles& t, int) {
         t.Link("Unsent/apps.xml123456.xml", t.Outside("a.xml"));
         t.Link("Unsent/" + page, t.Outside("b.xml"));
       }},
      {"a link beside the result named like a change file",
       [&](OwnFiles& t, int) { t.Link("apps.xml654321.xml", t.Outside("a.xml")); }},
      {"a link in LastTx",
       [&](OwnFiles& t, int) { t.Link("LastTx/apps.xml1.xml", t.Outside("a.xml")); }},
      {"links at a temporary's name and the keys files' names",
       [&](OwnFiles& t, int) {
         t.Link(".apps.xml.tmp0badcafe", t.Outside("a.xml"));
         t.Link("last/.apps.xml.pages", t.Outside("b.xml"));
         t.Link("last/.apps.xml.keys", t.Outside("c.xml"));
       }},
      {"Unsent, LastTx and the former spare folder are links",
       [&](OwnFiles& t, int) {
         fs::remove_all(t.Out("LastTx"));
         t.Link("Unsent", t.Outside("folder"));
         t.Link("LastTx", t.Outside("folder"));
         t.Link(".qvdataexporter-spare", t.Outside("folder"));
       }},
      {"a page of last data is a link",
       [&](OwnFiles& t, int mode) {
         const std::string last = mode == 7 ? "last/" + page : "last/apps.xml";
         fs::remove(t.Out(last));
         t.Link(last, t.Outside("a.xml"));
       },
       true},
      {"last is a link",
       [&](OwnFiles& t, int) {
         fs::remove_all(t.Out("last"));
         t.Link("last", t.Outside("folder"));
       },
       true},
  };
  int tables = 0;
  for (const int mode : {7, 4}) {
    for (const LinkCase& one : cases) {
      SCOPED_TRACE(std::string("mode ") + std::to_string(mode) + ": " + one.name);
      fs::remove_all(Out(""));
      fs::remove_all(Outside(""));
      links_.clear();
      Accept();
      fs::create_directories(Outside("folder"));
      for (const char* name : {"a.xml", "b.xml", "c.xml", "folder/apps.xml7.xml",
                               "folder/.qvdataexporter-spare1", "folder/apps.xml_0-99.xml"}) {
        std::ofstream(Outside(name)) << "not the program's: " << name;
      }
      const std::map<std::string, std::string> outside = Tree(Outside(""));
      table_ = db_->Table("links" + std::to_string(++tables));
      db_->Execute(CreateAppsTable(table_));
      WriteRule(kAppsColumns);
      Fill(kRows);
      ASSERT_EQ(SentKeys(Run(mode)).size(), static_cast<size_t>(kRows));

      one.plant(*this, mode);
      Change(7);
      // The receiver refuses a run's files, so that they wait in Unsent; then takes them.
      Refuse();
      const ExportRun refused = folder_.Run({std::to_string(mode)});
      EXPECT_EQ(refused.exit_code, 1) << refused.err;
      Accept();
      const ExportRun sent = folder_.Run({std::to_string(mode)});
      EXPECT_EQ(sent.exit_code, one.rule_fails ? 1 : 0) << sent.err;
      // Nothing is sent while the rule cannot keep its last data.
      const std::set<std::string> keys = SentKeys(NewDeliveries(folder_.receiver(), seen_));
      EXPECT_EQ(keys.size(), one.rule_fails ? 0u : static_cast<size_t>(kRows / 7));
      if (!one.rule_fails) {
        EXPECT_TRUE(Run(mode).empty());
      }

      EXPECT_EQ(Tree(Outside("")), outside);
      for (const fs::path& link : links_) {
        EXPECT_TRUE(fs::is_symlink(link)) << link;
        EXPECT_NE(sent.err.find(link.string() + "\n"), std::string::npos)
            << link << " is not named in: " << sent.err;
      }
    }
  }
}

// Another name for the program's files, the way backups keep them (cp -al, rsync
// --link-dest): none of them changes, and a folder a former version kept spare files in
// goes.
TEST_P(OwnFiles, HardLinkBackupKeepsItsBytes) {
  for (const int mode : {7, 4}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    fs::remove_all(Out(""));
    fs::remove_all(Outside(""));
    Accept();
    table_ = db_->Table("backup" + std::to_string(mode));
    db_->Execute(CreateAppsTable(table_));
    WriteRule(kAppsColumns);
    Fill(kRows);
    Run(mode);
    Change(5);
    Refuse();
    Run(mode, 1);  // fills Unsent
    Accept();
    Run(mode);  // fills LastTx, moves the last data on
    fs::create_directories(Out(".qvdataexporter-spare"));
    std::ofstream(Out(".qvdataexporter-spare/spare1")) << "left by a former version";

    fs::create_directories(Outside(""));
    const std::string copy = "cp -al '" + Out("") + "' '" + Outside("backup").string() + "'";
    ASSERT_EQ(std::system(copy.c_str()), 0);
    const std::map<std::string, std::string> backup = Tree(Outside("backup"));
    ASSERT_GT(backup.size(), 5u);
    Change(3);
    Change(11);
    EXPECT_GT(SentKeys(Run(mode)).size(), static_cast<size_t>(kRows / 3));
    Change(2);
    Refuse();
    Run(mode, 1);

    EXPECT_EQ(Tree(Outside("backup")), backup);
    EXPECT_FALSE(fs::exists(Out(".qvdataexporter-spare")));
  }
}

INSTANTIATE_TEST_SUITE_P(Sqlite, OwnFiles, ::testing::Values(Backend::kSqlite), DiffFixtureName);

}  // namespace
}  // namespace qv::e2e
