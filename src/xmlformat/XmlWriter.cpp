#include "xmlformat/XmlWriter.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/Error.h"
#include "core/File.h"
#include "values/RecordsetData.h"
#include "xmlformat/XmlFormat.h"
#include "xmlformat/XmlValueText.h"

namespace ado {
namespace {

using xml::ValueKind;

constexpr std::string_view kLineEnd = "\n";
// A start tag continues on a new line before an attribute (or a byte of a bin.hex value)
// once its current line is longer than this many characters, leading TABs not counted.
constexpr size_t kWrapWidth = 105;
constexpr size_t kFlushBytes = size_t{1} << 20;
constexpr char kSource[] = "WriteRecordsetXmlFile";

// Builds the text line by line in one buffer and hands it to the sink in large blocks.
// Line lengths are counted in UTF-16 code units, as the layout was defined on wide
// strings.
class XmlTextBuilder {
 public:
  explicit XmlTextBuilder(OutputSink& sink) : sink_(sink) { Grow(kFlushBytes + 65536); }

  void Append(std::string_view text) {
    std::memcpy(Room(text.size()), text.data(), text.size());
    size_ += text.size();
  }
  void Append(char c) {
    *Room(1) = c;
    ++size_;
  }
  void AppendTabs(int count) {
    std::memset(Room(static_cast<size_t>(count)), '\t', static_cast<size_t>(count));
    size_ += static_cast<size_t>(count);
  }

  void StartLine(int depth) {
    AppendTabs(depth);
    line_start_ = size_;
    not_units_ = 0;
  }

  void EndLine() {
    Append(kLineEnd);
    if (size_ >= kFlushBytes) Flush();
  }

  // Opens a start tag; `continuation_tabs` TABs and a space start each wrapped line.
  void OpenTag(std::string_view name, int continuation_tabs) {
    Append('<');
    Append(name);
    first_attribute_ = true;
    continuation_tabs_ = continuation_tabs;
  }

  void RawAttribute(std::string_view name, std::string_view value) {
    BeginAttribute(name);
    Append(value);
    Append('\'');
  }

  void TextAttribute(std::string_view name, std::string_view text) {
    BeginAttribute(name);
    // In slices, so that a huge value does not need six times its size at once; a slice
    // never ends inside a UTF-8 sequence.
    constexpr size_t kSlice = size_t{1} << 20;
    while (!text.empty()) {
      size_t length = text.size();
      if (length > kSlice) {
        length = kSlice;
        for (int back = 0; back < 3 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80;
             ++back) {
          --length;
        }
      }
      char* out = Room(length * xml::kMaxEscapedBytesPerByte);
      size_ += xml::EscapeInto(out, text.substr(0, length), not_units_);
      text.remove_prefix(length);
    }
    Append('\'');
  }

  void TrueAttribute(std::string_view name) { RawAttribute(name, "true"); }

  void NumberAttribute(std::string_view name, int64_t value) {
    char text[xml::kValueBufferSize];
    RawAttribute(name, std::string_view(text, xml::FormatInteger(value, text)));
  }

  // bin.hex, split between bytes under the same rule as attributes; a continuation line
  // holds `hex_tabs` TABs and no space.
  void HexAttribute(std::string_view name, std::span<const uint8_t> bytes, int hex_tabs) {
    BeginAttribute(name);
    size_t i = 0;
    while (i < bytes.size()) {
      size_t length = LineLength();
      // A byte still goes on this line while the line is at most kWrapWidth long.
      size_t fit = length > kWrapWidth ? 0 : (kWrapWidth - length) / 2 + 1;
      if (fit == 0) {
        Append(kLineEnd);
        AppendTabs(hex_tabs);
        line_start_ = size_;
        not_units_ = 0;
        continue;
      }
      size_t end = std::min(bytes.size(), i + fit);
      char* out = Room(2 * (end - i));
      out += xml::FormatHex(bytes.subspan(i, end - i), out);
      i = end;
      size_ = static_cast<size_t>(out - data_.get());
    }
    Append('\'');
  }

