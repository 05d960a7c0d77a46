#include "shared/QvDataSourceLoader.h"

#include <optional>
#include <set>
#include <vector>

#include "core/Error.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedConvert.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedStrings.h"

namespace qv {
namespace {

constexpr const char* kLoad = "QvDataSourceLoader.Load";

void Warn(const std::string& message) {
  QvSharedErrorLog::Instance().LogEvent(message, {}, kEventWarning, kLevelExport);
}

// "record 3 (Sales)": the record's position in the file and its name, if any.
std::string RecordLabel(int64_t position, const std::string& name) {
  std::string label = "record " + std::to_string(position);
  if (!name.empty()) label += " (" + name + ")";
  return label;
}

std::string TextOf(ado::Recordset& rs, const char* field) {
  const std::optional<ado::Field> found = rs.Fields().Find(field);
  return found ? QvSharedStrings::ToText(found->Value()) : std::string();
}

}  // namespace

bool QvDataSourceLoader::Load(const std::shared_ptr<ado::Recordset>& rs, QvDataSourceList& list,
                              const std::string& /*reserved1*/, const std::string& /*reserved2*/) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!rs || rs->State() != ado::adStateOpen) {
          throw core::Error(core::kErrObjectClosed, "QvDataSourceLoader",
                            "the data-source file is missing or could not be read");
        }
        line = 2;
        for (const char* required : {"nID", "tConnectionString"}) {
          if (!rs->Fields().Find(required)) {
            throw core::Error(core::kErrItemNotFound, "QvDataSourceLoader",
                              std::string("the data-source file has no field ") + required);
          }
        }

        line = 3;
        std::vector<std::shared_ptr<QvDataSource>> loaded;
        std::set<int32_t> taken;
        int64_t position = 0;
        if (!rs->Eof() || !rs->Bof()) rs->MoveFirst();
        for (; !rs->Eof(); rs->MoveNext()) {
          ++position;
          const std::string name = TextOf(*rs, "tName");
          const std::string label = RecordLabel(position, name);
          int32_t id = 0;
          try {
            const ado::Variant value = rs->Fields().Item("nID").Value();
            if (value.IsEmpty() || value.IsNull()) {
              throw core::Error(core::kErrInvalidUseOfNull, "QvDataSourceLoader", "no value");
            }
            id = QvSharedConvert::ToInteger(value);
          } catch (const core::Error& e) {
            Warn(std::string(kLoad) + ", " + label + " skipped: nID is not a whole number (" +
                 e.record().description + ")");
            continue;
          }
          std::string connection_string = TextOf(*rs, "tConnectionString");
          if (connection_string.find_first_not_of(" \t\r\n") == std::string::npos) {
            Warn(std::string(kLoad) + ", " + label + " skipped: data source #" +
                 std::to_string(id) + " has no connection string");
            continue;
          }
          if (!taken.insert(id).second) {
            Warn(std::string(kLoad) + ", " + label + " skipped: data source #" +
                 std::to_string(id) + " is already defined by an earlier record");
            continue;
          }
          loaded.push_back(std::make_shared<QvDataSource>(id, name, std::move(connection_string)));
        }

        line = 4;
        for (auto& data_source : loaded) {
          if (!list.Add(data_source)) {
            Warn(std::string(kLoad) + ", data source #" + std::to_string(data_source->ID()) +
                 " is already in the list; the one there is kept");
          }
        }
        return true;
      },
      AtLine(std::string(kLoad) + ", @Line#"));
}

}  // namespace qv
