#include "upload/CQVFileXfer.h"

#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "core/Folder.h"
#include "fs/CQvFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "platform/ProcessRunner.h"
#include "platform/ProgramFolder.h"
#include "settings/CQvSettings.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedFileSystem.h"
#include "upload/IdempotencyKey.h"
#include "upload/UploadQueue.h"
#include "upload/UploaderAnswer.h"
#include "util/basCQvRegistry.h"
#include "util/basCQvStringManipulation.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr char kClassName[] = "CQVFileXfer";
constexpr char kUploaderName[] = "upload.exe";
constexpr char kDeliveredFolder[] = "LastTx";
constexpr char kUndeliveredFolder[] = "Unsent";
constexpr char kRegistryKey[] = "SOFTWARE";
constexpr char kRegistrySubKey[] = "Tolvane";
constexpr char kBuiltinSender[] = "builtin";

std::atomic<uint64_t> files_sent{0};
std::atomic<uint64_t> sends_failed{0};
std::atomic<uint64_t> bytes_sent{0};

// The dry run's sink; set before the run's uploads and cleared after them.
std::mutex dry_run_mutex;
DryRunSink dry_run_sink;

DryRunSink CurrentDryRunSink() {
  const std::lock_guard<std::mutex> lock(dry_run_mutex);
  return dry_run_sink;
}

