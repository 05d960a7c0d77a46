#include "app/ExportCheck.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/ProgramFileCheck.h"
#include "app/RegistryCheck.h"
#include "core/Text.h"
#include "export/CQvDataExporter.h"
#include "export/RuleRequest.h"
#include "platform/ProgramFolder.h"
#include "platform/RegistryFile.h"
#include "records/basADOUtilities.h"
#include "settings/CQvSettings.h"
#include "shared/QvDataSourceList.h"
#include "shared/QvDataSourceLoader.h"
#include "shared/QvSharedConvert.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"
#include "upload/CQVFileXfer.h"
#include "upload/ConnectionCheck.h"
#include "upload/UploadPolicy.h"
#include "util/basCQvRegistry.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRulesFile = "QvExportRules.xml";
constexpr const char* kDataSourcesFile = "QvExportDS.xml";
constexpr const char* kSettingsFile = "QvExportSettings.xml";
constexpr int kConnectTimeoutMs = 5000;

// Collects what the components report to the error log while it is installed, instead
// of writing it to the program's log.
class CapturedLog : public LogSink {
 public:
  CapturedLog() = default;
  void Write(const LogEntry& entry) noexcept override {
    try {
      if (entry.event_type == kEventInformation) return;
      std::string text = entry.message;
      if (!entry.error.description.empty()) text += ": " + entry.error.description;
      lines_.push_back(std::move(text));
    } catch (...) {
    }
  }
  // The entries since the last call.
  std::vector<std::string> Take() { return std::exchange(lines_, {}); }

 private:
  std::vector<std::string> lines_;
};

class ScopedCapture {
 public:
  ScopedCapture() : log_(std::make_shared<CapturedLog>()) {
    previous_ = QvSharedErrorLog::Instance().SetSink(log_);
  }
  ~ScopedCapture() { QvSharedErrorLog::Instance().SetSink(previous_); }
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  std::vector<std::string> Take() { return log_->Take(); }

 private:
  std::shared_ptr<CapturedLog> log_;
  std::shared_ptr<LogSink> previous_;
};

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Ok(const std::string& item, const std::string& note = {}) {
    out_ << "ok   " << item << (note.empty() ? "" : ": " + note) << "\n";
  }
  void Fail(const std::string& item, const std::string& reason) {
    out_ << "FAIL " << item << ": " << reason << "\n";
    failed_ = true;
  }
  // Something a run does without failing, but not as the operator likely meant.
  void Warn(const std::string& item, const std::string& reason) {
    out_ << "warn " << item << ": " << reason << "\n";
  }
  // An item that cannot be checked because of a failure reported before.
  void NotChecked(const std::string& item, const std::string& reason) {
    out_ << "--   " << item << ": not checked: " << reason << "\n";
  }
  bool Failed() const { return failed_; }

 private:
  std::ostream& out_;
  bool failed_ = false;
};

std::string Text(const std::shared_ptr<ado::Recordset>& rs, const char* field) {
  return QvSharedStrings::ToText(rs->Fields().Item(field).Value());
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + line;
  return text;
}

// Whether a file can be made in `folder`, or in the nearest folder above it that
// exists (the run creates the missing ones). Empty when it can, else the reason.
std::string CreatableFolder(const fs::path& folder) {
  std::error_code ec;
  fs::path existing = folder;
  while (!existing.empty() && !fs::exists(existing, ec)) {
    if (existing == existing.parent_path()) break;
    existing = existing.parent_path();
  }
  if (existing.empty()) existing = ".";
  if (!fs::is_directory(existing, ec)) return existing.string() + " is not a folder";
  if (::access(existing.c_str(), W_OK | X_OK) != 0) {
    return "cannot write in " + existing.string() + ": " + std::strerror(errno);
  }
  return {};
}

// Whether a file can be made in `folder`: one is made and removed.
std::string WritableFolder(const fs::path& folder) {
  std::string temp = (folder / ".qvdataexporter-check.XXXXXX").string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  ::unlink(temp.c_str());
  return {};
}

