#include "app/RegistryCheck.h"

#include <cstdint>
#include <limits>

#include "app/NearestName.h"
#include "core/Text.h"
#include "upload/UploadPolicy.h"

namespace qv {
namespace {

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane";

// The levels the program's messages are written at: export progress and failures (1)
// and the finer traces.
constexpr int64_t kLogLevels = 1 | 16 | 32 | 64 | 128;

struct KnownValue {
  const char* name;
  bool dword;  // else text
  int64_t min = 0;
  int64_t max = std::numeric_limits<int32_t>::max();
  std::vector<std::string> texts = {};  // the texts allowed; empty for any
};

const std::vector<KnownValue>& KnownValues() {
  static const std::vector<KnownValue> values = {
      {"EventLogLevel", true, std::numeric_limits<int32_t>::min()},
      {"Uploader", false, 0, 0, {"builtin", "upload.exe"}},
      {"UploaderVerifyCertificate", true, 0, 1},
      {"UploaderCAFile", false},
      {"UploaderConnections", true, 1, 16},
      {"UploaderRetries", true, 0},
      {"UploaderGiveUpAfter", true, 1},
      {"MetricsFile", false},
      {"LogRetentionDays", true, 1},
      {"LogKeepFiles", true, 1},
      {"SendDeletions", true, 0, 1},
      {"DeleteAtMostPercent", true, 0, 100},
  };
  return values;
}

std::string Range(const KnownValue& known) {
  if (known.max == std::numeric_limits<int32_t>::max()) {
    return "a dword of " + std::to_string(known.min) + " or more";
  }
  return "a dword from " + std::to_string(known.min) + " to " + std::to_string(known.max);
}

// Empty when the value fits, else why not.
std::string Problem(const KnownValue& known, const platform::RegistryValue& value) {
  const std::string name = "\"" + std::string(known.name) + "\"";
  if (known.dword) {
    if (value.type != platform::kRegDword) return name + " must be " + Range(known);
    const int64_t number = value.value.AsInt64();
    if (std::string_view(known.name) == "EventLogLevel") {
      // 0 and ffffffff log everything; otherwise each bit set must be one of the levels.
      if (number == 0 || number == -1 || (number & ~kLogLevels) == 0) return {};
      return name + " is " + std::to_string(number) +
             ", which holds levels no message is written at; it is a sum of 1 (export "
             "progress and failures), 16, 32, 64 and 128 (finer traces), or 0 for all";
    }
    if (number < known.min || number > known.max) {
      return name + " is " + std::to_string(number) + "; it must be " + Range(known);
    }
    return {};
  }
  if (value.type != platform::kRegSz && value.type != platform::kRegExpandSz) {
    return name + " must be a text (\"" + known.name + "\"=\"...\")";
  }
  const std::string text = value.value.IsString() ? value.value.AsString() : std::string();
  if (std::string_view(known.name) == "UploaderCAFile" && !text.empty()) {
    const std::string path = CAFilePath(text);
    if (const std::string problem = CAFileProblem(path); !problem.empty()) {
      return name + " names " + path + ", which " + problem;
    }
  }
  if (known.texts.empty()) return {};
  for (const std::string& allowed : known.texts) {
    if (core::FoldCase(allowed) == core::FoldCase(text)) return {};
  }
  const std::string nearest = NearestName(text, known.texts);
  std::string allowed_list;
  for (const std::string& allowed : known.texts) {
    allowed_list += (allowed_list.empty() ? "\"" : " or \"") + allowed + "\"";
  }
  return name + " is \"" + text + "\"" +
         (nearest.empty() ? std::string() : " (did you mean \"" + nearest + "\"?)") +
         "; it must be " + allowed_list;
}

}  // namespace

std::vector<std::string> RegistryProblems(const platform::RegistryFile& registry) {
  std::vector<std::string> problems;
  std::vector<std::string> names;
  for (const KnownValue& known : KnownValues()) names.emplace_back(known.name);
  for (const platform::RegistryValue* value : registry.Values(kKey)) {
    const KnownValue* known = nullptr;
    for (const KnownValue& candidate : KnownValues()) {
      if (core::FoldCase(candidate.name) == core::FoldCase(value->name)) known = &candidate;
    }
    if (known == nullptr) {
      const std::string nearest = NearestName(value->name, names);
      problems.push_back("unknown value \"" + value->name + "\"" +
                         (nearest.empty() ? std::string(", which the program does not read")
                                          : " (did you mean \"" + nearest + "\"?)"));
    } else if (std::string problem = Problem(*known, *value); !problem.empty()) {
      problems.push_back(std::move(problem));
    }
  }
  return problems;
}

}  // namespace qv