  void Flush() {
    if (size_ > 0) sink_.Write(std::string_view(data_.get(), size_));
    size_ = 0;
  }

 private:
  // Room for `count` more bytes at the end of the buffer.
  char* Room(size_t count) {
    if (size_ + count > capacity_) Grow(std::max(capacity_ * 2, size_ + count));
    return data_.get() + size_;
  }

  void Grow(size_t capacity) {
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  size_t LineLength() const { return size_ - line_start_ - not_units_; }

  void BeginAttribute(std::string_view name) {
    if (!first_attribute_ && LineLength() > kWrapWidth) {
      Append(kLineEnd);
      AppendTabs(continuation_tabs_);
      line_start_ = size_;
      not_units_ = 0;
    }
    Append(' ');
    first_attribute_ = false;
    Append(name);
    Append("='");
  }

  OutputSink& sink_;
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t line_start_ = 0;
  size_t not_units_ = 0;
  bool first_attribute_ = true;
  int continuation_tabs_ = 0;
};

// Access to one value, from the record store or from a kept original.
struct StoreCell {
  const RecordStore& store;
  size_t record;
  size_t field;

  VarType Type() const { return store.TypeAt(record, field); }
  int64_t Int() const { return store.IntAt(record, field); }
  uint64_t UInt() const { return store.UIntAt(record, field); }
  double Double() const { return store.DoubleAt(record, field); }
  Date DateValue() const { return store.DateAt(record, field); }
  std::string_view Text() const { return store.TextAt(record, field); }
  std::span<const uint8_t> Bytes() const { return store.BytesAt(record, field); }
  Variant Value() const { return store.Get(record, field); }
};

struct VariantCell {
  const Variant& value;

  VarType Type() const { return value.Type(); }
  int64_t Int() const {
    switch (value.Type()) {
      case VarType::kBool:
        return value.AsBool() ? 1 : 0;
      case VarType::kCurrency:
        return value.AsCurrency().scaled;
      default:
        return value.AsInt64();
    }
  }
  uint64_t UInt() const { return value.AsUInt64(); }
  double Double() const { return value.AsDouble(); }
  Date DateValue() const { return value.AsDate(); }
  std::string_view Text() const { return value.AsString(); }
  std::span<const uint8_t> Bytes() const { return value.AsBytes(); }
  Variant Value() const { return value; }
};

// Gives a value's text form to `emit` as Raw (written as it is), Text (escaped) or
// Bytes (bin.hex); a null, and a value with no text form, gives nothing.
template <typename Cell, typename Emit>
void EmitValue(const Cell& cell, ValueKind kind, Emit&& emit) {
  char text[xml::kValueBufferSize];
  auto raw = [&](size_t length) { emit.Raw(std::string_view(text, length)); };
  switch (cell.Type()) {
    case VarType::kEmpty:
    case VarType::kNull:
      return;
    case VarType::kString:
      if (kind == ValueKind::kGuid) {
        if (auto guid = xml::NormalizeGuid(cell.Text())) {
          emit.Raw(*guid);
          return;
        }
      }
      emit.Text(cell.Text());
      return;
    case VarType::kBytes:
      emit.Bytes(cell.Bytes());
      return;
    case VarType::kBool:
      emit.Raw(xml::BoolText(cell.Int() != 0));
      return;
    case VarType::kI1:
    case VarType::kI2:
    case VarType::kI4:
    case VarType::kI8:
    case VarType::kUI1:
    case VarType::kUI2:
    case VarType::kUI4:
      raw(xml::FormatInteger(cell.Int(), text));
      return;
    case VarType::kUI8:
      raw(xml::FormatUnsigned(cell.UInt(), text));
      return;
    case VarType::kR4:
      raw(xml::FormatSingle(static_cast<float>(cell.Double()), text));
      return;
    case VarType::kR8:
      raw(xml::FormatDouble(cell.Double(), text));
      return;
    case VarType::kCurrency:
      raw(xml::FormatCurrency(cell.Int(), text));
      return;
    case VarType::kDate:
      raw(xml::FormatDate(cell.DateValue(), kind, text));
      return;
    case VarType::kDecimal: {
      Variant value = cell.Value();
      raw(xml::FormatDecimal(value.AsDecimal().coefficient(), value.AsDecimal().scale(), text));
      return;
    }
    default: {
      // Arrays and objects have no column type of their own; their text form is the
      // best a file can hold, and a value without one is left out like a null.
      std::string value_text;
      try {
        value_text = cell.Value().ToText();
      } catch (const core::Error&) {
        return;
      }
      emit.Text(value_text);
      return;
    }
  }
}

int ContinuationTabs(int depth) { return std::min(depth + 1, 3); }

class RecordsetXmlWriter {
 public:
  RecordsetXmlWriter(const std::vector<FieldDef>& fields, const RecordStore& records,
                     const PersistProperties& properties, OutputSink& sink)
      : fields_(fields), records_(&records), properties_(properties), out_(sink) {
    AssignAttributeNames();
    kinds_.reserve(fields_.size());
    for (const FieldDef& field : fields_) kinds_.push_back(xml::LayoutOf(field.type).kind);
  }

