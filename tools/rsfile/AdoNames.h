#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rsfile {

// ADO's name of a DataTypeEnum value ("adVarWChar"); empty for a value ADO does not
// define.
std::string_view AdoTypeName(int32_t type);

// The type as "202 adVarWChar" (just the number for an unknown type).
std::string TypeLabel(int32_t type);

// FieldAttributeEnum bits as names without the "adFld" prefix, separated by blanks
// ("UnknownUpdatable IsNullable MayBeNull"); unknown bits as one hex number.
std::string AttributeNames(int32_t attributes);

}  // namespace rsfile
