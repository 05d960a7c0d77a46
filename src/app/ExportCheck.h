#pragma once

#include <cstdint>
#include <iosfwd>

namespace qv {

// Checks a program folder the way a run reads it, without running anything: the rules
// file and each rule, the data-source file and each connection, each rule's SQL
// (prepared on its connection, not run), the settings file and the upload address (a
// TCP connection to its host and port), the uploader, the registry file and the log
// folder. Writes one line per item to `out`: "ok   <item>", "FAIL <item>: <reason>", or
// "--   <item>: not checked: <reason>" for an item a failure named before hides.
// Connection strings appear masked. Nothing is written in an output folder and nothing
// is sent.
class ExportCheck {
 public:
  // `mode` decides which rule fields are needed, as in a run. 0 when every item is
  // ok, 1 otherwise.
  static int Run(int16_t mode, std::ostream& out);
};

}  // namespace qv
