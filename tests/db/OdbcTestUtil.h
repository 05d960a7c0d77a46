#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ado/Connection.h"
#include "core/Error.h"
#include "values/Variant.h"

namespace ado::test {

inline std::string Show(const Variant& v) {
  std::string text;
  try {
    text = v.IsArray() ? "(" + std::to_string(v.AsBytes().size()) + " bytes)" : v.ToText();
  } catch (const core::Error&) {
    text = "?";
  }
  return v.TypeName() + " " + text;
}

// Same storage type and same value.
inline ::testing::AssertionResult Same(const Variant& actual, const Variant& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << Show(actual) << ", want " << Show(expected);
}

inline const FieldDef& FieldNamed(const RecordsetData& data, const std::string& name) {
  for (const auto& f : data.fields) {
    if (f.name == name) return f;
  }
  ADD_FAILURE() << "no field " << name;
  static const FieldDef kNone;
  return kNone;
}

inline Variant Cell(const RecordsetData& data, size_t record, const std::string& name) {
  for (size_t i = 0; i < data.fields.size(); ++i) {
    if (data.fields[i].name == name) return data.records.Get(record, i);
  }
  ADD_FAILURE() << "no field " << name;
  return Variant();
}

// The core::Error a call throws; fails the test when it throws none.
template <typename F>
core::ErrorRecord ErrorOf(F&& call) {
  try {
    call();
  } catch (const core::Error& e) {
    return e.record();
  }
  ADD_FAILURE() << "no core::Error thrown";
  return {};
}

}  // namespace ado::test
