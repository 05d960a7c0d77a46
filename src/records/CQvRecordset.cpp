#include "records/CQvRecordset.h"

#include <vector>

#include "records/CQvRecSetField.h"
#include "records/basADOUtilities.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedStrings.h"
#include "shared/TextFormatter.h"

namespace qv {
namespace {

constexpr char kClass[] = "CQvRecordset";

void Trace(const std::string& message) {
  QvSharedErrorLog::Instance().LogEvent(message, {}, kEventInformation, kLevelDetail);
}

std::vector<std::string> SplitAtComma(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(',', start)) != std::string::npos; start = at + 1) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

}  // namespace

bool CQvRecordset::Init(std::shared_ptr<ado::Recordset> rs) {
  rs_ = std::move(rs);
  return true;
}

std::shared_ptr<ado::Recordset> CQvRecordset::CreateInMemory(
    const std::shared_ptr<ado::Recordset>& copy_fields_from, bool open_rs) {
  return Guard(
      ReportToErrorLog, std::shared_ptr<ado::Recordset>(),
      [&](int& line) {
        line = 1;
        rs_ = std::make_shared<ado::Recordset>();
        line = 2;
        CopyStructure(copy_fields_from, rs_);
        line = 3;
        if (open_rs) {
          rs_->SetCursorLocation(ado::adUseClient);
          rs_->Open();
        }
        return rs_;
      },
      AtLine(std::string(kClass) + ".CreateInMemory, @ Line #"));
}

void CQvRecordset::CopyStructure(const std::shared_ptr<ado::Recordset>& source,
                                 const std::shared_ptr<ado::Recordset>& destination) {
  if (!source || !destination) return;
  Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        const ado::Fields from = source->Fields();
        ado::Fields to = destination->Fields();
        for (int32_t i = 0; i < from.Count(); ++i) {
          line = 2;
          const ado::Field field = from.Item(static_cast<size_t>(i));
          if (field.Type() == ado::adChapter) continue;
          line = 3;
          to.Append(field.Name(), field.Type(), field.DefinedSize(), field.Attributes());
          line = 4;
          ado::Field added = to.Item(field.Name());
          added.SetPrecision(field.Precision());
          added.SetNumericScale(field.NumericScale());
        }
        return true;
      },
      AtLine(std::string(kClass) + ".CopyStructure, @ Line #"));
}

std::string CQvRecordset::PrintRecord() {
  std::string text;
  int step = 0;
  // A failing step is reported and skipped; what was printed so far is kept.
  auto run_step = [&](auto&& body) {
    ++step;
    return Guard(
        ReportToErrorLog, false,
        [&](int& line) {
          line = step;
          return body();
        },
        [&](int line) {
          return std::string(kClass) + ".PrintRecord, @ Line #" + std::to_string(line) +
                 ", Ret=" + text;
        });
  };
  bool printable = false;
  run_step([&] {
    printable = rs_ && rs_->State() == ado::adStateOpen && !rs_->Eof();
    return true;
  });
  if (!printable) return text;
  int32_t count = 0;
  run_step([&] {
    count = rs_->Fields().Count();
    return true;
  });
  for (int32_t i = 0; i < count; ++i) {
    run_step([&] {
      const ado::Field field = rs_->Fields().Item(static_cast<size_t>(i));
      CQvRecSetField value_reader;
      value_reader.Init(field);
      std::string line_text = field.Name() + "(Type:" + std::to_string(field.Type()) +
                              ", Attributes:" + std::to_string(field.Attributes()) +
                              ")=" + QvSharedStrings::ToText(value_reader.GetValue()) + "\r\n";
      text += line_text;
      return true;
    });
  }
  return text;
}

std::string CQvRecordset::GetFieldValue_Str(const std::string& field_names,
                                            const std::string& field_names_formula) {
  if (field_names_formula.find('%') == std::string::npos) {
    return GetFieldValue_SingleField(field_names);
  }
  return GetFieldValue_ConcatenatedFields(field_names, field_names_formula);
}

std::string CQvRecordset::GetFieldValue_SingleField(const std::string& field_name) {
  return Guard(
      ReportToErrorLog, std::string(),
      [&](int& line) {
        line = 1;
        CQvRecSetField field;
        line = 2;
        if (!FieldExists(rs_, field_name)) return std::string();
        line = 3;
        field.Init(rs_->Fields().Item(field_name));
        Trace(std::string(kClass) +
              ".GetFieldValue_SingleField Get Value: " + QvSharedStrings::ToText(field.GetValue()));
        line = 4;
        return QvSharedStrings::ToText(field.GetValue());
      },
      AtLine(std::string(kClass) + ".GetFieldValue_SingleField, @Line#"));
}

std::string CQvRecordset::GetFieldValue_ConcatenatedFields(const std::string& field_names,
                                                           const std::string& pattern) {
  return Guard(
      ReportToErrorLog, std::string(),
      [&](int& line) {
        line = 1;
        const std::vector<std::string> names = SplitAtComma(field_names);
        line = 2;
        std::vector<std::string> values(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
          line = 3;
          values[i] = GetFieldValue_SingleField(names[i]);
          Trace(std::string(kClass) + ".GetFieldValue_ConcatenatedFields arrFieldVals(" +
                std::to_string(i) + "):" + values[i]);
        }
        line = 4;
        return TextFormatter::Format(pattern, values);
      },
      AtLine(std::string(kClass) + ".GetFieldValue_ConcatenatedFields, @Line#"));
}

}  // namespace qv
