#pragma once

#include <memory>
#include <string>

#include "ado/Recordset.h"
#include "shared/QvDataSourceList.h"

namespace qv {

// Fills a QvDataSourceList from the records of the opened (and decoded) data-source
// file: nID (whole number), tName (text, may be missing) and tConnectionString (an
// ODBC connection string).
class QvDataSourceLoader {
 public:
  // Adds one data source per usable record, in file order, and leaves the recordset
  // after its last record. A record without a whole-number nID or without a
  // connection string is skipped, and so is a record whose nID an earlier usable
  // record took (the first wins); each skip is a warning to QvSharedErrorLog naming
  // the record's position and tName. False, with a logged reason and the list untouched, when the
  // recordset is null or closed, when it lacks the fields nID or tConnectionString, or when reading
  // it fails. An open file without records gives true and an empty list.
  // `reserved1` and `reserved2` are accepted for the callers' sake and not used.
  bool Load(const std::shared_ptr<ado::Recordset>& rs, QvDataSourceList& list,
            const std::string& reserved1, const std::string& reserved2);
};

}  // namespace qv
