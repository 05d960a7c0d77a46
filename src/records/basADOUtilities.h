#pragma once

#include <memory>
#include <string_view>

#include "ado/Recordset.h"

namespace qv {

// True when the recordset has a field of that name (case-insensitive). False for a
// null recordset or any failure; reports nothing.
bool FieldExists(const std::shared_ptr<ado::Recordset>& rs, std::string_view field_name);

}  // namespace qv
