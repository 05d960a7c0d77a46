#include "AdoNames.h"

#include <array>
#include <cstdio>
#include <utility>

#include "values/AdoEnums.h"

namespace rsfile {
namespace {

struct TypeName {
  int32_t type;
  std::string_view name;
};

constexpr std::array kTypeNames = {
    TypeName{ado::adEmpty, "adEmpty"},
    TypeName{ado::adSmallInt, "adSmallInt"},
    TypeName{ado::adInteger, "adInteger"},
    TypeName{ado::adSingle, "adSingle"},
    TypeName{ado::adDouble, "adDouble"},
    TypeName{ado::adCurrency, "adCurrency"},
    TypeName{ado::adDate, "adDate"},
    TypeName{ado::adBSTR, "adBSTR"},
    TypeName{ado::adIDispatch, "adIDispatch"},
    TypeName{ado::adError, "adError"},
    TypeName{ado::adBoolean, "adBoolean"},
    TypeName{ado::adVariant, "adVariant"},
    TypeName{ado::adIUnknown, "adIUnknown"},
    TypeName{ado::adDecimal, "adDecimal"},
    TypeName{ado::adTinyInt, "adTinyInt"},
    TypeName{ado::adUnsignedTinyInt, "adUnsignedTinyInt"},
    TypeName{ado::adUnsignedSmallInt, "adUnsignedSmallInt"},
    TypeName{ado::adUnsignedInt, "adUnsignedInt"},
    TypeName{ado::adBigInt, "adBigInt"},
    TypeName{ado::adUnsignedBigInt, "adUnsignedBigInt"},
    TypeName{ado::adFileTime, "adFileTime"},
    TypeName{ado::adGUID, "adGUID"},
    TypeName{ado::adBinary, "adBinary"},
    TypeName{ado::adChar, "adChar"},
    TypeName{ado::adWChar, "adWChar"},
    TypeName{ado::adNumeric, "adNumeric"},
    TypeName{ado::adUserDefined, "adUserDefined"},
    TypeName{ado::adDBDate, "adDBDate"},
    TypeName{ado::adDBTime, "adDBTime"},
    TypeName{ado::adDBTimeStamp, "adDBTimeStamp"},
    TypeName{ado::adChapter, "adChapter"},
    TypeName{ado::adPropVariant, "adPropVariant"},
    TypeName{ado::adVarNumeric, "adVarNumeric"},
    TypeName{ado::adVarChar, "adVarChar"},
    TypeName{ado::adLongVarChar, "adLongVarChar"},
    TypeName{ado::adVarWChar, "adVarWChar"},
    TypeName{ado::adLongVarWChar, "adLongVarWChar"},
    TypeName{ado::adVarBinary, "adVarBinary"},
    TypeName{ado::adLongVarBinary, "adLongVarBinary"},
};

constexpr std::array<std::pair<int32_t, std::string_view>, 13> kAttributeNames = {{
    {ado::adFldMayDefer, "MayDefer"},
    {ado::adFldUpdatable, "Updatable"},
    {ado::adFldUnknownUpdatable, "UnknownUpdatable"},
    {ado::adFldFixed, "Fixed"},
    {ado::adFldIsNullable, "IsNullable"},
    {ado::adFldMayBeNull, "MayBeNull"},
    {ado::adFldLong, "Long"},
    {ado::adFldRowID, "RowID"},
    {ado::adFldRowVersion, "RowVersion"},
    {ado::adFldCacheDeferred, "CacheDeferred"},
    {ado::adFldIsChapter, "IsChapter"},
    {ado::adFldNegativeScale, "NegativeScale"},
    {ado::adFldKeyColumn, "KeyColumn"},
}};

}  // namespace

std::string_view AdoTypeName(int32_t type) {
  for (const TypeName& entry : kTypeNames) {
    if (entry.type == type) return entry.name;
  }
  return {};
}

std::string TypeLabel(int32_t type) {
  std::string label = std::to_string(type);
  std::string_view name = AdoTypeName(type);
  if (!name.empty()) {
    label += ' ';
    label += name;
  }
  return label;
}

std::string AttributeNames(int32_t attributes) {
  if (attributes == ado::adFldUnspecified) return "Unspecified";
  std::string names;
  auto append = [&names](std::string_view name) {
    if (!names.empty()) names += ' ';
    names += name;
  };
  uint32_t rest = static_cast<uint32_t>(attributes);
  for (const auto& [bit, name] : kAttributeNames) {
    if ((rest & static_cast<uint32_t>(bit)) != 0) {
      append(name);
      rest &= ~static_cast<uint32_t>(bit);
    }
  }
  if (rest != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", rest);
    append(hex);
  }
  return names;
}

}  // namespace rsfile
