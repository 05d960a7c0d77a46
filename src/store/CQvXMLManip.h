#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ado/Recordset.h"
#include "values/Variant.h"

namespace qv {

// Reads recordset files into recordsets and writes recordsets to files, optionally
// encoding or decoding their text values (encode types 1 and 6). Stateless; every
// failure is reported to QvSharedErrorLog and never thrown.
class CQvXMLManip {
 public:
  // Opens a persisted recordset as an updatable client-side recordset on its first
  // record, decoded when `decode` is set. A missing file gives a new closed recordset
  // and logs nothing; a file that cannot be read as a recordset is logged with the
  // reader's reason and gives nullptr.
  std::shared_ptr<ado::Recordset> OpenXMLToRS(const std::string& source_path, bool decode,
                                              int32_t encode_type = 0);

  // Writes the records the recordset shows to `source_path`, atomically: the old file
  // stays whole until the new one is complete. With `encode` the caller's recordset is
  // encoded in place first; with `backup_file` an existing file is copied to a backup
  // name before it is replaced. With `flush_to_disk` (the default) the file and the
  // rename reach the disk before the call returns; without it a crash may lose the new
  // file, but never leaves a half-written one at the path. True when the file was written.
  bool SaveRSToXML(const std::shared_ptr<ado::Recordset>& rs, const std::string& source_path,
                   bool encode, bool backup_file = false, int32_t encode_type = 0,
                   bool flush_to_disk = true);

  // Copies an existing file to a backup name in its folder. False when the file does
  // not exist or the copy failed.
  bool BackupXMLFile(const std::string& path);

  // Decode or encode every text-like value of every record, then stand on the first
  // record. A null, closed or empty recordset gives true and is left alone. A field
  // that fails is logged and keeps its value; a failure of the walk itself is logged
  // and gives false.
  bool DecodeRecordset(const std::shared_ptr<ado::Recordset>& rs, int32_t encode_type);
  bool EncodeRecordset(const std::shared_ptr<ado::Recordset>& rs, int32_t encode_type);

  // Decode or encode the field's value on the current record when it is text-like.
  // Encoded values are written through CQvRSRecUtils::SetFieldValue2, which refuses
  // text longer than the field allows; an encoded form that would not read as text
  // (Base64 of some texts is all digits) is not stored, with a warning. False after a
  // logged failure.
  bool DecodeField(const std::optional<ado::Field>& field, int32_t encode_type);
  bool EncodeField(const std::optional<ado::Field>& field, int32_t encode_type);

  // True when the field's value is text-like: the field exists, the value is not null,
  // not numeric, not a Boolean, not a date, not an array or object, and its text is
  // not empty.
  bool UpdateField(const std::optional<ado::Field>& field);

  // The rules of UpdateField for a value: not null, not numeric, not a Boolean, not a
  // date, not an array or object, and a non-empty text. Throws nothing for such values.
  static bool IsTextLike(const ado::Variant& value);

  // True when the value converts to a Boolean. Logs nothing.
  static bool IsBoolean(const ado::Variant& value);
};

}  // namespace qv