  template <typename Range>
  void Write(const Range& order) {
    Begin();
    std::vector<size_t> updates, inserts, deletes;
    for (size_t record : order) {
      int32_t status = records_->Status(record);
      if (status & adRecDeleted) {
        if (!(status & adRecNew)) deletes.push_back(record);
      } else if (status & adRecNew) {
        inserts.push_back(record);
      } else if ((status & adRecModified) && records_->HasOriginal(record)) {
        updates.push_back(record);
      } else {
        WriteRow(record, 1);
      }
    }
    for (size_t record : updates) WriteUpdate(record);
    WriteBlock("rs:insert", inserts);
    WriteBlock("rs:delete", deletes);
    End();
  }

  // The streamed form: the schema, then blocks of unchanged rows, then the end.
  void Begin() {
    WriteSchema();
    out_.Append("<rs:data>");
    out_.EndLine();
  }
  void WriteRows(const RecordStore& block) {
    records_ = &block;
    for (size_t record = 0; record < block.RecordCount(); ++record) WriteRow(record, 1);
  }
  void End() {
    out_.Append("</rs:data>");
    out_.EndLine();
    out_.Append("</xml>");
    out_.Flush();
  }

 private:
  static bool IsPlainName(std::string_view name) {
    if (name.empty() || name == "xmlns") return false;
    auto letter = [](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!letter(name[0])) return false;
    for (char c : name) {
      if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    }
    return true;
  }

  static std::string AsciiLower(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
  }

  // A field keeps its name as the row attribute when it is a plain ASCII identifier not
  // used before (ignoring case); otherwise it is aliased c<ordinal-1>, or another name
  // when that one belongs to a real field.
  void AssignAttributeNames() {
    std::unordered_set<std::string> real;
    for (const FieldDef& field : fields_) {
      if (IsPlainName(field.name)) real.insert(AsciiLower(field.name));
    }
    std::unordered_set<std::string> used;
    names_.reserve(fields_.size());
    for (size_t i = 0; i < fields_.size(); ++i) {
      const std::string& name = fields_[i].name;
      if (IsPlainName(name) && used.insert(AsciiLower(name)).second) {
        names_.push_back(name);
        continue;
      }
      // Built by appending: GCC 12 warns falsely (-Wrestrict) on "c" + std::string.
      std::string base = "c";
      base += std::to_string(i);
      std::string alias = base;
      for (int n = 1; real.contains(AsciiLower(alias)) || used.contains(AsciiLower(alias)); ++n) {
        alias = base;
        alias += '_';
        alias += std::to_string(n);
      }
      used.insert(AsciiLower(alias));
      names_.push_back(std::move(alias));
    }
  }

