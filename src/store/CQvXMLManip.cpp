#include "store/CQvXMLManip.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "core/AtomicFile.h"
#include "core/Error.h"
#include "core/PosixError.h"
#include "records/CQvRSRecUtils.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedADO.h"
#include "shared/QvSharedFileSystem.h"
#include "shared/QvSharedStrings.h"
#include "xmlformat/XmlWriter.h"

namespace qv {
namespace {

constexpr char kClass[] = "CQvXMLManip";

class AtomicFileSink : public ado::OutputSink {
 public:
  explicit AtomicFileSink(core::AtomicFile& file) : file_(file) {}
  void Write(std::string_view bytes) override { file_.Write(bytes); }

 private:
  core::AtomicFile& file_;
};

// The one process-wide writer of encoded values.
CQvRSRecUtils& RecUtils() {
  static CQvRSRecUtils utils;
  return utils;
}

std::string FieldName(const std::optional<ado::Field>& field) {
  try {
    return field ? field->Name() : std::string();
  } catch (...) {
    return std::string();
  }
}

std::string FieldValueText(const std::optional<ado::Field>& field) {
  try {
    return field ? QvSharedStrings::ToText(field->Value()) : std::string();
  } catch (...) {
    return std::string();
  }
}

void LogNotSupported(const char* operation, int32_t encode_type) {
  QvSharedErrorLog::Instance().LogEvent(
      std::string(kClass) + operation + " - " + std::to_string(encode_type) + " not supported", {},
      kEventWarning, kLevelExport);
}

enum class Direction { kDecode, kEncode };

// The text in or out of encoding 1 or 6; any other encoding leaves it as it is, with a
// warning in the name of the field operation.
std::string Recode(Direction direction, const std::string& text, int32_t encode_type) {
  const bool decode = direction == Direction::kDecode;
  switch (encode_type) {
    case 1:
      return decode ? QvSharedStrings::Decode1(text) : QvSharedStrings::Encode1(text);
    case 6:
      return decode ? QvSharedStrings::Decode6(text, 0) : QvSharedStrings::Encode6(text, 0);
    default:
      LogNotSupported(decode ? ".DecodeField" : ".EncodeField", encode_type);
      return text;
  }
}

// Calls `apply` with each field of the current record, looked up again by its name.
template <typename Apply>
void ForEachField(ado::Recordset& rs, Apply&& apply) {
  ado::Fields fields = rs.Fields();
  for (int32_t i = 0; i < fields.Count(); ++i) {
    apply(fields.Find(fields.Item(static_cast<size_t>(i)).Name()));
  }
}

}  // namespace

std::shared_ptr<ado::Recordset> CQvXMLManip::OpenXMLToRS(const std::string& source_path,
                                                         bool decode, int32_t encode_type) {
  return Guard(
      ReportToErrorLog, std::shared_ptr<ado::Recordset>(),
      [&](int& line) {
        line = 1;
        auto rs = std::make_shared<ado::Recordset>();
        line = 2;
        const bool exists = QvSharedFileSystem::CheckFileExists(source_path, true);
        line = 3;
        if (exists) {
          rs->SetCursorLocation(ado::adUseClient);
          rs->SetSource(source_path);
          rs->SetCursorType(ado::adOpenDynamic);
          rs->SetLockType(ado::adLockOptimistic);
          rs->Open(ado::Variant(source_path), nullptr, ado::adOpenUnspecified,
                   ado::adLockUnspecified, -1);
        }
        line = 4;
        if (decode) DecodeRecordset(rs, encode_type);
        return rs;
      },
      Fixed(std::string(kClass) + ".OpenXMLToRS"));
}

bool CQvXMLManip::SaveRSToXML(const std::shared_ptr<ado::Recordset>& rs,
                              const std::string& source_path, bool encode, bool backup_file,
                              int32_t encode_type, bool flush_to_disk) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!rs) throw core::Error(core::kErrObjectRequired, kClass, "Object required");
        line = 2;
        if (encode) EncodeRecordset(rs, encode_type);
        line = 3;
        core::AtomicFile temporary(source_path, kClass);
        temporary.KeepModeOfTarget();
        line = 4;
        // Streams straight into the temporary file.
        try {
          AtomicFileSink sink(temporary);
          rs->Save(sink, ado::adPersistXML);
          if (flush_to_disk) temporary.Sync();
        } catch (const core::Error& e) {
          // The report names the file the caller knows, not only the temporary.
          core::ErrorRecord record = e.record();
          record.description = source_path + " not written: " + record.description;
          throw core::Error(std::move(record));
        }
        line = 5;
        if (backup_file) BackupXMLFile(source_path);
        line = 6;
        temporary.Commit(flush_to_disk ? core::AtomicFile::Durability::kFlushed
                                       : core::AtomicFile::Durability::kRenameOnly);
        return true;
      },
      AtLine(std::string(kClass) + ".SaveRSToXML. @Line#"));
}

