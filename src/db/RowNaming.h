#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/Error.h"
#include "db/QueryCursor.h"

namespace ado {

// A value of one column that could not be read or held. Its description is
// "Column 'NAME', row N: " and the reason, which names the value where it has one.
class CellError : public core::Error {
 public:
  CellError(const core::Error& error, std::string column, int64_t row);

  const std::string& Column() const { return column_; }
  int64_t Row() const { return row_; }  // from 1
  const std::string& Reason() const { return reason_; }

 private:
  std::string column_;
  int64_t row_;
  std::string reason_;
};

// How a failed value names where it is: what reads the rows (a rule and its file), and
// the field whose value names the row's entity.
struct RowNaming {
  std::string context;
  std::string key_field;
  bool Empty() const { return context.empty() && key_field.empty(); }
};

// A CellError's text with `naming`'s context and the row's key before the column:
// "CONTEXT, KEY_FIELD 'KEY', column 'NAME', row N: REASON". `key` is empty when the row
// has none (null, unreadable, or the failed value itself).
core::Error NamedCellError(const CellError& error, const RowNaming& naming, const std::string& key);

// `cursor` whose failed values name `naming`'s context and the row's key. The key is
// read from the failed row as the back end left it in the store: back ends store what
// they can of a row's other values before a CellError leaves it.
std::unique_ptr<QueryCursor> WithRowNaming(std::unique_ptr<QueryCursor> cursor, RowNaming naming);

}  // namespace ado
