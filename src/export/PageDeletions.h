#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "export/ExportContext.h"
#include "export/Outbox.h"
#include "export/PageKeys.h"
#include "values/FieldDef.h"
#include "values/RecordsetData.h"

namespace qv {

// Mode 7's deletions, with "SendDeletions" on: the entities the pages' last data held
// and no page of the query's whole result has. A deleted entity's last row is never
// lost before its deletion was delivered:
// - a page's last data that the walk replaces is kept first under another name (its
//   former page file), until the walk is over;
// - after a complete walk, the rows of the entities gone are written to the pending
//   deletions file, and only then are the former page files removed;
// - a deletion delivered leaves the pending deletions file (and a page file still
//   holding the entity); one not delivered waits there for the next run.
// A run that stops before the end leaves the former page files: the next run takes
// their rows whose keys no page holds into the pending deletions before it walks.
class PageDeletions {
 public:
  PageDeletions(ExportContext& context, Outbox& outbox) : context_(context), outbox_(outbox) {}

  // Before the walk of the pages `keys` read from `last_folder`, for the query's
  // `fields`: reads the pending deletions and what a stopped run left.
  void Begin(PageKeys& keys, const std::string& last_folder, const std::string& result_name,
             const std::vector<ado::FieldDef>& fields);
  // Before the walk replaces a page's last-data file.
  void BeforeReplace(const std::string& page_last_file);
  // After a complete walk: sends the deletions, or holds them back past the policy's
  // limit (the rule fails). `sent_records` (Outbox::RecordSent) hold entities sent that
  // no page may have: gone too when the walk did not meet them; they are removed once
  // the pending deletions are written. The delivered deletions whose entities a page
  // file still holds, by the page's first row: the caller drops them from those files.
  std::map<int32_t, std::vector<std::string>> End(PageKeys& keys, const std::string& result_path,
                                                  const std::string& import_rule,
                                                  const std::vector<std::string>& sent_records);

 private:
  // The rows of the entities gone: those of `pages` (page start -> keys) read from each
  // page's former or current file, then the pending and sent ones the walk did not meet.
  ado::RecordsetData GoneRows(PageKeys& keys, const std::map<int32_t, std::set<std::string>>& pages,
                              const std::vector<std::string>& sent_records);
  // Appends the rows of `file` whose keys `take` accepts (and that are not there yet)
  // to `rows`; a file of other fields adds nothing.
  void AddRows(const std::string& file, ado::RecordsetData& rows, std::set<std::string>& keys_in,
               const std::function<bool(const std::string& key)>& take) const;
  // Writes `rows` as the pending deletions file, or removes it when there are none.
  void WritePending(const ado::RecordsetData& rows) const;
  // Removes the former page files.
  void RemoveFormerPages();

  ExportContext& context_;
  Outbox& outbox_;
  bool active_ = false;
  bool ending_ = false;
  std::string last_folder_;
  std::string result_name_;
  std::vector<ado::FieldDef> fields_;
  ado::RecordsetData pending_;  // the pending deletions read at the start
  std::vector<std::string> former_pages_;
};

}  // namespace qv
