#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "export/RunStats.h"

namespace qv {

// Runs the export as a run of the mode would, through the same CQvDataExporter, on a
// scratch copy of its state: every rule's target folder is replaced by a folder of a
// temporary folder, into which its "last" and "LastTx" folders are copied first, and
// the uploads go to a recorder (CQVFileXfer's dry-run sink) that notes each file and
// counts it as delivered. No file of the real output folders changes and nothing is
// sent. Prints, per rule, the rows read, the pages or parts, the entities new, changed
// and unchanged, and each file that would be sent with its size.
class DryRun : public RunObserver {
 public:
  explicit DryRun(std::ostream& out) : out_(out) {}

  // The exit status a run would give (see basMain), or kExitLocked when another run
  // holds the program folder while the state is copied.
  int Run(int16_t mode);

  void RuleStarted(const std::string& target_path, int32_t index, int32_t total) override;
  void RuleFinished(const RuleStats& rule) override;

 private:
  struct Sent {
    std::string file_name;
    std::string imp_rule;
    uint64_t size = 0;
  };
  // Copies the state of the rules' target folders into `scratch`; fills folders_.
  // Empty on success, else the reason.
  std::string CopyState(const std::filesystem::path& scratch);
  // The scratch path of a rule's target path.
  std::string MapTarget(const std::string& target_path) const;
  std::string RealTarget(const std::string& scratch_target) const;

  std::ostream& out_;
  // Real target folder (normalised) -> its stand-in in the scratch folder.
  std::map<std::string, std::filesystem::path> folders_;
  std::vector<Sent> sent_;
  size_t rule_first_sent_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace qv
