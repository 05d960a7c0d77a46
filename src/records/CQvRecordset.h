#pragma once

#include <memory>
#include <string>

#include "ado/Recordset.h"

namespace qv {

// Holds one recordset and offers: an empty in-memory copy of its structure, the
// current record as text, and field values as text. Never closes the recordset and
// never moves its cursor.
class CQvRecordset {
 public:
  // Wraps the recordset itself (not a copy). Always true.
  bool Init(std::shared_ptr<ado::Recordset> rs);
  const std::shared_ptr<ado::Recordset>& RS() const { return rs_; }

  // A new recordset, wrapped from now on, with the fields of `copy_fields_from`
  // (chapter fields skipped; name, type, size, attributes, precision and scale kept).
  // With `open_rs` it is opened empty, client-side; else returned closed. nullptr after
  // a logged failure (the new recordset stays wrapped).
  std::shared_ptr<ado::Recordset> CreateInMemory(
      const std::shared_ptr<ado::Recordset>& copy_fields_from, bool open_rs);

  // One line per field of the current record: Name(Type:n, Attributes:n)=value CR LF.
  // Empty without an open recordset on a record. A field that fails is logged and left
  // out; the others are still printed.
  std::string PrintRecord();

  // With a pattern holding "%": the fields named in the comma-separated list filled into
  // the pattern as %1, %2, ...; otherwise the one field named by the whole text. A name
  // that is not a field gives empty text.
  std::string GetFieldValue_Str(const std::string& field_names,
                                const std::string& field_names_formula);

 private:
  void CopyStructure(const std::shared_ptr<ado::Recordset>& source,
                     const std::shared_ptr<ado::Recordset>& destination);
  std::string GetFieldValue_SingleField(const std::string& field_name);
  std::string GetFieldValue_ConcatenatedFields(const std::string& field_names,
                                               const std::string& pattern);

  std::shared_ptr<ado::Recordset> rs_;
};

}  // namespace qv
