#pragma once

#include <iosfwd>
#include <string>

namespace qv {

// What the program folder holds about the runs, read from disk: per rule its last data
// (files, rows, newest time), the files waiting in Unsent, and the last run's summary
// line from the log. And the reset of a rule's last data, so that the next run sends
// the rule's whole result.
class RunStatus {
 public:
  // Prints the status: the run holding the folder now (pid, start), per rule its last
  // data and Unsent files, the last run's summary and the last successful run with its
  // age; as one JSON object with `as_json`. 0, or 2 when the rules file cannot be read.
  static int Show(std::ostream& out, bool as_json = false);

  // Removes the last data of the rule `rule` (its number in the rules file from 1, its
  // tTargetPath, or that path's file name; "all" for every rule): its files in "last"
  // and the delivered whole results in "LastTx" that last data would be made from
  // again. Refused, with kExitLocked, while a run holds the program folder. 0 when
  // done, 2 for an unknown rule or a rules file that cannot be read, 1 when a file
  // could not be removed.
  static int ResetLast(const std::string& rule, std::ostream& out);
};

}  // namespace qv
