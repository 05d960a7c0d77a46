#pragma once

#include <string>
#include <vector>

#include "e2e/ProgramFolder.h"

namespace qv::e2e {

// Creates `table` (id INTEGER, name VARCHAR(40)) holding ids 1 to `rows` named "row <id>".
// Plain SQL that SQLite and PostgreSQL both take.
std::string NumberedRowsSql(const std::string& table, int rows);

// The ids each part file of a split export holds: `ordered` cut into `parts` pieces of
// ceil(n / parts) ids, the last pieces shorter or empty.
std::vector<std::vector<int>> ExpectedParts(const std::vector<int>& ordered, int parts);

// Ids 1 to n, ascending or descending.
std::vector<int> IdRange(int n, bool descending = false);

// Checks that a run in a split mode exported `rule` as `parts` part files, each moved
// into LastTx beside the target, holding the ids `ordered` cut as ExpectedParts says,
// and, with `check_received`, that the receiver got each part's bytes under the rule's
// import rule and the part's file name. Reports through gtest.
void ExpectSplitExport(ProgramFolder& folder, const ExportRule& rule,
                       const std::vector<int>& ordered, int parts, bool check_received = true);

// The ids of a result file's "id" field.
std::vector<int> IdsIn(const std::filesystem::path& file);

}  // namespace qv::e2e
