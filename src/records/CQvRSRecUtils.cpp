#include "records/CQvRSRecUtils.h"

#include "core/Text.h"
#include "records/basADOUtilities.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedStrings.h"

namespace qv {
namespace {

constexpr char kClass[] = "CQvRSRecUtils";

bool IsTextField(const ado::Field& field) {
  return field.Type() == ado::adVarChar || field.Type() == ado::adVarWChar;
}

// Whether storing `value` would change the field. A null value differs from any
// non-null one, so assigning null is never skipped; arrays and objects have no
// ordering and compare by identity.
bool Differs(const ado::Variant& current, const ado::Variant& value) {
  if (current.IsNull() || current.IsEmpty() || value.IsNull()) return true;
  if (current.IsArray() || current.IsObject() || value.IsArray() || value.IsObject()) {
    return !(current == value);
  }
  return ado::Compare(current, value) != ado::CompareResult::kEqual;
}

}  // namespace

bool CQvRSRecUtils::SetFieldValue(const std::shared_ptr<ado::Recordset>& rec,
                                  const std::string& field_name, const ado::Variant& value) {
  if (!FieldExists(rec, field_name)) return false;
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        ado::Field field = rec->Fields().Item(field_name);
        line = 2;
        return SetValue(field, value);
      },
      Fixed(std::string(kClass) + ".SetFieldValue"));
}

bool CQvRSRecUtils::SetFieldValue2(const std::optional<ado::Field>& field,
                                   const ado::Variant& value) {
  if (!field) return false;
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        ado::Field target = *field;
        return SetValue(target, value);
      },
      Fixed(std::string(kClass) + ".SetFieldValue2"));
}

bool CQvRSRecUtils::SetValue(ado::Field& field, const ado::Variant& value) {
  if (IsTextField(field)) return SetFieldValue_String(field, QvSharedStrings::ToText(value));
  if (Differs(field.Value(), value)) field.SetValue(value);
  return true;
}

bool CQvRSRecUtils::SetFieldValue_String(ado::Field& field, const std::string& text) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        const ado::Variant old_value = field.Value();
        const std::string old_text = QvSharedStrings::ToText(old_value);
        line = 2;
        if (!old_value.IsNull() && core::EqualsIgnoreCase(text, old_text)) return true;
        line = 3;
        if (core::IsBlank(text, " ")) {
          field.SetValue(ado::Variant(std::string()));
          return true;
        }
        line = 4;
        if (static_cast<int64_t>(core::CodePointCount(text)) > field.DefinedSize()) {
          QvSharedErrorLog::Instance().LogEvent(
              std::string(kClass) + ".SetFieldValue_String - unable to store '" + text +
                  "' in field " + field.Name() + " since it only allows up to " +
                  std::to_string(field.DefinedSize()) +
                  " characters, so it will keep the original value '" + old_text + "'",
              {}, kEventWarning, kLevelExport);
          return true;
        }
        line = 5;
        field.SetValue(ado::Variant(text));
        return true;
      },
      Fixed(".SetFieldValue_String"));
}

}  // namespace qv
