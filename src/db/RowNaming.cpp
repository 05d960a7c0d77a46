#include "db/RowNaming.h"

#include <optional>
#include <utility>

#include "core/Text.h"

namespace ado {
namespace {

constexpr size_t kShownKeyBytes = 200;

class NamingCursor : public QueryCursor {
 public:
  NamingCursor(std::unique_ptr<QueryCursor> cursor, RowNaming naming)
      : cursor_(std::move(cursor)), naming_(std::move(naming)) {
    const std::vector<FieldDef>& fields = cursor_->Fields();
    for (size_t i = 0; i < fields.size(); ++i) {
      if (!naming_.key_field.empty() && core::EqualsIgnoreCase(fields[i].name, naming_.key_field)) {
        key_ = i;
        break;
      }
    }
  }

  const std::vector<FieldDef>& Fields() const override { return cursor_->Fields(); }
  std::vector<std::string> Warnings() const override { return cursor_->Warnings(); }

  size_t FetchInto(RecordStore& store, size_t max_rows) override {
    try {
      return cursor_->FetchInto(store, max_rows);
    } catch (const CellError& error) {
      throw NamedCellError(error, naming_, KeyOfLastRow(store, error));
    }
  }

 private:
  std::string KeyOfLastRow(const RecordStore& store, const CellError& error) const {
    if (!key_ || store.RecordCount() == 0) return {};
    if (core::EqualsIgnoreCase(error.Column(), Fields()[*key_].name)) return {};
    try {
      const Variant key = store.Get(store.RecordCount() - 1, *key_);
      if (key.IsNull() || key.IsEmpty()) return {};
      return key.ToText();
    } catch (const core::Error&) {
      return {};
    }
  }

  std::unique_ptr<QueryCursor> cursor_;
  RowNaming naming_;
  std::optional<size_t> key_;
};

}  // namespace

CellError::CellError(const core::Error& error, std::string column, int64_t row)
    : core::Error([&] {
        core::ErrorRecord record = error.record();
        record.description =
            "Column '" + column + "', row " + std::to_string(row) + ": " + record.description;
        return record;
      }()),
      column_(std::move(column)),
      row_(row),
      reason_(error.record().description) {}

core::Error NamedCellError(const CellError& error, const RowNaming& naming,
                           const std::string& key) {
  std::string text = naming.context;
  if (!key.empty()) {
    if (!text.empty()) text += ", ";
    std::string shown = key.substr(0, kShownKeyBytes);
    if (shown.size() < key.size()) {
      // Not within a character.
      while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) {
        shown.pop_back();
      }
      if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0) shown.pop_back();
      shown += "...";
    }
    text += naming.key_field + " '" + shown + "'";
  }
  text += text.empty() ? "Column '" : ", column '";
  text += error.Column() + "', row " + std::to_string(error.Row()) + ": " + error.Reason();
  core::ErrorRecord record = error.record();
  record.description = std::move(text);
  return core::Error(std::move(record));
}

std::unique_ptr<QueryCursor> WithRowNaming(std::unique_ptr<QueryCursor> cursor, RowNaming naming) {
  if (!cursor || naming.Empty()) return cursor;
  return std::make_unique<NamingCursor>(std::move(cursor), std::move(naming));
}

}  // namespace ado