struct AddressInfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

struct Socket {
  int fd = -1;
  explicit Socket(int descriptor) : fd(descriptor) {}
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
};

// Opens and closes a TCP connection to host:port; empty when it worked, else why not.
std::string TcpConnect(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    return "cannot resolve " + host + ": " + ::gai_strerror(rc);
  }
  const std::unique_ptr<addrinfo, AddressInfoDeleter> addresses(found);
  std::string reason = "no address";
  for (const addrinfo* at = addresses.get(); at != nullptr; at = at->ai_next) {
    const Socket socket(
        ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol));
    if (socket.fd < 0) {
      reason = std::strerror(errno);
      continue;
    }
    if (::connect(socket.fd, at->ai_addr, at->ai_addrlen) == 0) return {};
    if (errno != EINPROGRESS) {
      reason = std::strerror(errno);
      continue;
    }
    pollfd wait{socket.fd, POLLOUT, 0};
    const int ready = ::poll(&wait, 1, kConnectTimeoutMs);
    if (ready == 0) {
      reason = "no answer within " + std::to_string(kConnectTimeoutMs / 1000) + " s";
      continue;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0 || ::getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
    if (error == 0) return {};
    reason = std::strerror(error);
  }
  return "cannot connect to " + host + ":" + port + ": " + reason;
}

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// The upload address's host and port, or why it is not a usable address.
struct UploadTarget {
  std::string host;
  std::string port;
  bool tls = false;  // https
  std::string error;
};

UploadTarget ParseUploadAddress(const std::string& address) {
  UploadTarget target;
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) {
    target.error = "cannot parse it (out of memory)";
    return target;
  }
  if (const CURLUcode rc = curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0);
      rc != CURLUE_OK) {
    target.error = std::string("not a well-formed address: ") + curl_url_strerror(rc);
    return target;
  }
  const auto part = [&](CURLUPart which, unsigned flags) {
    char* text = nullptr;
    std::string value;
    if (curl_url_get(url.get(), which, &text, flags) == CURLUE_OK && text != nullptr) value = text;
    curl_free(text);
    return value;
  };
  const std::string scheme = part(CURLUPART_SCHEME, 0);
  if (scheme != "http" && scheme != "https") {
    target.error = "the address must start with http:// or https://, not " + scheme + "://";
    return target;
  }
  target.tls = scheme == "https";
  target.host = part(CURLUPART_HOST, 0);
  target.port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  // An IPv6 literal comes in brackets.
  if (target.host.size() > 2 && target.host.front() == '[') {
    target.host = target.host.substr(1, target.host.size() - 2);
  }
  if (target.host.empty()) target.error = "the address has no host";
  return target;
}

class Checker {
 public:
  Checker(int16_t mode, std::ostream& out) : mode_(mode), report_(out) {}