void Trace(const std::string& message, int32_t event_type) {
  TraceEvent(std::string(kClassName) + message, {}, event_type, kLevelExport);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The exit status with what it means when it is one of curl's.
std::string DescribedStatus(int status) {
  std::string text = std::to_string(status);
  if (status > 0 && status < CURL_LAST) {
    text += std::string(" (") + curl_easy_strerror(static_cast<CURLcode>(status)) + ")";
  }
  return text;
}

// The upload address without its query: the address the operator set.
std::string BaseAddress(const std::string& address) { return address.substr(0, address.find('?')); }

// The uploads of the process: the queue that sends them and what the run's report of
// them still has to say. Guarded by its mutex; the queue's callbacks run under it.
class Uploads {
 public:
  static Uploads& Instance() {
    static Uploads uploads;
    return uploads;
  }

  std::mutex mutex;
  UploadQueue queue{[](const UploadJob& job) {
    std::string error_output;
    const std::string uploader = CQVFileXfer::UploaderPath();
    const std::vector<std::string> argv =
        CQVFileXfer::UploadArguments(uploader, job.file, job.address);
    int status = -1;
    std::string reason;
    try {
      status = platform::CurrentProcessRunner()->RunQuietly(argv, error_output);
    } catch (const core::Error& error) {
      reason = error.record().description;
      Trace(".RunExe, sCommand=" + CQVFileXfer::UploadCommandLine(uploader, job.file, job.address) +
                ": " + reason,
            kEventWarning);
    }
    SendResult result = SendResult::Failed(status, reason);
    if (status != 0) ReadUploaderAnswer(error_output, result);
    if (result.reason.empty() && status > 0 && status < CURL_LAST) {
      result.reason = curl_easy_strerror(static_cast<CURLcode>(status));
    }
    return result;
  }};
  bool configured = false;  // the settings read for this run
  bool builtin = false;
  int connections = 1;
  // Failures of the connection, and lines about what they left undone, reported once
  // the server is known to answer again or the run ends; folded into one line when the
  // run stops sending. `second` tells a file's own line.
  std::vector<std::pair<std::string, bool>> deferred_lines;
  uint64_t files_waiting = 0;  // not delivered while the door was shut, or folded into it
  std::string shut_address;

  // Reads the settings once a run (until EndRun): reading them for each file would cost
  // more than the rest of its sending.
  void Configure() {
    if (configured) return;
    configured = true;
    std::vector<std::string> warnings;
    const UploadPolicy policy = UploadPolicy::FromRegistry(warnings);
    for (const std::string& warning : warnings) Trace(" - " + warning, kEventWarning);
    const SendOptions options = SendOptionsFromRegistry();
    builtin = CQVFileXfer::BuiltinSenderSelected();
    connections = builtin ? policy.connections : 1;
    queue.Configure(policy, options, builtin);
  }

  // Reports the failed upload of a file, or keeps the report back (see deferred_lines).
  void Failed(const UploadOutcome& outcome, const std::string& file, const std::string& imp_rule,
              const std::string& address) {
    if (outcome.held || (queue.Shut() && IsConnectionFailure(outcome.result))) {
      ++files_waiting;
      shut_address = BaseAddress(address);
      return;
    }
    std::string line = ".TransferFile - the upload failed, File: " + file +
                       ", exit status: " + DescribedStatus(outcome.result.status) +
                       ", rule: " + imp_rule + ", address: " + address;
    if (outcome.result.http_status != 0) {
      line += ", HTTP status: " + std::to_string(outcome.result.http_status);
    } else if (!outcome.result.reason.empty()) {
      line += ", reason: " + outcome.result.reason;
    }
    line += ", tries: " + std::to_string(outcome.tries);
    if (IsConnectionFailure(outcome.result)) {
      deferred_lines.emplace_back(line, true);
      shut_address = BaseAddress(address);
      return;
    }
    Trace(line, kEventWarning);
  }

  void Delivered() { FlushDeferred(); }

  void FlushDeferred() {
    for (const auto& [line, own] : deferred_lines) {
      if (own) {
        Trace(line, kEventWarning);
      } else {
        TraceEvent(line, {}, kEventWarning, kLevelExport);
      }
    }
    deferred_lines.clear();
  }

  // Waits for every upload, then says what a run that stopped sending left waiting.
  void EndRun() {
    queue.Drain();
    if (queue.Shut()) {
      for (const auto& deferred : deferred_lines) files_waiting += deferred.second ? 1 : 0;
      deferred_lines.clear();
      Trace(" - uploads stopped: " + shut_address + " could not be reached (" + queue.ShutReason() +
                ") " + std::to_string(queue.FailuresThatShut()) + " times in a row; " +
                std::to_string(files_waiting) + " file(s) wait for the next run",
            kEventWarning);
    }
    FlushDeferred();
    files_waiting = 0;
    shut_address.clear();
    queue.Reopen();
    configured = false;
  }

 private:
  // libcurl's global state is made first, so it is cleaned up after the queue's handles.
  Uploads() {
    try {
      CurlGlobal::Instance();
    } catch (...) {
      // The queue reports it when it sends.
    }
  }
};

// Moves the file `source` into `folder` (LastTx or Unsent beside it, made when missing),
// replacing a file of the same name there. A symbolic link in the folder's place or at
// the name is left as it is, and so is the file: a warning says so. A rename does it
// when both lie on one file system; otherwise the file is copied and the source deleted.
void MoveReplacing(const std::string& source, const std::string& folder, const std::string& name) {
  try {
    const core::Folder into = core::Folder::Make(folder, core::Folder::Reach::kOwn, kClassName);
    if (into.MoveIn(source, name)) return;
    CQvFileSystem file_system;
    std::string from = source;
    std::string to = into.PathOf(name);
    if (into.KindOf(name) != core::EntryKind::kLink && file_system.BackupFile(from, to)) {
      file_system.DeleteFile(source, true);
    }
  } catch (const core::Error& error) {
    Trace(".TransferFile, " + source + " was left where it is: " + error.record().description,
          kEventWarning);
  }
}

}  // namespace

bool CQVFileXfer::TransferFile(const std::string& strFileToTransfer,
                               const std::string& strImpRuleFolder) {
  std::optional<bool> delivered;
  Uploads& uploads = Uploads::Instance();
  const std::lock_guard<std::mutex> lock(uploads.mutex);
  Start(strFileToTransfer, strImpRuleFolder, [&](bool sent) { delivered = sent; });
  while (!delivered && !uploads.queue.Idle()) uploads.queue.Pump(true);
  return delivered.value_or(false);
}

void CQVFileXfer::SendLater(const std::string& file, const std::string& imp_rule,
                            std::function<void(bool delivered)> done) {
  const std::lock_guard<std::mutex> lock(Uploads::Instance().mutex);
  Start(file, imp_rule, std::move(done));
}

