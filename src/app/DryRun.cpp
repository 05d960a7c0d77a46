#include "app/DryRun.h"

#include <stdlib.h>

#include <memory>
#include <optional>
#include <ostream>
#include <system_error>

#include "app/ExitStatus.h"
#include "export/CQvDataExporter.h"
#include "export/ResultFileNames.h"
#include "platform/ProgramFolder.h"
#include "platform/RunLock.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"
#include "upload/CQVFileXfer.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// The state of a target folder that a run reads: last data, and the delivered files
// last data may be made from.
constexpr const char* kStateFolders[] = {kLastFolder, kDeliveredFolder};

std::string FolderKey(const std::string& target_path) {
  return fs::path(target_path).parent_path().lexically_normal().string();
}

// A temporary folder, removed with everything in it when the object goes.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        (fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") / "qvdataexporter-dry-run.XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// Installs the dry-run sink for the object's life.
class ScopedDryRunSink {
 public:
  explicit ScopedDryRunSink(DryRunSink sink) { CQVFileXfer::SetDryRunSink(std::move(sink)); }
  ~ScopedDryRunSink() { CQVFileXfer::SetDryRunSink({}); }
  ScopedDryRunSink(const ScopedDryRunSink&) = delete;
  ScopedDryRunSink& operator=(const ScopedDryRunSink&) = delete;
};

}  // namespace

std::string DryRun::CopyState(const fs::path& scratch) {
  const std::string rules_path = (fs::path(platform::ProgramFolder()) / "QvExportRules.xml");
  const std::shared_ptr<ado::Recordset> rules = CQvXMLManip().OpenXMLToRS(rules_path, true, 6);
  // The run itself reports a rules file it cannot use.
  if (!rules || rules->State() != ado::adStateOpen || !rules->Fields().Find("tTargetPath")) {
    return {};
  }
  for (; !rules->Eof(); rules->MoveNext()) {
    const std::string key =
        FolderKey(QvSharedStrings::ToText(rules->Fields().Item("tTargetPath").Value()));
    if (folders_.count(key) != 0) continue;
    const fs::path stand_in = scratch / std::to_string(folders_.size() + 1);
    folders_[key] = stand_in;
    std::error_code ec;
    fs::create_directories(stand_in, ec);
    if (ec) return stand_in.string() + ": " + ec.message();
    for (const char* state : kStateFolders) {
      const fs::path source = fs::path(key.empty() ? "." : key) / state;
      if (!fs::is_directory(source, ec)) continue;
      fs::copy(source, stand_in / state, fs::copy_options::recursive, ec);
      if (ec) return "cannot copy " + source.string() + ": " + ec.message();
    }
  }
  return {};
}

std::string DryRun::MapTarget(const std::string& target_path) const {
  const auto found = folders_.find(FolderKey(target_path));
  if (found == folders_.end()) return target_path;  // not reached: every rule was mapped
  return (found->second / fs::path(target_path).filename()).string();
}

std::string DryRun::RealTarget(const std::string& scratch_target) const {
  const fs::path stand_in = fs::path(scratch_target).parent_path();
  for (const auto& [real, mapped] : folders_) {
    if (mapped == stand_in) return (fs::path(real) / fs::path(scratch_target).filename()).string();
  }
  return scratch_target;
}

int DryRun::Run(int16_t mode) {
  ScratchFolder scratch;
  if (scratch.Path().empty()) {
    out_ << "qvdataexporter: the dry run could not make its temporary folder\n";
    return kExitNotStarted;
  }
  {
    // The state is copied while no run changes it; the dry run itself does not keep
    // the scheduled runs out.
    std::optional<platform::RunLock> lock;
    try {
      lock.emplace(platform::ProgramFolder());
    } catch (const core::Error& e) {
      out_ << "qvdataexporter: the dry run could not start: " << e.record().description << "\n";
      return kExitNotStarted;
    }
    if (!lock->Held()) {
      out_ << "another run (" << lock->Holder() << ") holds the program folder\n";
      return kExitLocked;
    }
    if (const std::string failure = CopyState(scratch.Path()); !failure.empty()) {
      out_ << "qvdataexporter: the dry run could not copy the state: " << failure << "\n";
      return kExitNotStarted;
    }
  }

  const ScopedDryRunSink sink([this](const std::string& file, const std::string& imp_rule) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    sent_.push_back({fs::path(file).filename().string(), imp_rule, ec ? 0 : size});
  });
  CQvDataExporter exporter;
  exporter.SetTargetPathMap([this](const std::string& target) { return MapTarget(target); });
  exporter.SetObserver(this);
  out_ << "Dry run of mode " << mode << ": nothing is sent, and the output folders, their last "
       << "data, LastTx and Unsent stay as they are.\n";
  exporter.ExportAll(mode);
  const RunStats& stats = exporter.Stats();
  if (!stats.started) {
    out_ << "qvdataexporter: the run could not start: " << stats.start_failure << "\n";
    return kExitNotStarted;
  }
  std::string summary = RunSummary(stats);
  summary.replace(0, std::string("qvdataexporter").size(), "qvdataexporter dry run,");
  out_ << summary << "\n"
       << "Would send " << sent_.size() << " file(s), " << bytes_ << " bytes.\n";
  QvSharedErrorLog::Instance().LogEvent(summary, {}, kEventInformation, kLevelExport);
  return ExitStatus(stats);
}

void DryRun::RuleStarted(const std::string& target_path, int32_t index, int32_t total) {
  rule_first_sent_ = sent_.size();
  out_ << "Rule " << index + 1 << " of " << total << ": " << RealTarget(target_path) << "\n";
}

void DryRun::RuleFinished(const RuleStats& rule) {
  out_ << "  rows read " << rule.rows_read << ", pages or parts " << rule.pages << ", entities new "
       << rule.entities_new << ", changed " << rule.entities_changed << ", unchanged "
       << rule.entities_unchanged - rule.entities_moved << ", moved " << rule.entities_moved;
  if (rule.deletions_on) out_ << ", deleted " << rule.entities_deleted;
  out_ << ", files written " << rule.files_written << (rule.failed ? ", FAILED" : "") << "\n";
  if (rule.failed && !rule.failure.empty()) out_ << "  failed: " << rule.failure << "\n";
  for (size_t i = rule_first_sent_; i < sent_.size(); ++i) {
    out_ << "  would send " << sent_[i].file_name << " (" << sent_[i].size << " bytes) to ImpID "
         << sent_[i].imp_rule << "\n";
    bytes_ += sent_[i].size;
  }
}

}  // namespace qv