  void WriteSchema() {
    out_.Append("<xml xmlns:s='");
    out_.Append(xml::kNsSchema);
    out_.Append("'");
    out_.Append(kLineEnd);
    out_.Append("\txmlns:dt='");
    out_.Append(xml::kNsDataType);
    out_.Append("'");
    out_.Append(kLineEnd);
    out_.Append("\txmlns:rs='");
    out_.Append(xml::kNsRowset);
    out_.Append("'");
    out_.Append(kLineEnd);
    out_.Append("\txmlns:z='");
    out_.Append(xml::kNsRow);
    out_.Append("'>");
    out_.EndLine();
    out_.Append("<s:Schema id='RowsetSchema'>");
    out_.EndLine();

    out_.StartLine(1);
    out_.OpenTag("s:ElementType", 1);
    out_.RawAttribute("name", "row");
    out_.RawAttribute("content", "eltOnly");
    if (properties_.command_timeout) {
      out_.NumberAttribute("rs:CommandTimeout", *properties_.command_timeout);
    }
    if (properties_.updatable) out_.TrueAttribute("rs:updatable");
    if (!properties_.reshape_name.empty()) {
      out_.TextAttribute("rs:ReshapeName", properties_.reshape_name);
    }
    out_.Append(">");
    out_.EndLine();
    for (size_t i = 0; i < fields_.size(); ++i) WriteAttributeType(i);
    out_.StartLine(2);
    out_.Append("<s:extends type='rs:rowbase'/>");
    out_.EndLine();
    out_.StartLine(1);
    out_.Append("</s:ElementType>");
    out_.EndLine();
    out_.Append("</s:Schema>");
    out_.EndLine();
  }

  void WriteAttributeType(size_t index) {
    const FieldDef& field = fields_[index];
    const int32_t attributes = field.attributes < 0 ? 0 : field.attributes;
    out_.StartLine(2);
    out_.OpenTag("s:AttributeType", 3);
    out_.TextAttribute("name", names_[index]);
    if (names_[index] != field.name) out_.TextAttribute("rs:name", field.name);
    out_.NumberAttribute("rs:number", static_cast<int64_t>(index) + 1);
    if (attributes & adFldRowID) out_.TrueAttribute("rs:rowid");
    if (attributes & adFldIsNullable) out_.TrueAttribute("rs:nullable");
    if (attributes & adFldMayDefer) out_.TrueAttribute("rs:maydefer");
    if (attributes & adFldUpdatable) out_.TrueAttribute("rs:write");
    if (attributes & adFldUnknownUpdatable) out_.TrueAttribute("rs:writeunknown");
    if (!field.base_catalog.empty()) out_.TextAttribute("rs:basecatalog", field.base_catalog);
    if (!field.base_schema.empty()) out_.TextAttribute("rs:baseschema", field.base_schema);
    if (!field.base_table.empty()) out_.TextAttribute("rs:basetable", field.base_table);
    if (!field.base_column.empty()) out_.TextAttribute("rs:basecolumn", field.base_column);
    if (attributes & adFldKeyColumn) out_.TrueAttribute("rs:keycolumn");
    if (field.hidden) out_.TrueAttribute("rs:hidden");
    if (field.autoincrement) out_.TrueAttribute("rs:autoincrement");
    out_.Append(">");
    out_.EndLine();

    const xml::TypeLayout& layout = xml::LayoutOf(field.type);
    out_.StartLine(3);
    out_.OpenTag("s:datatype", 3);
    out_.RawAttribute("dt:type", layout.dt_type);
    if (!layout.db_type.empty()) out_.RawAttribute("rs:dbtype", layout.db_type);
    if (layout.max_length >= 0) {
      out_.NumberAttribute("dt:maxLength", layout.max_length);
    } else if (field.defined_size < 0) {
      // A size of -1 (unlimited) is written as the unsigned 32-bit value.
      out_.NumberAttribute("dt:maxLength", 4294967295);
    } else if (field.defined_size > 0 || xml::DefaultDefinedSize(field.type) != 0) {
      // A size of 0 is written where leaving it out would read back as another.
      out_.NumberAttribute("dt:maxLength", field.defined_size);
    }
    if (layout.writes_scale) out_.NumberAttribute("rs:scale", field.numeric_scale);
    if (layout.writes_precision) out_.NumberAttribute("rs:precision", PrecisionOf(field, layout));
    if (layout.fixed || (attributes & adFldFixed)) out_.TrueAttribute("rs:fixedlength");
    if (layout.is_long || (attributes & adFldLong)) out_.TrueAttribute("rs:long");
    if (!(attributes & adFldMayBeNull)) out_.RawAttribute("rs:maybenull", "false");
    out_.Append("/>");
    out_.EndLine();
    out_.StartLine(2);
    out_.Append("</s:AttributeType>");
    out_.EndLine();
  }

