#pragma once

#include <cstdint>
#include <string_view>

#include "core/Error.h"

namespace ado {

// Error sources as ADO names them.
inline constexpr std::string_view kRecordsetSource = "ADODB.Recordset";
inline constexpr std::string_view kFieldSource = "ADODB.Field";
inline constexpr std::string_view kFieldsSource = "ADODB.Fields";
inline constexpr std::string_view kStreamSource = "ADODB.Stream";

inline constexpr int32_t kErrObjectInCollection = 3367;  // adErrObjectInCollection

// Throws core::Error with ADO's description for the number, followed by ": " and the
// detail when one is given.
[[noreturn]] void ThrowAdoError(int32_t number, std::string_view source,
                                std::string_view detail = {});

}  // namespace ado