bool CQvXMLManip::BackupXMLFile(const std::string& path) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!QvSharedFileSystem::CheckFileExists(path, true)) return false;
        line = 2;
        // A copy is enough: the new content replaces the file by a rename, so the old
        // file is never deleted before the new one is complete.
        std::string backup_path;
        return QvSharedFileSystem::BackupFile(path, backup_path);
      },
      AtLine(std::string(kClass) + ".BackupXMLFile, @Line#"));
}

bool CQvXMLManip::DecodeRecordset(const std::shared_ptr<ado::Recordset>& rs, int32_t encode_type) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!rs || rs->State() != ado::adStateOpen) return true;
        line = 2;
        if (rs->Eof() && rs->Bof()) return true;
        line = 3;
        rs->MoveFirst();
        while (!rs->Eof()) {
          line = 4;
          ForEachField(*rs, [&](const auto& field) { DecodeField(field, encode_type); });
          line = 5;
          rs->Update();
          line = 6;
          rs->MoveNext();
        }
        line = 7;
        rs->MoveFirst();
        return true;
      },
      AtLine(std::string(kClass) + ".DecodeRecordset, @ Line#"));
}

bool CQvXMLManip::EncodeRecordset(const std::shared_ptr<ado::Recordset>& rs, int32_t encode_type) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!rs || rs->State() != ado::adStateOpen) return true;
        if (rs->Bof() && rs->Eof()) return true;
        line = 2;
        QvSharedADO checker;
        if (checker.CheckRecordset(rs)) {
          while (!rs->Eof()) {
            line = 3;
            ForEachField(*rs, [&](const auto& field) { EncodeField(field, encode_type); });
            line = 4;
            rs->Update();
            line = 5;
            rs->MoveNext();
          }
          line = 6;
          rs->MoveFirst();
        }
        line = 7;
        return true;
      },
      AtLine(std::string(kClass) + ".EncodeRecordset, @Line#"));
}

bool CQvXMLManip::DecodeField(const std::optional<ado::Field>& field, int32_t encode_type) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!UpdateField(field)) return true;
        line = 2;
        const std::string text = QvSharedStrings::ToText(field->Value());
        const std::string decoded = Recode(Direction::kDecode, text, encode_type);
        line = 3;
        ado::Field target = *field;
        if (QvSharedStrings::ToText(target.Value()) != decoded) {
          target.SetValue(ado::Variant(decoded));
        }
        return true;
      },
      [&](int line) {
        return std::string(kClass) + ".DecodeField, Field Name" + FieldName(field) + ", @Line#" +
               std::to_string(line);
      });
}

bool CQvXMLManip::EncodeField(const std::optional<ado::Field>& field, int32_t encode_type) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!UpdateField(field)) return true;
        line = 2;
        const std::string text = QvSharedStrings::ToText(field->Value());
        const std::string encoded = Recode(Direction::kEncode, text, encode_type);
        line = 3;
        // An encoded form that reads as a number, date or Boolean would not be decoded
        // again; the value is then stored as it is, so no reader gets the encoded form.
        if (encoded != text && !IsTextLike(ado::Variant(encoded))) {
          QvSharedErrorLog::Instance().LogEvent(
              std::string(kClass) + ".EncodeField, Field Name=" + FieldName(field) +
                  ", encoded value '" + encoded + "' would not read as text; kept unencoded",
              {}, kEventWarning, kLevelExport);
          return true;
        }
        line = 4;
        RecUtils().SetFieldValue2(field, ado::Variant(encoded));
        return true;
      },
      [&](int line) {
        return std::string(kClass) + ".EncodeField, Field Name=" + FieldName(field) +
               ", Field Value=" + FieldValueText(field) + ", @Line#" + std::to_string(line);
      });
}

bool CQvXMLManip::UpdateField(const std::optional<ado::Field>& field) {
  return Guard(
      ReportToErrorLog, false,
      [&](int& line) {
        line = 1;
        if (!field) return false;
        line = 2;
        return IsTextLike(field->Value());
      },
      AtLine(std::string(kClass) + ".UpdateField, @Line#"));
}

bool CQvXMLManip::IsTextLike(const ado::Variant& value) {
  if (value.IsNull()) return false;
  if (value.IsNumeric()) return false;
  if (IsBoolean(value)) return false;
  if (value.IsDate()) return false;
  // Byte arrays and objects have no text form to encode.
  if (value.IsArray() || value.IsObject()) return false;
  return !QvSharedStrings::ToText(value).empty();
}

bool CQvXMLManip::IsBoolean(const ado::Variant& value) {
  try {
    value.ToBool();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qv
