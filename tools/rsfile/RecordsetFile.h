#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ado/Recordset.h"

namespace rsfile {

// Opens a recordset file as the program opens its files: a client cursor with
// optimistic locking, so values can be changed in memory. With `decode` set, every
// text-like value is decoded with that encode type. With `decode` or `editable`, a
// file saved read-only opens updatable (and is saved so).
// Throws ToolError ("PATH: reason") when the file is missing or is not a recordset, or
// when a value cannot be decoded.
std::shared_ptr<ado::Recordset> OpenRecordsetFile(const std::string& path,
                                                  std::optional<int32_t> decode = {},
                                                  bool editable = false);

// Encodes every text-like value of the recordset in place with that encode type.
// Throws ToolError when a value cannot be encoded (for instance when its encoded form
// is longer than the field allows).
void EncodeRecordsetTexts(const std::shared_ptr<ado::Recordset>& recordset, int32_t encode_type);

// Writes the recordset to `path` atomically: into a temporary file in the same folder,
// flushed to disk, then renamed over the target. On failure the target is untouched,
// the temporary file is removed and ToolError ("PATH: reason") is thrown.
void SaveRecordsetFile(const ado::Recordset& recordset, const std::string& path);

// Calls `visit` with the 0-based number of each record the recordset shows, with the
// cursor on that record; the cursor ends at EOF.
void ForEachRecord(ado::Recordset& recordset, const std::function<void(size_t)>& visit);

// The values of each row pending deletion (rs:delete), which the recordset does not
// show, in file order.
std::vector<std::vector<ado::Variant>> DeletedRows(const ado::Recordset& recordset);

}  // namespace rsfile
