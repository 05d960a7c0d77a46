#include "Help.h"

#include <array>

namespace rsfile {
namespace {

struct HelpEntry {
  std::string_view command;
  std::string_view usage;
  std::string_view help;
};

constexpr std::array kHelp = {
    HelpEntry{"show", "Usage: rsfile show FILE [--decode N]\n",
              R"(Usage: rsfile show FILE [--decode N]

Shows a recordset file: its fields (name, type, defined size, precision, scale,
attributes), then its records as a table, then the number of records. NULL marks a
null value; control characters are shown escaped (\t, \n, \xNN); values longer than
40 characters are cut and end in "...".

Options:
  --decode N   decode text values with encode type N (1 or 6) before showing them

Example:
  rsfile show QvExportRules.xml --decode 6
)"},
    HelpEntry{"check", "Usage: rsfile check FILE\n",
              R"(Usage: rsfile check FILE

Checks that FILE opens as a recordset. Prints "FILE: ok, N fields, M records" and
exits with 0; otherwise prints the reason on standard error and exits with 1.

Example:
  rsfile check QvExportDS.xml
)"},
    HelpEntry{"copy", "Usage: rsfile copy IN OUT [--decode N] [--encode N]\n",
              R"(Usage: rsfile copy IN OUT [--decode N] [--encode N]

Opens the recordset file IN and saves it as OUT, optionally decoding its text values
first and encoding them afterwards. OUT is replaced atomically: it is written to a
temporary file beside it and renamed, so it is never left half written. Values can only
be changed in an updatable recordset: a file saved read-only is saved updatable when
it is decoded or encoded.

Options:
  --decode N   decode text values of IN with encode type N (1 or 6)
  --encode N   encode text values with encode type N (1 or 6) before saving

Example (re-encode a rules file from Base64 to percent-encoding):
  rsfile copy QvExportRules.xml rules-pct.xml --decode 6 --encode 1
)"},
    HelpEntry{"to-json", "Usage: rsfile to-json FILE [--decode N]\n",
              R"(Usage: rsfile to-json FILE [--decode N]

Writes the recordset file as JSON to standard output, one field and one row per line:

  {"fields": [{"name":"nID","type":3,"definedSize":4,"precision":10,
               "numericScale":0,"attributes":20}, ...],
   "rows": [[1,"text",null], ...]}

Values are null, true/false, numbers for whole-number and floating fields, and text
for the rest: exact decimals and currency as written ("2635.23"), dates as
yyyy-mm-ddThh:mm:ss (with .fraction when present), binary as lower-case hex, GUIDs as
text. from-json reads the same shape.

Options:
  --decode N   decode text values with encode type N (1 or 6)

Example:
  rsfile to-json QvExportRules.xml --decode 6 > rules.json
)"},
    HelpEntry{"from-json", "Usage: rsfile from-json IN.json OUT.xml [--encode N]\n",
              R"(Usage: rsfile from-json IN.json OUT.xml [--encode N]

Writes a recordset file from JSON in the shape that to-json writes. In a field, only
"name" is required: without "type" a field is 202 (adVarWChar) of size 255; other
missing properties take the defaults of a newly appended field, which is not nullable:
a field that holds null needs 32 (IsNullable) in its "attributes". Every row must have
one value per field, and each value must fit its field's type; an error names the row
and the field. The rows are written as plain rows, none pending. OUT.xml is replaced
atomically.

Options:
  --encode N   encode text values with encode type N (1 or 6) before saving

Example:
  echo '{"fields":[{"name":"nID","type":3},{"name":"tName","attributes":36}],
         "rows":[[1,"Main"],[2,null]]}' > ds.json
  rsfile from-json ds.json QvExportDS.xml --encode 1
)"},
};

}  // namespace

std::string_view GeneralUsage() {
  return R"(Usage: rsfile COMMAND [ARGUMENTS]

Shows, checks and converts recordset files (ADO's XML persistence format).

Commands:
  show FILE [--decode N]                    the fields and records as a table
  check FILE                                whether FILE opens as a recordset
  copy IN OUT [--decode N] [--encode N]     open, optionally decode and encode, save
  to-json FILE [--decode N]                 the recordset as JSON
  from-json IN.json OUT.xml [--encode N]    a recordset file from JSON

Encode types: 1 (percent-encoded UTF-8) and 6 (Base64 of UTF-8).
Run "rsfile COMMAND --help" for details and an example.
)";
}

std::string_view CommandUsage(std::string_view command) {
  for (const HelpEntry& entry : kHelp) {
    if (entry.command == command) return entry.usage;
  }
  return {};
}

std::string_view CommandHelp(std::string_view command) {
  for (const HelpEntry& entry : kHelp) {
    if (entry.command == command) return entry.help;
  }
  return {};
}

}  // namespace rsfile
