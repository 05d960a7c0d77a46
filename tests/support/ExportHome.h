#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "export/CQvDataExporter.h"
#include "store/CQvXMLManip.h"
#include "support/FakeUploader.h"
#include "support/ProgramHome.h"
#include "support/RecordsetFactory.h"

namespace qv::test {

// One record of the rules file.
struct Rule {
  std::string target;
  int32_t ds = 1;
  std::string select = "SELECT id, name";
  std::string from = "FROM items";
  std::string where = {};
  std::string order_by = {};
  std::string import_rule = "Items";
};

// A program folder with a SQLite database (table items(id, name)), data-source, rules
// and settings files written as the program reads them, and the uploader replaced by a
// FakeUploader for the lifetime of the object.
class ExportHome {
 public:
  ExportHome() {
    std::ofstream(home_.File("data.db"));  // an empty file is an empty database
    ado::Connection db;
    db.Open(ConnectionString() + ";NoCreat=0");
    db.Execute("CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT)");
  }
  ExportHome(const ExportHome&) = delete;
  ExportHome& operator=(const ExportHome&) = delete;

  std::string ConnectionString() const {
    return "Driver=SQLite3;Database=" + home_.File("data.db");
  }
  std::string File(const std::string& name) const { return home_.File(name); }
  std::string Out(const std::string& relative) const { return home_.File("out/" + relative); }
  FakeUploader& Uploader() { return *uploader_; }

  // Inserts items 1 to `count`.
  void AddItems(int count) {
    ado::Connection db;
    db.Open(ConnectionString());
    for (int i = 1; i <= count; ++i) {
      db.Execute("INSERT INTO items VALUES(" + std::to_string(i) + ", 'item " + std::to_string(i) +
                 "')");
    }
  }

  void WriteDataSources(const std::vector<std::vector<ado::Variant>>& rows) {
    Save(MakeRecordset({{"nID", ado::adInteger, 4},
                        {"tName", ado::adVarWChar, 100},
                        {"tConnectionString", ado::adVarWChar, 1000}},
                       rows),
         "QvExportDS.xml", 1);
  }
  // Data source 1 on the test database.
  void WriteDataSource() { WriteDataSources({{int32_t{1}, "test", ConnectionString()}}); }

  void WriteRules(const std::vector<Rule>& rules, bool with_order_by = true) {
    std::vector<TestField> fields = {
        {"tTargetPath", ado::adVarWChar, 500}, {"nDSID", ado::adInteger, 4},
        {"tSQLSelect", ado::adVarWChar, 500},  {"tSQLFrom", ado::adVarWChar, 500},
        {"tSQLWhere", ado::adVarWChar, 500},   {"tImportRuleFolder", ado::adVarWChar, 100}};
    if (with_order_by) fields.push_back({"tSQLOrderBy", ado::adVarWChar, 500});
    std::vector<std::vector<ado::Variant>> rows;
    for (const Rule& rule : rules) {
      std::vector<ado::Variant> row = {rule.target, rule.ds,    rule.select,
                                       rule.from,   rule.where, rule.import_rule};
      if (with_order_by) row.emplace_back(rule.order_by);
      rows.push_back(row);
    }
    Save(MakeRecordset(fields, rows), "QvExportRules.xml", 6);
  }

  void WriteUploadUrl(const std::string& url) {
    Save(MakeRecordset({{"nID", ado::adInteger, 4}, {"tValue", ado::adVarWChar, 500}},
                       {{int32_t{1}, url}}),
         "QvExportSettings.xml", 1);
  }

  // The number of records of a result file; -1 when it cannot be read.
  static int64_t RecordsIn(const std::string& path) {
    CQvXMLManip manip;
    const auto rs = manip.OpenXMLToRS(path, false);
    if (!rs || rs->State() != ado::adStateOpen) return -1;
    return rs->RecordCount();
  }

 private:
  void Save(const std::shared_ptr<ado::Recordset>& rs, const std::string& name, int32_t encode) {
    CQvXMLManip manip;
    if (!manip.SaveRSToXML(rs, home_.File(name), true, false, encode)) std::abort();
  }

  ProgramHome home_;
  std::shared_ptr<FakeUploader> uploader_ = std::make_shared<FakeUploader>();
  RunnerSwap swap_{uploader_};
};

// Collects what an exporter reports.
struct Traces {
  struct Entry {
    std::string message;
    std::string description;  // of the error record passed along
    int32_t event_type;
  };
  std::vector<Entry> entries;

  CQvDataExporter::TraceFn Fn() {
    return [this](const std::string& message, const core::ErrorRecord& error, int32_t event_type,
                  int32_t) {
      entries.push_back({message, error.description, event_type});
    };
  }
  // Entries of that type whose message contains `text`.
  int Count(const std::string& text, int32_t event_type) const {
    int count = 0;
    for (const Entry& entry : entries) {
      if (entry.event_type == event_type && entry.message.find(text) != std::string::npos) ++count;
    }
    return count;
  }
  // Whether an entry of that type has exactly that message.
  bool Has(const std::string& message, int32_t event_type) const {
    for (const Entry& entry : entries) {
      if (entry.event_type == event_type && entry.message == message) return true;
    }
    return false;
  }
  // Every entry, one a line: type, message and the error's description.
  std::string All() const {
    std::string text;
    for (const Entry& entry : entries) {
      text += std::to_string(entry.event_type) + " " + entry.message;
      if (!entry.description.empty()) text += " | " + entry.description;
      text += "\n";
    }
    return text;
  }
};

}  // namespace qv::test