  // A precision of 0 on a number type means the source did not report one (a query
  // layer, a fabricated field): the type's usual precision is written instead, as a
  // provider would report it. A timestamp's follows its scale (19, or 20 + scale), at
  // most what a field's precision holds, so that the file reads back the same.
  static int64_t PrecisionOf(const FieldDef& field, const xml::TypeLayout& layout) {
    if (field.precision != 0) return field.precision;
    if (field.type == adDBTimeStamp) {
      if (field.numeric_scale == 0) return 19;
      return std::min<int64_t>(20 + field.numeric_scale, std::numeric_limits<uint8_t>::max());
    }
    return layout.precision;
  }

  // Writes what EmitValue gives as the field's attribute.
  struct AttributeEmitter {
    XmlTextBuilder& out;
    std::string_view name;
    int hex_tabs;
    void Raw(std::string_view value) { out.RawAttribute(name, value); }
    void Text(std::string_view text) { out.TextAttribute(name, text); }
    void Bytes(std::span<const uint8_t> bytes) { out.HexAttribute(name, bytes, hex_tabs); }
  };

  template <typename Cell>
  void ValueAttribute(size_t field, const Cell& cell) {
    EmitValue(cell, kinds_[field], AttributeEmitter{out_, names_[field], ContinuationTabs(depth_)});
  }

  void WriteRow(size_t record, int depth) {
    depth_ = depth;
    out_.StartLine(depth);
    out_.OpenTag("z:row", ContinuationTabs(depth));
    for (size_t f = 0; f < fields_.size(); ++f) ValueAttribute(f, StoreCell{*records_, record, f});
    out_.Append("/>");
    out_.EndLine();
  }

  void WriteOriginalRow(size_t record, int depth) {
    depth_ = depth;
    const std::vector<Variant>& original = records_->Original(record);
    out_.StartLine(depth);
    out_.OpenTag("z:row", ContinuationTabs(depth));
    for (size_t f = 0; f < fields_.size() && f < original.size(); ++f) {
      ValueAttribute(f, VariantCell{original[f]});
    }
    out_.Append("/>");
    out_.EndLine();
  }

  // The original row in full, then a row with only the columns that changed; columns
  // changed to null are listed in rs:forcenull.
  void WriteUpdate(size_t record) {
    OpenBlock("rs:update", 1);
    OpenBlock("rs:original", 2);
    WriteOriginalRow(record, 3);
    CloseBlock("rs:original", 2);

    depth_ = 2;
    const std::vector<Variant>& original = records_->Original(record);
    out_.StartLine(2);
    out_.OpenTag("z:row", ContinuationTabs(2));
    std::string force_null;
    for (size_t f = 0; f < fields_.size(); ++f) {
      Variant current = records_->Get(record, f);
      if (f < original.size() && original[f] == current) continue;
      if (current.IsNull() || current.IsEmpty()) {
        if (!force_null.empty()) force_null += ' ';
        force_null += names_[f];
        continue;
      }
      ValueAttribute(f, StoreCell{*records_, record, f});
    }
    if (!force_null.empty()) out_.TextAttribute("rs:forcenull", force_null);
    out_.Append("/>");
    out_.EndLine();
    CloseBlock("rs:update", 1);
  }

