#include "records/basADOUtilities.h"

namespace qv {

bool FieldExists(const std::shared_ptr<ado::Recordset>& rs, std::string_view field_name) {
  if (!rs) return false;
  try {
    return rs->Fields().Find(field_name).has_value();
  } catch (...) {
    return false;
  }
}

}  // namespace qv
