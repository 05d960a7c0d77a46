#include "app/RunMetrics.h"

#include <cstdio>
#include <filesystem>

#include "core/AtomicFile.h"
#include "core/Error.h"
#include "platform/ProgramFolder.h"
#include "util/basCQvRegistry.h"

namespace qv {
namespace {

constexpr const char* kPrefix = "qvdataexporter_last_run_";

// A label value with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

class MetricsWriter {
 public:
  void Gauge(const char* name, const char* help, double value) {
    Header(name, help);
    text_ += kPrefix + std::string(name) + " " + Number(value) + "\n";
  }
  void Header(const char* name, const char* help) {
    text_ += "# HELP " + (kPrefix + std::string(name)) + " " + help + "\n";
    text_ += "# TYPE " + (kPrefix + std::string(name)) + " gauge\n";
  }
  // Rules are labelled with their position too: two rules may have one target.
  void Sample(const char* name, size_t position, const std::string& rule, double value) {
    text_ += kPrefix + std::string(name) + "{position=\"" + std::to_string(position) +
             "\",rule=\"" + LabelValue(rule) + "\"} " + Number(value) + "\n";
  }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace

std::string RunMetrics::FilePath(const std::string& from_command_line) {
  std::string path = from_command_line;
  if (path.empty()) {
    const ado::Variant value =
        ReadRegistryValue(kHKeyLocalMachine, "SOFTWARE", "Tolvane", kRegistryValue);
    if (value.IsString()) path = value.AsString();
  }
  if (path.empty()) return path;
  const std::filesystem::path file(path);
  if (file.is_absolute()) return path;
  return (std::filesystem::path(platform::ProgramFolder()) / file).string();
}

std::string RunMetrics::Text(const RunStats& stats, int exit_status, double start_time,
                             double end_time) {
  MetricsWriter out;
  out.Gauge("start_timestamp_seconds", "Unix time the last run started.", start_time);
  out.Gauge("end_timestamp_seconds", "Unix time the last run ended.", end_time);
  out.Gauge("exit_status",
            "Exit status of the last run: 0 ok, 1 failures, 2 not started, 128+N signal N.",
            exit_status);
  out.Gauge("mode", "Export mode of the last run.", stats.mode);
  out.Gauge("rules_run", "Rules the last run exported.", stats.rules_run);
  out.Gauge("rules_failed", "Rules of the last run that failed.", stats.rules_failed);
  out.Gauge("files_written", "Files the last run wrote.", stats.files_written);
  out.Gauge("files_sent", "Files the last run delivered.", stats.files_sent);
  out.Gauge("files_failed", "Files the last run could not deliver.", stats.sends_failed);
  if (stats.deletions_on) {
    out.Gauge("deletions_sent", "Deletion files the last run delivered.", stats.deletions_sent);
  }
  out.Gauge("rows_read", "Rows the last run read from its queries.",
            static_cast<double>(stats.rows_read));
  out.Gauge("bytes_sent", "Bytes of the files the last run delivered.",
            static_cast<double>(stats.bytes_sent));
  if (!stats.rules.empty()) {
    out.Header("rule_duration_seconds", "Seconds each rule of the last run took.");
    for (size_t i = 0; i < stats.rules.size(); ++i) {
      out.Sample("rule_duration_seconds", i + 1, stats.rules[i].target_path,
                 stats.rules[i].seconds);
    }
    out.Header("rule_failed", "1 when the rule failed in the last run, else 0.");
    for (size_t i = 0; i < stats.rules.size(); ++i) {
      out.Sample("rule_failed", i + 1, stats.rules[i].target_path, stats.rules[i].failed ? 1 : 0);
    }
  }
  return out.Text();
}

std::string RunMetrics::Write(const std::string& path, const std::string& text) {
  try {
    core::AtomicFile file(path, "RunMetrics");
    file.SetMode(0644);
    file.Write(text);
    file.Commit(core::AtomicFile::Durability::kFlushed);
    return {};
  } catch (const core::Error& e) {
    return e.record().description;
  }
}

}  // namespace qv
