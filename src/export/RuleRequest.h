#pragma once

#include <string>

namespace qv {

// What a rule's upload request cannot carry as written. The request names the import
// rule (ImpID, from tImportRuleFolder) and the file (FN, from the target's file name)
// in the ANSI code page, as the receiver expects them; a character that code page
// lacks reaches the receiver as '?'. Returns empty when both can be written, else a
// sentence naming the part(s) affected, for a warning.
std::string UnwritableRequestParts(const std::string& import_rule, const std::string& target_path);

}  // namespace qv