void CQVFileXfer::Start(const std::string& strFileToTransfer, const std::string& strImpRuleFolder,
                        std::function<void(bool delivered)> done) {
  // Counts the file once, whichever way it ends, and hands over the outcome.
  const auto finish = [done = std::move(done)](bool delivered) {
    (delivered ? files_sent : sends_failed).fetch_add(1, std::memory_order_relaxed);
    if (done) done(delivered);
  };
  bool handed_over = false;
  Guard<bool>(
      TraceEvent, false,
      [&](int& line) {
        line = 1;
        Trace(".TransferFile, Test Start ZRT 001, File: " + strFileToTransfer, kEventInformation);

        line = 2;
        std::string folder;
        std::string file_name;
        std::string extension;
        QvSharedFileSystem::SplitFilePath(strFileToTransfer, folder, file_name, extension);
        // A bare file name lies in the working folder; its LastTx must not become /LastTx.
        if (folder.empty()) folder = ".";

        line = 3;
        const std::string base_url = GetUploadURL();

        line = 4;
        if (base_url.empty()) {
          Trace(".TransferFile - the Upload URL is not set", kEventWarning);
          Trace(".TransferFile, Test End ZRT 001, File: " + strFileToTransfer, kEventInformation);
          return false;
        }

        line = 5;
        const std::string address = UploadAddress(base_url, strImpRuleFolder, file_name);
        std::error_code size_error;
        const uintmax_t size = fs::file_size(strFileToTransfer, size_error);
        const bool move = MoveToLastTx;
        // Runs once the upload ended, maybe after this call returned.
        auto ended = [=](const UploadOutcome& outcome) {
          Uploads& uploads = Uploads::Instance();
          const bool delivered = outcome.result.status == 0;
          if (delivered) {
            if (!size_error) bytes_sent.fetch_add(size, std::memory_order_relaxed);
            uploads.Delivered();
          } else {
            uploads.Failed(outcome, strFileToTransfer, strImpRuleFolder, address);
          }
          // A file that did not go out is kept apart from the delivered ones, so that
          // neither it is lost nor a later run takes it for sent.
          if (move) {
            MoveReplacing(strFileToTransfer,
                          ConcatenatePath(folder, std::string(delivered ? kDeliveredFolder
                                                                        : kUndeliveredFolder)),
                          file_name);
          }
          Trace(".TransferFile, Test End ZRT 001, File: " + strFileToTransfer, kEventInformation);
          finish(delivered);
        };

        if (const DryRunSink sink = CurrentDryRunSink()) {
          sink(strFileToTransfer, strImpRuleFolder);
          handed_over = true;
          ended(UploadOutcome{});
          return true;
        }

        line = 6;
        Uploads& uploads = Uploads::Instance();
        uploads.Configure();
        UploadJob job{strFileToTransfer, address, {}, {}};
        if (uploads.queue.Shut() || !uploads.builtin) {
          // upload.exe hashes the file itself.
        } else {
          const std::optional<std::string> key =
              IdempotencyKey(QvStrMan_EncodeURIComponent(strImpRuleFolder),
                             QvStrMan_EncodeURIComponent(file_name), strFileToTransfer);
          if (!key) {
            handed_over = true;
            ended(UploadOutcome{
                SendResult::Failed(CURLE_READ_ERROR, "cannot read " + strFileToTransfer), 1,
                false});
            return false;
          }
          job.header_lines.push_back("Idempotency-Key: " + *key);
        }
        job.done = std::move(ended);
        handed_over = true;
        uploads.queue.Add(std::move(job));
        return true;
      },
      Fixed(std::string(kClassName) + ".TransferFile"));
  if (!handed_over) finish(false);
}

bool CQVFileXfer::WaitForSends(bool all) {
  Uploads& uploads = Uploads::Instance();
  const std::lock_guard<std::mutex> lock(uploads.mutex);
  if (uploads.queue.Idle()) return false;
  if (all) {
    uploads.queue.Drain();
  } else {
    uploads.queue.Pump(true);
  }
  return true;
}

void CQVFileXfer::EndRun() {
  Uploads& uploads = Uploads::Instance();
  const std::lock_guard<std::mutex> lock(uploads.mutex);
  uploads.EndRun();
}

