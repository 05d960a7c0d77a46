#include "records/CQvRecSetField.h"

#include "core/Error.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedStrings.h"

namespace qv {
namespace {

constexpr char kClass[] = "CQvRecSetField";

int32_t UpperBound(const ado::Variant& array) {
  if (array.Type() == ado::VarType::kBytes) {
    return static_cast<int32_t>(array.AsBytes().size()) - 1;
  }
  return array.AsArray().UpperBound();
}

// VB's Join: every element as text; byte arrays and elements without a text form fail.
std::string Join(const ado::Variant& array, const std::string& separator) {
  if (array.Type() != ado::VarType::kArray) {
    throw core::Error(core::kErrTypeMismatch, kClass, "Type mismatch");
  }
  std::string text;
  bool first = true;
  for (const ado::Variant& item : array.AsArray().items) {
    if (!first) text += separator;
    text += QvSharedStrings::ToText(item);
    first = false;
  }
  return text;
}

void Trace(const std::string& message) {
  QvSharedErrorLog::Instance().LogEvent(message, {}, kEventInformation, kLevelDetail);
}

}  // namespace

bool CQvRecSetField::Init(const std::optional<ado::Field>& field) {
  if (!field) return false;
  field_ = field;
  name_ = field->Name();
  return true;
}

ado::Variant CQvRecSetField::GetValue() {
  if (!field_) return ado::Variant();
  ado::Variant result = Guard(
      ReportToErrorLog, ado::Variant(),
      [&](int& line) {
        line = 1;
        ado::Variant value = field_->Value();
        line = 2;
        if (value.IsArray()) return ado::Variant(ConvertArrayToString(value));
        line = 3;
        if (field_->Type() == ado::adVariant && value.IsObject()) {
          return converter_.Integer8ToDate(value);
        }
        return value;
      },
      [&](int line) {
        return std::string(kClass) + ".GetValue, @ Line #" + std::to_string(line) +
               ", Field:" + name_;
      });
  try {
    Trace(std::string(kClass) + ".GetValue, The value of field:" + name_ + " is " +
          QvSharedStrings::ToText(result) + ",");
  } catch (...) {
    // Tracing is best effort.
  }
  return result;
}

std::string CQvRecSetField::ConvertArrayToString(const ado::Variant& array) {
  return Guard(
      ReportToErrorLog, std::string(),
      [&](int& line) {
        line = 1;
        const int32_t upper_bound = UpperBound(array);
        // From here on a failing step is skipped, as the value is only for display.
        std::string text;
        try {
          text = Join(array, array_separator_);
        } catch (...) {
        }
        if (text.empty() && upper_bound > 0) {
          const std::string joined = text;
          try {
            text = converter_.ObjSidToStrSid(array);
          } catch (...) {
            text.clear();
          }
          try {
            Trace(std::string(kClass) + ".ConvertArrayToString, Field:" + name_ + "," +
                  "ConvertArrayToString: join gives:" + joined + "\r\n" +
                  ", ObjSidToStrSid:" + text + ", Size:" + std::to_string(upper_bound));
          } catch (...) {
          }
        }
        return text;
      },
      [&](int line) {
        return std::string(kClass) + ".ConvertArrayToString, @ Line #" + std::to_string(line) +
               ", Field:" + name_;
      });
}

}  // namespace qv
