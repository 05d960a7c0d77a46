#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "values/RecordsetData.h"

namespace qv {

// Whether the per-entity modes send deletions, and how many one run may send: the
// registry values "SendDeletions" (dword 0 or 1, off when missing) and
// "DeleteAtMostPercent" (dword 0 to 100, 50 when missing).
struct DeletionPolicy {
  static constexpr int32_t kDefaultAtMostPercent = 50;
  bool send = false;
  int32_t at_most_percent = kDefaultAtMostPercent;

  // The values read from the registry; one set otherwise is warned about and its default
  // used.
  static DeletionPolicy FromRegistry(std::vector<std::string>& warnings);
  // Whether deleting `deleted` of `entities` entities stays within the limit.
  bool Allows(int64_t deleted, int64_t entities) const;
  // The warning of a rule whose deletions are held back.
  std::string HeldBackText(int64_t deleted, int64_t entities, const std::string& result_path) const;
};

// The deletion file of the record `record` of `rows` (an entity's last delivered row):
// the row inside rs:delete, with the fields and properties of `rows`. An ADO reader
// that walks the rows shows none; one that looks at pending changes finds the deletion.
std::string DeletionFileXml(const ado::RecordsetData& rows, size_t record);

}  // namespace qv
