#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ado/Recordset.h"

namespace qv::test {

struct TestField {
  std::string name;
  int32_t type = ado::adVarWChar;
  int64_t defined_size = 50;
  int32_t attributes = ado::adFldUnspecified;
};

// An open, fabricated client-side recordset with the given fields and one record per
// row (values in field order); it stands on the first record.
inline std::shared_ptr<ado::Recordset> MakeRecordset(
    const std::vector<TestField>& fields, const std::vector<std::vector<ado::Variant>>& rows,
    int32_t lock_type = ado::adLockOptimistic) {
  auto rs = std::make_shared<ado::Recordset>();
  for (const TestField& f : fields)
    rs->Fields().Append(f.name, f.type, f.defined_size, f.attributes);
  rs->SetCursorLocation(ado::adUseClient);
  rs->SetLockType(lock_type);
  rs->Open();
  for (const auto& row : rows) {
    rs->AddNew();
    for (size_t i = 0; i < row.size(); ++i) rs->Fields().Item(i).SetValue(row[i]);
    rs->Update();
  }
  if (!rows.empty()) rs->MoveFirst();
  return rs;
}

}  // namespace qv::test