void CQVFileXfer::WarnUnlessSendingStops(const std::string& message) {
  Uploads& uploads = Uploads::Instance();
  const std::lock_guard<std::mutex> lock(uploads.mutex);
  if (uploads.queue.Shut()) {
    TraceEvent(message, {}, kEventInformation, kLevelExport);
  } else if (uploads.deferred_lines.empty()) {
    TraceEvent(message, {}, kEventWarning, kLevelExport);
  } else {
    uploads.deferred_lines.emplace_back(message, false);
  }
}

bool CQVFileXfer::SendingStopped() {
  Uploads& uploads = Uploads::Instance();
  const std::lock_guard<std::mutex> lock(uploads.mutex);
  return uploads.queue.Shut();
}

int CQVFileXfer::TransfersInFlight() {
  Uploads& uploads = Uploads::Instance();
  const std::lock_guard<std::mutex> lock(uploads.mutex);
  uploads.Configure();
  return uploads.connections;
}

int CQVFileXfer::RunExe(const std::string& sCommand, const std::vector<std::string>& argv) {
  return Guard<int>(
      TraceEvent, -1,
      [&](int& line) {
        line = 1;
        const std::shared_ptr<platform::ProcessRunner> runner = platform::CurrentProcessRunner();
        line = 2;
        return runner->Run(argv);
      },
      Fixed(".RunExe, sCommand=" + sCommand));
}

std::string CQVFileXfer::GetUploadURL() {
  return Guard<std::string>(
      TraceEvent, {},
      [](int& line) {
        line = 1;
        CQvSettings settings;
        return settings.GetSettingValue(kSettingUploadUrl);
      },
      Fixed(std::string(kClassName) + ".GetUploadURL"));
}

std::string CQVFileXfer::UploadAddress(const std::string& base_url, const std::string& imp_rule,
                                       const std::string& file_name) {
  return base_url + "?ImpID=" + QvStrMan_EncodeURIComponent(imp_rule) +
         "&FN=" + QvStrMan_EncodeURIComponent(file_name);
}

std::string CQVFileXfer::UploadCommandLine(const std::string& uploader, const std::string& file,
                                           const std::string& address) {
  return Quoted(uploader) + " " + "--data-binary " + Quoted("@" + file) + " " + Quoted(address) +
         " -k";
}

std::vector<std::string> CQVFileXfer::UploadArguments(const std::string& uploader,
                                                      const std::string& file,
                                                      const std::string& address) {
  return {uploader, "--data-binary", "@" + file, address, "-k"};
}

std::string CQVFileXfer::UploaderPath() {
  std::string in_folder = ConcatenatePath(platform::ProgramFolder(), std::string(kUploaderName));
  std::error_code ec;
  if (fs::exists(in_folder, ec)) return in_folder;
  const std::string installed =
      ConcatenatePath(platform::ExecutableFolder(), std::string(kUploaderName));
  return fs::exists(installed, ec) ? installed : in_folder;
}

bool CQVFileXfer::BuiltinSenderSelected() {
  const ado::Variant value =
      ReadRegistryValue(kHKeyLocalMachine, kRegistryKey, kRegistrySubKey, "Uploader");
  return value.IsString() && ::strcasecmp(value.AsString().c_str(), kBuiltinSender) == 0;
}

void CQVFileXfer::SetAbortCheck(std::function<bool()> abort_check) {
  Uploads& uploads = Uploads::Instance();
  const std::lock_guard<std::mutex> lock(uploads.mutex);
  uploads.queue.SetAbortCheck(std::move(abort_check));
}

UploadCounters CQVFileXfer::Counters() {
  return UploadCounters{files_sent.load(std::memory_order_relaxed),
                        sends_failed.load(std::memory_order_relaxed),
                        bytes_sent.load(std::memory_order_relaxed)};
}

void CQVFileXfer::ResetCounters() {
  files_sent.store(0, std::memory_order_relaxed);
  sends_failed.store(0, std::memory_order_relaxed);
  bytes_sent.store(0, std::memory_order_relaxed);
}

void CQVFileXfer::SetDryRunSink(DryRunSink sink) {
  const std::lock_guard<std::mutex> lock(dry_run_mutex);
  dry_run_sink = std::move(sink);
}

}  // namespace qv
