#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "export/EntityIndex.h"
#include "export/ExportContext.h"
#include "export/PageDeletions.h"
#include "export/PageKeys.h"
#include "export/PageSends.h"
#include "values/FieldDef.h"

namespace qv {

// The state of mode 7's walk over one rule's pages.
struct PageWalk {
  PageWalk(std::vector<std::string> compared, const std::vector<ado::FieldDef>& fields)
      : keys(std::move(compared), kKeyField),
        reader(keys.ReaderFor(fields)),
        layout(LayoutOf(fields)) {}

  std::string result_path;
  std::string import_rule;
  std::string last_folder;
  std::string keys_file;
  int64_t total_rows = 0;  // the rows read: all of the result's once the walk completed
  PageKeys keys;
  RowReader reader;          // of the query's records
  uint64_t layout;           // of the query's records
  uint64_t rows_header = 0;  // the hash of the pages' fields and properties, once known
  // No last data to compare with: every page is sent whole, as on a first run.
  bool whole = false;
  // Every page's changes were delivered.
  bool all_delivered = true;
  // How many uploads may run at once; with 1 each page waits for its own files.
  int transfers_in_flight = 1;
  // The entities delivered so far.
  int32_t entities_delivered = 0;
  // The failures counted when the walk began: a walk with more sends no deletions.
  int32_t failures_before = 0;
  // With deletions on, outside whole mode.
  std::optional<PageDeletions> deletions;
  // The sent records this walk made (Outbox::RecordSent).
  std::vector<std::string> records_made;
  // The pages whose files are still being delivered. Last, so that it goes first: its
  // settlements refer to the rest.
  PageSends sends;
};

}  // namespace qv
