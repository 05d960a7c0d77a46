#pragma once

#include <memory>

#include "ado/Recordset.h"

namespace qv {

// Copies one record between recordsets with fields of the same names.
class QvSharedRecordCopier {
 public:
  // Copies the values of the source's current record into the target, field by field
  // by name (fields the target lacks are skipped). With `add_new` the values go into a
  // new record of the target, else into its current record; the record is then
  // updated. True when copied; throws core::Error when a recordset is missing, closed or
  // has no current record, or a value is refused.
  bool CopyRecord(const std::shared_ptr<ado::Recordset>& source,
                  const std::shared_ptr<ado::Recordset>& target, bool add_new);
};

}  // namespace qv
