#include "shared/QvSharedRecordCopier.h"

#include <optional>
#include <utility>
#include <vector>

#include "core/Error.h"

namespace qv {

bool QvSharedRecordCopier::CopyRecord(const std::shared_ptr<ado::Recordset>& source,
                                      const std::shared_ptr<ado::Recordset>& target, bool add_new) {
  if (!source || !target) {
    throw core::Error(core::kErrObjectRequired, "QvSharedRecordCopier", "Object required");
  }
  // Read every value first so that a source without a current record adds nothing.
  const ado::Fields from = source->Fields();
  ado::Fields to = target->Fields();
  std::vector<std::pair<ado::Field, ado::Variant>> values;
  values.reserve(static_cast<size_t>(from.Count()));
  for (int32_t i = 0; i < from.Count(); ++i) {
    const ado::Field field = from.Item(static_cast<size_t>(i));
    if (std::optional<ado::Field> into = to.Find(field.Name())) {
      values.emplace_back(*into, field.Value());
    }
  }
  if (add_new) target->AddNew();
  try {
    for (auto& [field, value] : values) field.SetValue(value);
    target->Update();
  } catch (...) {
    // Leave no half-filled record behind.
    try {
      target->CancelUpdate();
    } catch (...) {
    }
    throw;
  }
  return true;
}

}  // namespace qv
