#include "RecordsetFile.h"

#include <filesystem>
#include <regex>
#include <utility>
#include <vector>

#include "ToolError.h"
#include "ado/RecordsetXml.h"
#include "app/ProgramFileCheck.h"
#include "core/AtomicFile.h"
#include "core/Error.h"
#include "shared/QvSharedErrorLog.h"
#include "store/CQvXMLManip.h"
#include "xmlformat/XmlReader.h"

namespace rsfile {
namespace {

namespace fs = std::filesystem;

// Collects what the program's classes log while it is installed. The field walks
// report a value they cannot convert and go on; the tool turns that into a failure
// instead of writing a file with some values left as they were.
class LogCapture : public qv::LogSink {
 public:
  LogCapture() = default;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void Write(const qv::LogEntry& entry) noexcept override {
    if (count_++ > 0) return;
    try {
      first_ = entry;
    } catch (...) {
      // Write must not throw; a lost entry only shortens the report.
    }
  }
  size_t Count() const { return count_; }
  // "MESSAGE: DESCRIPTION (and N more)", the message without the program's class and
  // step names.
  std::string Summary() const {
    static const std::regex kOperation(R"(^[A-Za-z]+\.[A-Za-z_]+(, | - ))");
    static const std::regex kStep(R"(, @ ?Line#[0-9]+)");
    static const std::regex kFieldName(R"(Field Name=?)");
    std::string text = std::regex_replace(first_.message, kOperation, "");
    text = std::regex_replace(text, kStep, "");
    text = std::regex_replace(text, kFieldName, "field ");
    if (!first_.error.description.empty()) text += ": " + first_.error.description;
    if (count_ > 1) text += " (and " + std::to_string(count_ - 1) + " more)";
    return text;
  }

 private:
  qv::LogEntry first_;
  size_t count_ = 0;
};

// Installs a LogCapture for its lifetime and puts the previous sink back afterwards.
class ScopedLogCapture {
 public:
  ScopedLogCapture()
      : capture_(std::make_shared<LogCapture>()),
        previous_(qv::QvSharedErrorLog::Instance().SetSink(capture_)) {}
  ~ScopedLogCapture() { qv::QvSharedErrorLog::Instance().SetSink(previous_); }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  const LogCapture& capture() const { return *capture_; }

 private:
  std::shared_ptr<LogCapture> capture_;
  std::shared_ptr<qv::LogSink> previous_;
};

}  // namespace

std::shared_ptr<ado::Recordset> OpenRecordsetFile(const std::string& path,
                                                  std::optional<int32_t> decode, bool editable) {
  std::error_code error;
  fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) throw ToolError(path + ": no such file");
  if (fs::is_directory(status)) throw ToolError(path + ": is a folder, not a file");

  auto recordset = std::make_shared<ado::Recordset>();
  try {
    recordset->SetCursorLocation(ado::adUseClient);
    recordset->SetCursorType(ado::adOpenDynamic);
    recordset->SetLockType(ado::adLockOptimistic);
    ado::RecordsetData data = ado::ReadRecordsetXmlFile(path);
    // A file saved read-only opens read-only; changing its values needs it updatable.
    if (editable || decode) data.properties.updatable = true;
    recordset->OpenWith(std::move(data));
  } catch (const core::Error& e) {
    throw ToolError(path + ": " + e.record().description);
  }
  if (decode) {
    // Texts of the other encoding, or none, would pass through some decoders unchanged.
    if (const std::string problem = qv::EncodingProblem(*recordset, *decode); !problem.empty()) {
      throw ToolError(path + ": cannot decode: " + problem);
    }
    ScopedLogCapture log;
    bool finished = qv::CQvXMLManip().DecodeRecordset(recordset, *decode);
    if (!finished || log.capture().Count() > 0) {
      throw ToolError(path + ": cannot decode with encode type " + std::to_string(*decode) + ": " +
                      log.capture().Summary());
    }
  }
  return recordset;
}

void EncodeRecordsetTexts(const std::shared_ptr<ado::Recordset>& recordset, int32_t encode_type) {
  ScopedLogCapture log;
  bool finished = qv::CQvXMLManip().EncodeRecordset(recordset, encode_type);
  if (!finished || log.capture().Count() > 0) {
    throw ToolError("cannot encode with encode type " + std::to_string(encode_type) + ": " +
                    log.capture().Summary());
  }
}

void SaveRecordsetFile(const ado::Recordset& recordset, const std::string& path) {
  fs::path target(path);
  std::error_code error;
  if (fs::is_directory(target, error)) throw ToolError(path + ": is a folder, not a file");
  try {
    core::AtomicFile file(path, "rsfile");
    ado::WriteRecordsetXmlFile(recordset, file.TemporaryPath());
    file.Commit(core::AtomicFile::Durability::kFlushed);
  } catch (const core::Error& e) {
    throw ToolError(path + ": " + e.record().description);
  }
}

void ForEachRecord(ado::Recordset& recordset, const std::function<void(size_t)>& visit) {
  if (recordset.Bof() && recordset.Eof()) return;
  recordset.MoveFirst();
  for (size_t number = 0; !recordset.Eof(); ++number) {
    visit(number);
    recordset.MoveNext();
  }
}

std::vector<std::vector<ado::Variant>> DeletedRows(const ado::Recordset& recordset) {
  std::vector<std::vector<ado::Variant>> rows;
  const ado::RecordStore& records = recordset.Records();
  for (size_t record = 0; record < records.RecordCount(); ++record) {
    const int32_t status = records.Status(record);
    if (!(status & ado::adRecDeleted) || (status & ado::kRecordGone)) continue;
    std::vector<ado::Variant>& row = rows.emplace_back();
    for (size_t field = 0; field < records.FieldCount(); ++field) {
      row.push_back(records.Get(record, field));
    }
  }
  return rows;
}

}  // namespace rsfile