  void WriteBlock(std::string_view name, const std::vector<size_t>& records) {
    if (records.empty()) return;
    OpenBlock(name, 1);
    for (size_t record : records) {
      // A deleted record is written as it was before any change.
      if (name == "rs:delete" && records_->HasOriginal(record)) {
        WriteOriginalRow(record, 2);
      } else {
        WriteRow(record, 2);
      }
    }
    CloseBlock(name, 1);
  }

  void OpenBlock(std::string_view name, int depth) {
    out_.StartLine(depth);
    out_.Append("<");
    out_.Append(name);
    out_.Append(">");
    out_.EndLine();
  }

  void CloseBlock(std::string_view name, int depth) {
    out_.StartLine(depth);
    out_.Append("</");
    out_.Append(name);
    out_.Append(">");
    out_.EndLine();
  }

  const std::vector<FieldDef>& fields_;
  const RecordStore* records_;
  const PersistProperties& properties_;
  XmlTextBuilder out_;
  std::vector<std::string> names_;
  std::vector<ValueKind> kinds_;
  int depth_ = 1;
};

// Every record of a store, in store order.
struct AllRecords {
  size_t count;
  struct Iterator {
    size_t i;
    size_t operator*() const { return i; }
    Iterator& operator++() {
      ++i;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return i != other.i; }
  };
  Iterator begin() const { return {0}; }
  Iterator end() const { return {count}; }
};

}  // namespace

struct RecordsetXmlStream::Impl {
  Impl(const std::vector<FieldDef>& field_defs, const PersistProperties& persist, OutputSink& out)
      : fields(field_defs), properties(persist), writer(fields, empty, properties, out) {}
  std::vector<FieldDef> fields;
  PersistProperties properties;
  RecordStore empty;
  RecordsetXmlWriter writer;
};

RecordsetXmlStream::RecordsetXmlStream(const std::vector<FieldDef>& fields,
                                       const PersistProperties& properties, OutputSink& out)
    : impl_(std::make_unique<Impl>(fields, properties, out)) {
  impl_->writer.Begin();
}

RecordsetXmlStream::~RecordsetXmlStream() = default;

void RecordsetXmlStream::WriteRows(const RecordStore& block) { impl_->writer.WriteRows(block); }

void RecordsetXmlStream::Finish() { impl_->writer.End(); }

FileSink::FileSink(const std::string& path)
    : file_(core::File::Open(path, O_WRONLY | O_CREAT | O_TRUNC, kSource)) {}

void FileSink::Write(std::string_view bytes) { file_.WriteAll(bytes); }

void WriteRecordsXml(const std::vector<FieldDef>& fields, const RecordStore& records,
                     const PersistProperties& properties, const std::vector<size_t>& order,
                     OutputSink& out) {
  RecordsetXmlWriter writer(fields, records, properties, out);
  writer.Write(order);
}

void WriteRecordsetDataXml(const RecordsetData& data, OutputSink& out) {
  RecordsetXmlWriter writer(data.fields, data.records, data.properties, out);
  writer.Write(AllRecords{data.records.RecordCount()});
}

std::string RecordsetDataXmlToString(const RecordsetData& data) {
  StringSink sink;
  WriteRecordsetDataXml(data, sink);
  return std::move(sink.text);
}

namespace {

// Collects the text an attribute holds once XML has read it.
struct FileTextEmitter {
  std::string& out;
  bool& held;
  void Raw(std::string_view value) {
    held = true;
    out.append(value);
  }
  void Text(std::string_view text) { Raw(text); }
  void Bytes(std::span<const uint8_t> bytes) {
    held = true;
    const size_t start = out.size();
    out.resize(start + 2 * bytes.size());
    xml::FormatHex(bytes, out.data() + start);
  }
};

}  // namespace

bool AppendFileText(const RecordStore& store, size_t record, size_t field, xml::ValueKind kind,
                    std::string& out) {
  bool held = false;
  EmitValue(StoreCell{store, record, field}, kind, FileTextEmitter{out, held});
  return held;
}

}  // namespace ado
