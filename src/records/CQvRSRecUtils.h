#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ado/Recordset.h"
#include "values/Variant.h"

namespace qv {

// Writes values into the current record only when they differ from what the field
// holds, and never stores a text longer than a text field allows. The caller updates
// the record and moves between records.
class CQvRSRecUtils {
 public:
  // Writes into the field of that name. False when there is no such field (nothing is
  // reported) or after a logged failure; true otherwise, also when nothing changed and
  // when an over-long text was refused with a warning.
  bool SetFieldValue(const std::shared_ptr<ado::Recordset>& rec, const std::string& field_name,
                     const ado::Variant& value);

  // The same for a given field; a missing field gives false.
  bool SetFieldValue2(const std::optional<ado::Field>& field, const ado::Variant& value);

 private:
  bool SetValue(ado::Field& field, const ado::Variant& value);
  // Text fields: no write when equal ignoring case; blank text stores ""; text longer
  // (in characters) than the defined size is refused with a warning.
  bool SetFieldValue_String(ado::Field& field, const std::string& text);
};

}  // namespace qv
