#include "e2e/DiffExport.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "ado/Connection.h"

namespace qv::e2e {

std::string BackendName(Backend backend) {
  return backend == Backend::kSqlite ? "Sqlite" : "Postgres";
}

std::unique_ptr<DiffDatabase> DiffDatabase::Open(Backend backend, const ProgramFolder& folder) {
  std::unique_ptr<DiffDatabase> db(new DiffDatabase());
  if (backend == Backend::kSqlite) {
    std::ofstream(folder.File("data.db"));  // an empty file is an empty database
    db->connection_string_ = "Driver=SQLite3;Database=" + folder.File("data.db");
    db->sqlite_ = std::make_unique<ado::Connection>();
    db->sqlite_->Open(db->connection_string_ + ";NoCreat=0");
    return db;
  }
  db->connection_string_ = PostgresConnectionString();
  if (db->connection_string_.empty()) return nullptr;
  db->postgres_ = std::make_unique<PostgresTables>(db->connection_string_);
  return db;
}

DiffDatabase::~DiffDatabase() = default;

std::string DiffDatabase::Table(const std::string& base) {
  return postgres_ ? postgres_->Table(base) : base;
}

void DiffDatabase::Execute(const std::string& sql) {
  if (postgres_) {
    postgres_->Execute(sql);
  } else {
    sqlite_->Execute(sql);
  }
}

std::string CreateAppsTable(const std::string& table) {
  return "CREATE TABLE " + table +
         " (tSID VARCHAR(40), name VARCHAR(40), amount NUMERIC, note VARCHAR(40),"
         " Source_Timestamp VARCHAR(30))";
}

std::string InsertApp(const std::string& table, const std::string& sid, const std::string& name,
                      const std::string& amount, const std::string& note,
                      const std::string& timestamp) {
  const auto quoted = [](const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  };
  return "INSERT INTO " + table + " VALUES (" + quoted(sid) + ", " + quoted(name) + ", " + amount +
         ", " + (note.empty() ? std::string("NULL") : quoted(note)) + ", " + quoted(timestamp) +
         ")";
}

std::string Sid(int number) {
  std::string digits = std::to_string(number);
  while (digits.size() < 3) digits.insert(0, "0");
  return "e" + digits;
}

std::string InsertNumberedApps(const std::string& table, int count) {
  std::string sql = "INSERT INTO " + table + " VALUES ";
  for (int i = 1; i <= count; ++i) {
    if (i > 1) sql += ", ";
    sql += "('" + Sid(i) + "', 'name " + std::to_string(i) + "', 1, NULL, 't1')";
  }
  return sql;
}

std::vector<Delivery> NewDeliveries(const test::Receiver& receiver, size_t& seen) {
  const std::vector<test::ReceivedRequest> requests = receiver.Requests();
  std::vector<Delivery> deliveries;
  for (size_t i = seen; i < requests.size(); ++i) {
    const test::ReceivedRequest& request = requests[i];
    Delivery delivery;
    delivery.fn = request.fn.value_or("");
    delivery.imp_id = request.imp_id.value_or("");
    delivery.status = request.status;
    if (request.stored) delivery.file = ResultFile::Read(receiver.Root() / *request.stored);
    deliveries.push_back(std::move(delivery));
  }
  seen = requests.size();
  return deliveries;
}

std::vector<Delivery> Accepted(const std::vector<Delivery>& deliveries) {
  std::vector<Delivery> accepted;
  for (const Delivery& delivery : deliveries) {
    if (delivery.status == 200) accepted.push_back(delivery);
  }
  return accepted;
}

bool IsChangeFileName(const std::string& name, const std::string& base) {
  if (name.size() <= base.size() || name.compare(0, base.size(), base) != 0) return false;
  static const std::regex kTail("[0-9]{1,6}\\.xml");
  return std::regex_match(name.substr(base.size()), kTail);
}

std::vector<std::string> ColumnIgnoringCase(const ResultFile& file, const std::string& name) {
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  for (const ado::FieldDef& field : file.fields) {
    if (lower(field.name) == lower(name)) return file.Column(field.name);
  }
  throw std::out_of_range("no field " + name);
}

std::multiset<std::string> KeyedValues(const std::vector<Delivery>& deliveries,
                                       const std::string& field) {
  std::multiset<std::string> values;
  for (const Delivery& delivery : deliveries) {
    if (!delivery.file) continue;
    const std::vector<std::string> sids = ColumnIgnoringCase(*delivery.file, "tSID");
    const std::vector<std::string> column = ColumnIgnoringCase(*delivery.file, field);
    for (size_t i = 0; i < sids.size(); ++i) values.insert(sids[i] + "=" + column[i]);
  }
  return values;
}

void DiffFixture::SetUp() {
  if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
    GTEST_SKIP() << missing << " is not installed";
  }
  db_ = DiffDatabase::Open(GetParam(), folder_);
  if (!db_) GTEST_SKIP() << "QV_TEST_PG is not set";
  table_ = db_->Table("apps");
  db_->Execute(CreateAppsTable(table_));
  folder_.WriteDataSources({{ds_id_, "Apps", db_->ConnectionString()}});
  folder_.StartReceiver();
  WriteRule(kAppsColumns);
}

void DiffFixture::WriteRule(const std::string& columns) {
  folder_.WriteRules({{Out("apps.xml"), ds_id_, "SELECT " + columns, "FROM " + table_, "",
                       "ORDER BY tSID", "Apps"}});
}

void DiffFixture::Fill(int count) { db_->Execute(InsertNumberedApps(table_, count)); }

std::vector<Delivery> DiffFixture::Run(int mode, int expected_exit) {
  const ExportRun run = folder_.Run({std::to_string(mode)});
  EXPECT_EQ(run.exit_code, expected_exit) << run.err << run.log;
  return NewDeliveries(folder_.receiver(), seen_);
}

std::string DiffFixtureName(const ::testing::TestParamInfo<Backend>& backend) {
  return BackendName(backend.param);
}

}  // namespace qv::e2e
