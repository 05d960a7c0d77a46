#include "RecordsetFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "ToolError.h"
#include "core/Error.h"
#include "ado/XmlReader.h"
#include "ado/XmlWriter.h"
#include "shared/QvSharedErrorLog.h"
#include "store/CQvXMLManip.h"

namespace rsfile {
namespace {

namespace fs = std::filesystem;

ToolError SystemError(const std::string& path, int error_number) {
  return ToolError(path + ": " + std::strerror(error_number));
}

// A temporary file that is removed again unless it was committed (renamed away).
class TempFile {
 public:
  TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  // Closes the descriptor; returns errno of a failed close, else 0.
  int Close() {
    int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }
  void Commit() { committed_ = true; }

 private:
  std::string path_;
  int fd_;
  bool committed_ = false;
};

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
  // "MESSAGE: DESCRIPTION (and N more)"
  std::string Summary() const {
    std::string text = first_.message;
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

mode_t CreationMode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

void SyncFolder(const fs::path& folder) {
  // Makes the rename durable; a failure here does not undo the save, so it is ignored.
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

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
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";

  std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) throw SystemError(path, errno);
  TempFile temp(name.data(), fd);
  // mkstemp creates the file private to its owner; give it the mode a new file gets.
  if (::fchmod(temp.fd(), CreationMode()) != 0) throw SystemError(path, errno);

  try {
    ado::WriteRecordsetXmlFile(recordset, temp.path());
  } catch (const core::Error& e) {
    throw ToolError(path + ": " + e.record().description);
  }
  if (::fsync(temp.fd()) != 0) throw SystemError(path, errno);
  if (int close_error = temp.Close(); close_error != 0) throw SystemError(path, close_error);
  if (::rename(temp.path().c_str(), target.c_str()) != 0) throw SystemError(path, errno);
  temp.Commit();
  SyncFolder(folder);
}

void ForEachRecord(ado::Recordset& recordset, const std::function<void(size_t)>& visit) {
  if (recordset.Bof() && recordset.Eof()) return;
  recordset.MoveFirst();
  for (size_t number = 0; !recordset.Eof(); ++number) {
    visit(number);
    recordset.MoveNext();
  }
}

}  // namespace rsfile
