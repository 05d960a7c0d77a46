#pragma once

#include <optional>
#include <string>

#include "ado/Recordset.h"
#include "records/CQvDataTypeConverter.h"
#include "values/Variant.h"

namespace qv {

// One field of a recordset, read as a printable value. The field handle must not
// outlive its recordset.
class CQvRecSetField {
 public:
  // Wraps the field and keeps its name; a missing field gives false and keeps the
  // previous one.
  bool Init(const std::optional<ado::Field>& field);

  // The field's value on the current record: arrays joined with CR LF (byte arrays of
  // a security identifier as its "S-" text), time stamp objects of adVariant fields
  // as local date text, anything else unchanged (null stays null). Empty without a
  // field, and after a logged failure.
  ado::Variant GetValue();

 private:
  std::string ConvertArrayToString(const ado::Variant& array);

  std::optional<ado::Field> field_;
  std::string name_;
  std::string array_separator_ = "\r\n";
  CQvDataTypeConverter converter_;
};

}  // namespace qv