  int Run() {
    const fs::path folder = platform::ProgramFolder();
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
      const std::string origin = platform::ProgramFolderOrigin();
      report_.Fail("program folder " + folder.string(),
                   "is not a folder" + (origin.empty() ? "" : " (" + origin + ")"));
      return 1;
    }
    report_.Ok("program folder " + folder.string(), platform::ProgramFolderOrigin());
    CheckDataSources(folder);
    CheckRules(folder);
    CheckUpload(folder);
    CheckRegistry(folder);
    CheckLogFolder(folder);
    return report_.Failed() ? 1 : 0;
  }

 private:
  // The recordset of a program file, or null after reporting why it is unusable.
  // Its fields and the encoding of its texts are checked on the file as written, each
  // problem on a line of its own; `usable` is false after any of them.
  std::shared_ptr<ado::Recordset> OpenProgramFile(const fs::path& path, const std::string& item,
                                                  const ProgramFileLayout& layout,
                                                  bool* usable = nullptr) {
    if (usable != nullptr) *usable = false;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      report_.Fail(item, "missing");
      return nullptr;
    }
    const std::shared_ptr<ado::Recordset> raw = CQvXMLManip().OpenXMLToRS(path, false, 0);
    if (!raw || raw->State() != ado::adStateOpen) {
      const std::string reason = Joined(capture_.Take());
      report_.Fail(item, "not a recordset file" + (reason.empty() ? "" : ": " + reason));
      return nullptr;
    }
    bool ok = true;
    for (const std::string& problem : FieldProblems(*raw, layout)) {
      report_.Fail(item, problem);
      ok = false;
    }
    if (const std::string problem = EncodingProblem(*raw, layout.encode_type); !problem.empty()) {
      const std::string type = std::to_string(layout.encode_type);
      report_.Fail(item, problem + " (the program reads this file with type " + type +
                             ": rsfile from-json ... --encode " + type + ")");
      ok = false;
    }
    std::shared_ptr<ado::Recordset> rs = CQvXMLManip().OpenXMLToRS(path, true, layout.encode_type);
    // Its decoding failures were reported above, in plainer words.
    capture_.Take();
    if (usable != nullptr) *usable = ok;
    if (!rs || rs->State() != ado::adStateOpen) return nullptr;
    return rs;
  }

  void CheckDataSources(const fs::path& folder) {
    const std::string item = std::string("data-source file ") + kDataSourcesFile;
    bool usable = false;
    const std::shared_ptr<ado::Recordset> sources = OpenProgramFile(
        folder / kDataSourcesFile, item, {{"nID", "tConnectionString"}, {"tName"}, 1}, &usable);
    if (!sources || !usable) return;
    if (!QvDataSourceLoader().Load(sources, list_, "", "")) {
      report_.Fail(item, Joined(capture_.Take()));
      return;
    }
    const std::vector<std::string> skipped = capture_.Take();
    for (const std::string& warning : skipped) report_.Fail(item, warning);
    report_.Ok(item, std::to_string(list_.Count()) + " data source(s)");
    sources_ok_ = true;

    std::set<int32_t> seen;
    for (sources->MoveFirst(); !sources->Eof(); sources->MoveNext()) {
      int32_t id = 0;
      try {
        id = QvSharedConvert::ToInteger(sources->Fields().Item("nID").Value());
      } catch (const core::Error&) {
        continue;  // reported by the loader
      }
      if (!list_.Exists(id) || !seen.insert(id).second) continue;
      const std::shared_ptr<QvDataSource> source = list_.Item(id);
      const std::string name =
          "data source " + std::to_string(id) + " (" + source->Name() + ") in " + kDataSourcesFile;
      try {
        const std::shared_ptr<ado::Connection> connection =
            source->GetConnection(QvDataSource::kSharedConnection);
        report_.Ok(name, "connected to " + connection->DbmsName());
      } catch (const core::Error& e) {
        report_.Fail(name, e.record().description);
        unusable_.insert(id);
      }
    }
  }

  void CheckRules(const fs::path& folder) {
    const std::string item = std::string("rules file ") + kRulesFile;
    ProgramFileLayout layout{
        {"tTargetPath", "nDSID", "tSQLSelect", "tSQLFrom", "tSQLWhere"}, {"tSQLOrderBy"}, 6};
    (ModeSends() ? layout.required : layout.optional).emplace_back("tImportRuleFolder");
    bool usable = true;
    const std::shared_ptr<ado::Recordset> rules =
        OpenProgramFile(folder / kRulesFile, item, layout, &usable);
    if (!rules || !usable) return;
    if (rules->Eof()) {
      report_.Fail(item, "no rules");
      return;
    }
    report_.Ok(item, std::to_string(rules->RecordCount()) + " rule(s)");
    for (int32_t position = 1; !rules->Eof(); rules->MoveNext(), ++position) {
      CheckRule(rules, position);
    }
  }

  bool ModeSends() const { return mode_ >= 2 && mode_ <= 7; }
  // The modes that compare each entity by its key.
  bool ModeKeyed() const { return mode_ >= 4 && mode_ <= 7; }

  void CheckRule(const std::shared_ptr<ado::Recordset>& rules, int32_t position) {
    const std::string target = Text(rules, "tTargetPath");
    const std::string item =
        "rule " + std::to_string(position) + " (" + target + ") in " + kRulesFile;
    if (target.empty()) {
      report_.Fail(item, "tTargetPath is empty");
      return;
    }
    const fs::path folder = fs::path(target).parent_path();
    if (const std::string reason = CreatableFolder(folder.empty() ? "." : folder);
        !reason.empty()) {
      report_.Fail(item, "target folder: " + reason);
      return;
    }
    int32_t id = 0;
    try {
      id = QvSharedConvert::ToInteger(rules->Fields().Item("nDSID").Value());
    } catch (const core::Error&) {
      report_.Fail(item, "nDSID is not a whole number");
      return;
    }
    if (!sources_ok_) {
      report_.NotChecked(item, std::string("the data sources cannot be read"));
      return;
    }
    if (!list_.Exists(id)) {
      report_.Fail(item, "data source " + std::to_string(id) + " is not in " + kDataSourcesFile);
      return;
    }
    if (unusable_.count(id) != 0) {
      report_.NotChecked(item, "data source " + std::to_string(id) + " cannot be connected to");
      return;
    }
    const std::string import_rule =
        FieldExists(rules, "tImportRuleFolder") ? Text(rules, "tImportRuleFolder") : "";
    if (ModeSends() && import_rule.empty()) {
      report_.Fail(item, "tImportRuleFolder is empty: mode " + std::to_string(mode_) +
                             " sends every file under it, so a run fails this rule");
      return;
    }
    std::string sql;
    std::optional<std::vector<std::string>> columns;
    try {
      sql = CQvDataExporter::BuildSQLText(rules);
      // The paged and split exports run the query in their row order.
      if (mode_ != 1 && mode_ != 4) sql = CQvDataExporter::AddRowOrderToSQL(sql);
      columns =
          list_.Item(id)->GetConnection(QvDataSource::kSharedConnection)->PreparedColumns(sql);
    } catch (const core::Error& e) {
      report_.Fail(item, "the SQL does not prepare: " + e.record().description);
      return;
    }
    if (ModeKeyed() && columns && !HasColumn(*columns, "tSID")) {
      report_.Fail(item, "mode " + std::to_string(mode_) +
                             " keys each entity by a tSID column, and the query returns none (" +
                             Listed(*columns) + ")");
      return;
    }
    if (ModeSends()) {
      if (const std::string problem = UnwritableRequestParts(import_rule, target);
          !problem.empty()) {
        report_.Warn(item, "the upload request's " + problem);
      }
    }
    std::string note = "SQL prepared on data source " + std::to_string(id);
    if (ModeKeyed() && !columns) note += " (its columns are only known once it runs)";
    report_.Ok(item, note);
  }

  static bool HasColumn(const std::vector<std::string>& columns, const std::string& name) {
    return std::any_of(columns.begin(), columns.end(), [&](const std::string& column) {
      return core::FoldCase(column) == core::FoldCase(name);
    });
  }

  static std::string Listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
  }

  bool SettingsFileUsable(const fs::path& folder, const std::string& item) {
    bool usable = false;
    OpenProgramFile(folder / kSettingsFile, item, {{"nID", "tValue"}, {}, 1}, &usable);
    return usable;
  }

  void CheckUpload(const fs::path& folder) {
    const std::string item = std::string("settings file ") + kSettingsFile;
    std::error_code ec;
    if (!fs::is_regular_file(folder / kSettingsFile, ec)) {
      report_.Fail(item, "missing, so no upload address (setting 1)");
    } else if (!SettingsFileUsable(folder, item)) {
      // Reported line by line.
    } else {
      const std::string address = CQvSettings().GetSettingValue(kSettingUploadUrl);
      if (const std::string reason = Joined(capture_.Take()); !reason.empty()) {
        report_.Fail(item, reason);
      } else if (address.empty()) {
        report_.Fail(item, "no upload address (setting 1)");
      } else {
        report_.Ok(item);
        const UploadTarget target = ParseUploadAddress(address);
        const std::string address_item =
            "upload address " + address + " in " + std::string(kSettingsFile);
        if (!target.error.empty()) {
          report_.Fail(address_item, target.error);
        } else if (const std::string refused = TcpConnect(target.host, target.port);
                   !refused.empty()) {
          report_.Fail(address_item, refused);
        } else if (target.tls) {
          CheckTls(address_item, address, target);
        } else {
          report_.Ok(address_item, target.host + ":" + target.port + " accepts connections");
        }
      }
    }

    if (CQVFileXfer::BuiltinSenderSelected()) {
      report_.Ok("uploader", "the built-in sender (\"Uploader\"=\"builtin\")");
      return;
    }
    const fs::path uploader = CQVFileXfer::UploaderPath();
    if (!fs::exists(uploader, ec)) {
      report_.Fail("uploader " + uploader.string(), "missing");
    } else if (!fs::is_regular_file(uploader, ec) || ::access(uploader.c_str(), X_OK) != 0) {
      report_.Fail("uploader " + uploader.string(), "not an executable file");
    } else {
      report_.Ok("uploader " + uploader.string());
    }
  }

  // An https address: the TLS handshake a run makes, with the certificate checks the
  // run's sender makes (upload.exe accepts any certificate).
  void CheckTls(const std::string& item, const std::string& address, const UploadTarget& target) {
    SendOptions options = SendOptionsFromRegistry();
    std::string checks;
    if (!CQVFileXfer::BuiltinSenderSelected()) {
      options.verify_certificate = false;
      checks = "the server's certificate not checked (upload.exe accepts any certificate)";
    } else if (!options.verify_certificate) {
      checks = "the server's certificate not checked (\"UploaderVerifyCertificate\" is not 1)";
    } else if (!options.ca_file.empty()) {
      checks =
          "the server's certificate checked against " + options.ca_file + " (\"UploaderCAFile\")";
    } else {
      checks = "the server's certificate checked against the system's CA certificates";
    }
    const std::string server = target.host + ":" + target.port;
    const SendResult result = CheckConnection(address, options);
    if (result.status == 0) {
      report_.Ok(item, server + " accepts TLS connections, " + checks);
    } else {
      report_.Fail(item, "no TLS connection to " + server + ", " + checks + ": " + result.reason);
    }
  }

  void CheckRegistry(const fs::path& folder) {
    const fs::path path = platform::RegistryFile::DefaultPath(folder);
    const std::string item = "registry file " + path.string();
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      report_.Ok(item, "none: every entry is logged and upload.exe sends");
      return;
    }
    std::vector<std::string> problems;
    const platform::RegistryFile registry = platform::RegistryFile::Load(
        path, [&](const std::string& warning) { problems.push_back(warning); });
    for (const std::string& problem : RegistryProblems(registry)) problems.push_back(problem);
    for (const std::string& problem : problems) report_.Fail(item, problem);
    if (!problems.empty()) return;
    const std::optional<ado::Variant> level =
        registry.GetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane", "EventLogLevel");
    report_.Ok(item, level ? "log level " + std::to_string(level->AsInt64())
                           : std::string("no EventLogLevel: every entry is logged"));
  }

  void CheckLogFolder(const fs::path& folder) {
    const std::string item = "log folder " + folder.string();
    if (const std::string reason = WritableFolder(folder); !reason.empty()) {
      report_.Fail(item, "cannot write there: " + reason);
    } else {
      report_.Ok(item, "writable");
    }
  }

  int16_t mode_;
  Report report_;
  ScopedCapture capture_;
  QvDataSourceList list_;
  bool sources_ok_ = false;
  std::set<int32_t> unusable_;
};

}  // namespace

int ExportCheck::Run(int16_t mode, std::ostream& out) { return Checker(mode, out).Run(); }

}  // namespace qv
