#include "upload/CQVFileXfer.h"

#include <stdio.h>
#include <strings.h>

#include <curl/curl.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "fs/CQvFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "platform/ProcessRunner.h"
#include "platform/ProgramFolder.h"
#include "settings/CQvSettings.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedFileSystem.h"
#include "upload/BuiltinSender.h"
#include "upload/IdempotencyKey.h"
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

// The built-in sender of the process, made on first use so that its connection serves
// every upload of the run, and the abort check it is to ask.
class SharedSender {
 public:
  static SharedSender& Instance() {
    static SharedSender shared;
    return shared;
  }

  SendResult Post(const std::string& file, const std::string& address,
                  const std::vector<std::string>& header_lines, const SendOptions& options) {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
      if (!sender_) sender_ = std::make_unique<BuiltinSender>(abort_check_);
    } catch (const std::exception& e) {
      return {CURLE_FAILED_INIT, e.what()};
    }
    return sender_->Post(file, address, header_lines, options);
  }

  void SetAbortCheck(std::function<bool()> abort_check) {
    const std::lock_guard<std::mutex> lock(mutex_);
    abort_check_ = std::move(abort_check);
    if (sender_) sender_->SetAbortCheck(abort_check_);
  }

 private:
  // libcurl's global state is made first, so it is cleaned up after the sender.
  SharedSender() {
    try {
      CurlGlobal::Instance();
    } catch (...) {
      // Post reports it.
    }
  }

  std::mutex mutex_;
  std::unique_ptr<BuiltinSender> sender_;
  std::function<bool()> abort_check_;
};

// The exit status with what it means when it is one of curl's.
std::string DescribedStatus(int status) {
  std::string text = std::to_string(status);
  if (status > 0 && status < CURL_LAST) {
    text += std::string(" (") + curl_easy_strerror(static_cast<CURLcode>(status)) + ")";
  }
  return text;
}

// Posts the file with the built-in sender; curl's exit status for the outcome.
int SendBuiltin(const std::string& file, const std::string& address,
                const std::string& imp_rule_escaped, const std::string& file_name_escaped) {
  const std::optional<std::string> key = IdempotencyKey(imp_rule_escaped, file_name_escaped, file);
  if (!key) return CURLE_READ_ERROR;
  SendOptions options = SendOptions::FromEnvironment();
  const ado::Variant verify = ReadRegistryValue(kHKeyLocalMachine, kRegistryKey, kRegistrySubKey,
                                                "UploaderVerifyCertificate");
  options.verify_certificate = verify.Type() == ado::VarType::kI4 && verify.AsInt64() != 0;
  return SharedSender::Instance().Post(file, address, {"Idempotency-Key: " + *key}, options).status;
}

// Moves `source` to `target`, replacing a file already there. A rename does it when
// both lie on one file system; otherwise (or when the rename fails for any other
// reason) the file is copied and the source deleted.
void MoveReplacing(const std::string& source, const std::string& target) {
  std::error_code ec;
  const fs::path folder = fs::path(target).parent_path();
  if (!folder.empty()) fs::create_directories(folder, ec);
  if (fs::is_regular_file(fs::symlink_status(source, ec)) &&
      !fs::is_directory(fs::symlink_status(target, ec)) &&
      ::rename(source.c_str(), target.c_str()) == 0) {
    return;
  }
  CQvFileSystem file_system;
  std::string from = source;
  std::string to = target;
  if (file_system.BackupFile(from, to)) file_system.DeleteFile(source, true);
}

}  // namespace

bool CQVFileXfer::TransferFile(std::string strFileToTransfer, std::string strImpRuleFolder) {
  bool delivered = false;
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
        } else {
          line = 5;
          const std::string uploader = UploaderPath();
          const std::string address = UploadAddress(base_url, strImpRuleFolder, file_name);
          const DryRunSink sink = CurrentDryRunSink();
          if (sink) sink(strFileToTransfer, strImpRuleFolder);
          std::error_code size_error;
          const uintmax_t size = fs::file_size(strFileToTransfer, size_error);
          const int status = sink ? 0
                             : BuiltinSenderSelected()
                                 ? SendBuiltin(strFileToTransfer, address,
                                               QvStrMan_EncodeURIComponent(strImpRuleFolder),
                                               QvStrMan_EncodeURIComponent(file_name))
                                 : RunExe(UploadCommandLine(uploader, strFileToTransfer, address),
                                          UploadArguments(uploader, strFileToTransfer, address));
          delivered = status == 0;
          if (delivered && !size_error) bytes_sent.fetch_add(size, std::memory_order_relaxed);
          if (!delivered) {
            Trace(".TransferFile - the upload failed, File: " + strFileToTransfer +
                      ", exit status: " + DescribedStatus(status),
                  kEventWarning);
          }

          // A file that did not go out is kept apart from the delivered ones, so that
          // neither it is lost nor a later run takes it for sent.
          line = 6;
          if (MoveToLastTx) {
            const std::string target = ConcatenatePath(
                ConcatenatePath(folder,
                                std::string(delivered ? kDeliveredFolder : kUndeliveredFolder)),
                file_name);
            MoveReplacing(strFileToTransfer, target);
          }
        }

        line = 8;
        Trace(".TransferFile, Test End ZRT 001, File: " + strFileToTransfer, kEventInformation);
        return delivered;
      },
      Fixed(std::string(kClassName) + ".TransferFile"));

  (delivered ? files_sent : sends_failed).fetch_add(1, std::memory_order_relaxed);
  return delivered;
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
  SharedSender::Instance().SetAbortCheck(std::move(abort_check));
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
