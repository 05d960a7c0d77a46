#include "xmlformat/XmlReader.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "core/Error.h"
#include "core/File.h"
#include "xmlformat/XmlFormat.h"
#include "xmlformat/XmlValueText.h"

namespace ado {
namespace {

using xml::ValueKind;

constexpr char kNameSeparator = '\x01';  // cannot occur in XML names or URIs
constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr const char* kSource = "ReadRecordsetXml";

[[noreturn]] void ThrowInvalid(const std::string& reason) {
  throw core::Error(core::kErrInvalidPersistedFile, kSource,
                    "not a readable recordset file: " + reason);
}

// A failure found inside a parser callback; it becomes the read's error.
class ReadFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Ns { kNone, kSchema, kDataType, kRowset, kRow, kOther };

struct SplitName {
  Ns ns;
  std::string_view local;
};

SplitName Split(const char* name) {
  std::string_view full(name);
  size_t sep = full.find(kNameSeparator);
  if (sep == std::string_view::npos) return {Ns::kNone, full};
  std::string_view uri = full.substr(0, sep);
  std::string_view local = full.substr(sep + 1);
  if (xml::SameNamespace(uri, xml::kNsSchema)) return {Ns::kSchema, local};
  if (xml::SameNamespace(uri, xml::kNsDataType)) return {Ns::kDataType, local};
  if (xml::SameNamespace(uri, xml::kNsRowset)) return {Ns::kRowset, local};
  if (xml::SameNamespace(uri, xml::kNsRow)) return {Ns::kRow, local};
  return {Ns::kOther, local};
}

bool SchemaFlag(std::string_view value) { return xml::ParseBool(value).value_or(false); }

// What the schema says about one field, before the fields are put in order.
struct FieldSchema {
  FieldDef def;
  std::string attribute_name;
  bool has_rs_name = false;  // rs:name, even empty, is the field's name
  std::string reference;     // s:attribute type='...': a global AttributeType
  std::string dt_type;
  std::string db_type;
  bool fixed = false;
  bool is_long = false;
  bool may_be_null = true;
  std::optional<int64_t> max_length;
  std::optional<int64_t> number;
};

// A field as the row reader needs it.
struct FieldInfo {
  ValueKind kind;
  VarType var_type;
  bool base64;
};

struct TransparentHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

class RecordsetXmlParser {
 public:
  explicit RecordsetXmlParser(const XmlReadLimits& limits, XmlRowHandler* handler = nullptr,
                              const RowFilter* keep = nullptr)
      : limits_(limits),
        handler_(handler),
        keep_(keep),
        parser_(XML_ParserCreateNS(nullptr, kNameSeparator)) {
    if (!parser_)
      throw core::Error(core::kErrInvalidPersistedFile, kSource, "cannot create an XML parser");
    XML_SetUserData(parser_.get(), this);
    XML_SetElementHandler(parser_.get(), &OnStartElement, &OnEndElement);
    XML_SetCharacterDataHandler(parser_.get(), &OnCharacterData);
    XML_SetCommentHandler(parser_.get(), &OnComment);
    XML_SetProcessingInstructionHandler(parser_.get(), &OnProcessingInstruction);
    XML_SetStartDoctypeDeclHandler(parser_.get(), &OnStartDoctype);
    XML_SetParamEntityParsing(parser_.get(), XML_PARAM_ENTITY_PARSING_NEVER);
  }

  RecordsetData Parse(XmlInputSource& source) {
    const std::optional<uint64_t> total_size = source.Size();
    for (;;) {
      size_t pending = fed_ - std::min(fed_, last_event_);
      // Read at least as much as the parser already holds, so a large token is re-scanned
      // a logarithmic number of times only.
      // A small file is read in one block of its size: the parser's buffer for a
      // settings file or a page of last data need not be a full block.
      size_t block = kBlockBytes;
      if (total_size) {
        const uint64_t left = *total_size - std::min<uint64_t>(*total_size, fed_);
        block = static_cast<size_t>(std::clamp<uint64_t>(left + 1, 4096, kBlockBytes));
      }
      size_t want = std::max(block, std::min(pending, limits_.max_token_bytes));
      void* buffer = XML_GetBuffer(parser_.get(), static_cast<int>(want));
      if (!buffer) ThrowInvalid("out of memory in the XML parser");
      size_t got = source.Read(static_cast<char*>(buffer), want);
      fed_ += got;
      const bool final = got == 0;
      if (XML_ParseBuffer(parser_.get(), static_cast<int>(got), final) != XML_STATUS_OK) {
        ThrowParseError();
      }
      if (final) break;
      if (fed_ - std::min(fed_, last_event_) > limits_.max_token_bytes) {
        ThrowInvalid(TooLarge() + Position());
      }
      if (total_size && !reserved_ && !handler_ && !keep_ && row_number_ >= 1024) {
        ReserveRecords(*total_size);
      }
    }
    if (!saw_schema_) ThrowInvalid("no s:Schema element (not a persisted recordset)");
    if (!saw_data_) ThrowInvalid("no rs:data element (not a persisted recordset)");
    RecordsetData data;
    data.fields = std::move(fields_);
    data.records = std::move(records_);
    data.properties = properties_;
    return data;
  }

 private:
  enum class Context {
    kDocument,
    kRoot,
    kSchema,
    kElementType,
    kAttributeType,
    kData,
    kInsert,
    kUpdate,
    kOriginal,
    kDelete,
  };

  static PersistProperties NotUpdatable() {
    PersistProperties properties;
    properties.updatable = false;
    return properties;
  }

  struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
  };

  // Callbacks: no exception may cross expat's C frames.
  template <typename Fn>
  static void Guard(void* data, Fn&& fn) {
    auto* self = static_cast<RecordsetXmlParser*>(data);
    if (self->failed_) return;
    self->last_event_ = static_cast<size_t>(XML_GetCurrentByteIndex(self->parser_.get()));
    // A token that completed within one large read still counts against the limit.
    if (static_cast<size_t>(XML_GetCurrentByteCount(self->parser_.get())) >
        self->limits_.max_token_bytes) {
      return self->Fail(self->TooLarge());
    }
    try {
      fn(*self);
    } catch (const std::exception& error) {
      self->Fail(error.what());
    }
  }

  static void XMLCALL OnStartElement(void* data, const XML_Char* name, const XML_Char** atts) {
    Guard(data, [&](RecordsetXmlParser& self) { self.StartElement(name, atts); });
  }
  static void XMLCALL OnEndElement(void* data, const XML_Char* name) {
    Guard(data, [&](RecordsetXmlParser& self) { self.EndElement(name); });
  }
  static void XMLCALL OnCharacterData(void* data, const XML_Char*, int) {
    Guard(data, [](RecordsetXmlParser&) {});
  }
  static void XMLCALL OnComment(void* data, const XML_Char*) {
    Guard(data, [](RecordsetXmlParser&) {});
  }
  static void XMLCALL OnProcessingInstruction(void* data, const XML_Char*, const XML_Char*) {
    Guard(data, [](RecordsetXmlParser&) {});
  }
  static void XMLCALL OnStartDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                                     int) {
    Guard(data, [](RecordsetXmlParser& self) {
      self.Fail("a DOCTYPE is not allowed in a recordset file");
    });
  }

  std::string TooLarge() const {
    return "an element, attribute value or comment larger than " +
           std::to_string(limits_.max_token_bytes >> 20) + " MiB";
  }

  void Fail(const std::string& reason) {
    if (failed_) return;
    failed_ = true;
    failure_ = reason + Position();
    XML_StopParser(parser_.get(), XML_FALSE);
  }

  std::string Position() const {
    return " (line " + std::to_string(XML_GetCurrentLineNumber(parser_.get())) + ", column " +
           std::to_string(XML_GetCurrentColumnNumber(parser_.get()) + 1) + ")";
  }

  [[noreturn]] void ThrowParseError() const {
    if (failed_) ThrowInvalid(failure_);
    XML_Error code = XML_GetErrorCode(parser_.get());
    std::string reason = code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_UNCLOSED_TOKEN ||
                                 code == XML_ERROR_PARTIAL_CHAR
                             ? "the file ends early (truncated?): "
                             : "not well-formed XML: ";
    ThrowInvalid(reason + XML_ErrorString(code) + Position());
  }

  void StartElement(const char* name, const char** atts) {
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return;
    }
    Context context = contexts_.back();
    if (IsRowContext(context) && row_element_ == name) {
      ReadRow(context, atts);
      skip_depth_ = 1;  // child elements (chapters) are not read
      return;
    }
    SplitName element = Split(name);
    auto is = [&](Ns ns, std::string_view local) {
      return element.ns == ns && element.local == local;
    };
    switch (context) {
      case Context::kDocument:
        if (is(Ns::kSchema, "Schema")) return EnterSchema();
        contexts_.push_back(Context::kRoot);
        return;
      case Context::kRoot:
        if (is(Ns::kSchema, "Schema") && !saw_schema_) return EnterSchema();
        if (is(Ns::kRowset, "data")) return EnterData();
        break;
      case Context::kSchema:
        if (is(Ns::kSchema, "ElementType") && !saw_element_type_) {
          saw_element_type_ = true;
          ReadElementType(atts);
          contexts_.push_back(Context::kElementType);
          return;
        }
        if (is(Ns::kSchema, "AttributeType")) {
          globals_.emplace_back();
          ReadAttributeType(globals_.back(), atts);
          current_ = &globals_.back();
          contexts_.push_back(Context::kAttributeType);
          return;
        }
        break;
      case Context::kElementType:
        if (is(Ns::kSchema, "AttributeType")) {
          schemas_.emplace_back();
          ReadAttributeType(schemas_.back(), atts);
          current_ = &schemas_.back();
          contexts_.push_back(Context::kAttributeType);
          return;
        }
        if (is(Ns::kSchema, "attribute")) {
          FieldSchema reference;
          for (const char** a = atts; *a; a += 2) {
            if (Split(a[0]).local == "type") reference.reference = a[1];
          }
          schemas_.push_back(std::move(reference));
        }
        break;
      case Context::kAttributeType:
        if (is(Ns::kSchema, "datatype")) {
          for (const char** a = atts; *a; a += 2) ReadSchemaAttribute(*current_, a[0], a[1]);
        }
        break;
      case Context::kData:
        if (is(Ns::kRowset, "insert")) return contexts_.push_back(Context::kInsert);
        if (is(Ns::kRowset, "delete")) return contexts_.push_back(Context::kDelete);
        if (is(Ns::kRowset, "update")) {
          update_records_.clear();
          update_next_ = 0;
          return contexts_.push_back(Context::kUpdate);
        }
        break;
      case Context::kUpdate:
        if (is(Ns::kRowset, "original")) return contexts_.push_back(Context::kOriginal);
        break;
      default:
        break;
    }
    skip_depth_ = 1;  // an element this reader does not use, with all it holds
  }

  void EndElement(const char*) {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return;
    }
    Context context = contexts_.back();
    contexts_.pop_back();
    if (context == Context::kAttributeType) current_ = nullptr;
    if (context == Context::kSchema) saw_schema_ = true;
  }

  static bool IsRowContext(Context context) {
    return context == Context::kData || context == Context::kInsert ||
           context == Context::kDelete || context == Context::kOriginal ||
           context == Context::kUpdate;
  }

  void EnterSchema() {
    saw_schema_ = true;
    contexts_.push_back(Context::kSchema);
  }

  void ReadElementType(const char** atts) {
    properties_.updatable = false;
    for (const char** a = atts; *a; a += 2) {
      SplitName attribute = Split(a[0]);
      std::string_view value = a[1];
      if (attribute.ns == Ns::kNone && attribute.local == "name") {
        row_name_ = value;
      } else if (attribute.ns == Ns::kRowset) {
        if (attribute.local == "updatable") {
          properties_.updatable = SchemaFlag(value);
        } else if (attribute.local == "CommandTimeout") {
          if (auto timeout = xml::ParseInteger(value)) {
            properties_.command_timeout = static_cast<int32_t>(
                std::clamp<int64_t>(*timeout, std::numeric_limits<int32_t>::min(),
                                    std::numeric_limits<int32_t>::max()));
          }
        } else if (attribute.local == "ReshapeName") {
          properties_.reshape_name = value;
        }
      }
    }
  }

  void ReadAttributeType(FieldSchema& schema, const char** atts) {
    for (const char** a = atts; *a; a += 2) ReadSchemaAttribute(schema, a[0], a[1]);
  }

  // Attributes of s:AttributeType and s:datatype; either may carry the type.
  static void ReadSchemaAttribute(FieldSchema& schema, const char* name, std::string_view value) {
    SplitName attribute = Split(name);
    FieldDef& def = schema.def;
    auto flag = [&](int32_t bit) {
      if (SchemaFlag(value)) def.attributes |= bit;
    };
    auto small_number = [&]() -> uint8_t {
      return static_cast<uint8_t>(
          std::clamp<int64_t>(xml::ParseInteger(value).value_or(0), 0, 255));
    };
    if (attribute.ns == Ns::kNone) {
      if (attribute.local == "name") schema.attribute_name = value;
      return;
    }
    if (attribute.ns == Ns::kDataType) {
      if (attribute.local == "type") schema.dt_type = value;
      if (attribute.local == "maxLength") schema.max_length = xml::ParseInteger(value);
      return;
    }
    if (attribute.ns != Ns::kRowset) return;
    std::string_view local = attribute.local;
    if (local == "name") {
      def.name = value;
      schema.has_rs_name = true;
    } else if (local == "number")
      schema.number = xml::ParseInteger(value);
    else if (local == "nullable")
      flag(adFldIsNullable);
    else if (local == "maydefer")
      flag(adFldMayDefer);
    else if (local == "write")
      flag(adFldUpdatable);
    else if (local == "writeunknown")
      flag(adFldUnknownUpdatable);
    else if (local == "rowid")
      flag(adFldRowID);
    else if (local == "keycolumn")
      flag(adFldKeyColumn);
    else if (local == "hidden")
      def.hidden = SchemaFlag(value);
    else if (local == "autoincrement")
      def.autoincrement = SchemaFlag(value);
    else if (local == "basecatalog")
      def.base_catalog = value;
    else if (local == "baseschema")
      def.base_schema = value;
    else if (local == "basetable")
      def.base_table = value;
    else if (local == "basecolumn")
      def.base_column = value;
    else if (local == "dbtype")
      schema.db_type = value;
    else if (local == "precision")
      def.precision = small_number();
    else if (local == "scale")
      def.numeric_scale = small_number();
    else if (local == "fixedlength")
      schema.fixed = SchemaFlag(value);
    else if (local == "long")
      schema.is_long = SchemaFlag(value);
    else if (local == "maybenull")
      schema.may_be_null = SchemaFlag(value);
  }

  void EnterData() {
    if (!saw_schema_) throw ReadFailure("rs:data comes before any s:Schema");
    if (!saw_data_) BuildFields();
    saw_data_ = true;
    contexts_.push_back(Context::kData);
    data_start_ = last_event_;
  }

  // Puts the declared fields in rs:number order and prepares the record store.
  void BuildFields() {
    if (!saw_element_type_) throw ReadFailure("s:Schema has no s:ElementType for the rows");
    for (FieldSchema& schema : schemas_) {
      if (schema.reference.empty()) continue;
      auto global = std::find_if(globals_.begin(), globals_.end(), [&](const FieldSchema& g) {
        return g.attribute_name == schema.reference;
      });
      if (global == globals_.end()) {
        throw ReadFailure("s:attribute refers to an undeclared AttributeType '" + schema.reference +
                          "'");
      }
      schema = *global;
    }
    if (std::all_of(schemas_.begin(), schemas_.end(),
                    [](const FieldSchema& s) { return s.number.has_value(); })) {
      std::stable_sort(
          schemas_.begin(), schemas_.end(),
          [](const FieldSchema& a, const FieldSchema& b) { return *a.number < *b.number; });
    }
    fields_.reserve(schemas_.size());
    for (FieldSchema& schema : schemas_) {
      FieldDef def = std::move(schema.def);
      if (!schema.has_rs_name) def.name = schema.attribute_name;
      def.type =
          xml::AdoTypeFromSchema(schema.dt_type, schema.db_type, schema.fixed, schema.is_long);
      def.defined_size = schema.max_length.value_or(xml::DefaultDefinedSize(def.type));
      if (schema.fixed) def.attributes |= adFldFixed;
      if (schema.is_long) def.attributes |= adFldLong;
      if (schema.may_be_null) def.attributes |= adFldMayBeNull;
      const xml::TypeLayout& layout = xml::LayoutOf(def.type);
      infos_.push_back({layout.kind, layout.var_type, schema.dt_type == "bin.base64"});
      names_.emplace(schema.attribute_name, fields_.size());
      attribute_names_.push_back(schema.attribute_name);
      fields_.push_back(std::move(def));
    }
    records_ = RecordStore(fields_.size());
    seen_.assign(fields_.size(), 0);
    if (handler_) handler_->Fields(fields_);
    row_element_ = std::string(xml::kNsRow) + kNameSeparator + row_name_;
  }

  size_t FieldIndex(const char* name, size_t& hint) const {
    // Rows list their attributes in field order; try the next field before hashing.
    if (hint < attribute_names_.size() && attribute_names_[hint] == name) return hint++;
    auto found = names_.find(std::string_view(name));
    if (found == names_.end()) return SIZE_MAX;
    hint = found->second + 1;
    return found->second;
  }

  void ReadRow(Context context, const char** atts) {
    ++row_number_;
    if (handler_) return HandRow(context, atts);
    if (keep_ && !(*keep_)(fields_, RowValues(context, atts))) return;
    if (context == Context::kUpdate) return ApplyChange(atts);
    int32_t status = context == Context::kInsert     ? adRecNew
                     : context == Context::kDelete   ? adRecDeleted
                     : context == Context::kOriginal ? adRecModified
                                                     : adRecUnmodified;
    size_t record = records_.AppendRecord(status);
    ++row_mark_;
    size_t hint = 0;
    for (const char** a = atts; *a; a += 2) {
      size_t field = FieldIndex(a[0], hint);
      if (field == SIZE_MAX) continue;  // not declared: ignored
      StoreValue(record, field, a[1]);
      seen_[field] = row_mark_;
    }
    for (size_t field = 0; field < seen_.size(); ++field) {
      if (seen_[field] != row_mark_) records_.SetNull(record, field);
    }
    if (context == Context::kOriginal) {
      records_.KeepOriginal(record);
      update_records_.push_back(record);
    }
  }

  void HandRow(Context context, const char** atts) { handler_->Row(RowValues(context, atts)); }

  // The row's attribute text per field, for a handler or a filter: only plain rows.
  std::span<const char* const> RowValues(Context context, const char** atts) {
    if (context != Context::kData) {
      throw ReadFailure("row " + std::to_string(row_number_) + " holds a pending change");
    }
    row_values_.assign(fields_.size(), nullptr);
    size_t hint = 0;
    for (const char** a = atts; *a; a += 2) {
      const size_t field = FieldIndex(a[0], hint);
      if (field != SIZE_MAX) row_values_[field] = a[1];
    }
    return row_values_;
  }

  // The changed row of an rs:update: it belongs to the next original of the block and
  // carries only the columns that changed, plus rs:forcenull for those set to null.
  void ApplyChange(const char** atts) {
    if (update_next_ >= update_records_.size()) return;  // no original to apply it to
    size_t record = update_records_[update_next_++];
    size_t hint = 0;
    for (const char** a = atts; *a; a += 2) {
      size_t field = FieldIndex(a[0], hint);
      if (field != SIZE_MAX) {
        StoreValue(record, field, a[1]);
        continue;
      }
      SplitName attribute = Split(a[0]);
      if (attribute.ns != Ns::kRowset || attribute.local != "forcenull") continue;
      std::string_view list = a[1];
      while (!list.empty()) {
        size_t start = list.find_first_not_of(" \t\r\n");
        if (start == std::string_view::npos) break;
        list.remove_prefix(start);
        size_t end = std::min(list.find_first_of(" \t\r\n"), list.size());
        auto named = names_.find(list.substr(0, end));
        if (named != names_.end()) records_.SetNull(record, named->second);
        list.remove_prefix(end);
      }
    }
  }

  [[noreturn]] void BadValue(size_t field, std::string_view value) const {
    std::string shown(value.substr(0, 40));
    if (value.size() > 40) shown += "...";
    std::string type(xml::LayoutOf(fields_[field].type).dt_type);
    throw ReadFailure("value '" + shown + "' of field '" + fields_[field].name + "' in row " +
                      std::to_string(row_number_) + " is not a valid " + type);
  }

  void StoreValue(size_t record, size_t field, const char* value) {
    const FieldInfo& info = infos_[field];
    std::string_view text(value);
    switch (info.kind) {
      case ValueKind::kText:
        records_.SetText(record, field, text);
        return;
      case ValueKind::kGuid: {
        auto guid = xml::NormalizeGuid(text);
        records_.SetText(record, field, guid ? std::string_view(*guid) : text);
        return;
      }
      case ValueKind::kInteger: {
        auto number = xml::ParseInteger(text);
        if (!number || !FitsInteger(*number, info.var_type)) BadValue(field, text);
        records_.SetInteger(record, field, info.var_type, *number);
        return;
      }
      case ValueKind::kUnsigned: {
        auto number = xml::ParseUnsigned(text);
        if (!number) BadValue(field, text);
        records_.SetUnsigned(record, field, *number);
        return;
      }
      case ValueKind::kSingle: {
        auto number = xml::ParseSingle(text);
        if (!number) BadValue(field, text);
        records_.SetDouble(record, field, VarType::kR4, static_cast<double>(*number));
        return;
      }
      case ValueKind::kDouble: {
        auto number = xml::ParseDouble(text);
        if (!number) BadValue(field, text);
        records_.SetDouble(record, field, VarType::kR8, *number);
        return;
      }
      case ValueKind::kBool: {
        auto flag = xml::ParseBool(text);
        if (!flag) BadValue(field, text);
        records_.SetBool(record, field, *flag);
        return;
      }
      case ValueKind::kCurrency: {
        auto amount = xml::ParseCurrency(text);
        if (!amount) BadValue(field, text);
        records_.SetCurrency(record, field, *amount);
        return;
      }
      case ValueKind::kDecimal: {
        auto number = xml::ParseDecimal(text);
        if (!number) BadValue(field, text);
        records_.SetDecimal(record, field, *number);
        return;
      }
      case ValueKind::kDateTime:
      case ValueKind::kDate:
      case ValueKind::kTime: {
        auto parts = xml::ParseDateParts(text, info.kind);
        if (!parts) BadValue(field, text);
        Date date;
        try {
          date = Date::FromParts(*parts);
        } catch (const core::Error&) {
          BadValue(field, text);
        }
        records_.SetDate(record, field, date);
        return;
      }
      case ValueKind::kBinary: {
        bool ok = info.base64 ? xml::ParseBase64(text, bytes_) : xml::ParseHex(text, bytes_);
        if (!ok) BadValue(field, text);
        records_.SetBytes(record, field, bytes_);
        return;
      }
    }
  }

  static bool FitsInteger(int64_t value, VarType type) {
    const std::optional<WholeRange> range = WholeRangeOf(type);
    return !range || (value >= range->min && value <= range->max);
  }

  // Sizes the record store from the rows read so far and the file's size, so that it
  // does not grow by doubling (which briefly holds two copies of the cells).
  void ReserveRecords(uint64_t total_size) {
    reserved_ = true;
    size_t consumed = last_event_ > data_start_ ? last_event_ - data_start_ : 0;
    if (consumed == 0 || total_size <= data_start_) return;
    double per_byte = static_cast<double>(records_.RecordCount()) / static_cast<double>(consumed);
    double expected = per_byte * static_cast<double>(total_size - data_start_) * 1.02 + 16;
    records_.Reserve(static_cast<size_t>(expected));
  }

  XmlReadLimits limits_;
  XmlRowHandler* handler_ = nullptr;
  const RowFilter* keep_ = nullptr;  // rows it refuses are passed over
  std::vector<const char*> row_values_;
  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser_;
  size_t fed_ = 0;
  size_t last_event_ = 0;
  bool failed_ = false;
  std::string failure_;

  std::vector<Context> contexts_{Context::kDocument};
  int skip_depth_ = 0;
  bool saw_schema_ = false;
  bool saw_element_type_ = false;
  bool saw_data_ = false;
  std::string row_name_ = "row";
  std::string row_element_;
  std::vector<FieldSchema> schemas_;
  std::vector<FieldSchema> globals_;
  FieldSchema* current_ = nullptr;

  std::vector<FieldDef> fields_;
  std::vector<FieldInfo> infos_;
  std::vector<std::string> attribute_names_;
  std::unordered_map<std::string, size_t, TransparentHash, std::equal_to<>> names_;
  RecordStore records_;
  PersistProperties properties_ = NotUpdatable();

  std::vector<uint32_t> seen_;
  uint32_t row_mark_ = 0;
  size_t row_number_ = 0;
  std::vector<size_t> update_records_;
  size_t update_next_ = 0;
  std::vector<uint8_t> bytes_;
  size_t data_start_ = 0;
  bool reserved_ = false;
};

class StringSource : public XmlInputSource {
 public:
  explicit StringSource(std::string_view text) : text_(text) {}
  size_t Read(char* buffer, size_t size) override {
    size_t count = std::min(size, text_.size());
    std::memcpy(buffer, text_.data(), count);
    text_.remove_prefix(count);
    return count;
  }
  std::optional<uint64_t> Size() const override { return text_.size(); }

 private:
  std::string_view text_;
};

class FileSource : public XmlInputSource {
 public:
  explicit FileSource(const std::string& path)
      : path_(path), file_(core::File::TryOpen(path, O_RDONLY, kSource)) {
    if (!file_.IsOpen()) {
      int error = errno;
      if (error == ENOENT || error == ENOTDIR) {
        throw core::Error(core::kErrFileNotFound, kSource, "file not found: " + path);
      }
      throw core::Error(
          error == EACCES ? core::kErrPermissionDenied : core::kErrInvalidPersistedFile, kSource,
          "cannot open " + path + ": " + std::strerror(error));
    }
    struct stat info {};
    if (::fstat(file_.Descriptor(), &info) == 0 && S_ISREG(info.st_mode)) {
      size_ = static_cast<uint64_t>(info.st_size);
    }
  }

  size_t Read(char* buffer, size_t size) override {
    const ssize_t got = file_.TryRead(buffer, size);
    if (got < 0) {
      throw core::Error(core::kErrInvalidPersistedFile, kSource,
                        "cannot read " + path_ + ": " + std::strerror(errno));
    }
    return static_cast<size_t>(got);
  }
  std::optional<uint64_t> Size() const override { return size_; }

 private:
  std::string path_;
  core::File file_;
  std::optional<uint64_t> size_;
};

}  // namespace

RecordsetData ReadRecordsetXml(XmlInputSource& source, const XmlReadLimits& limits) {
  RecordsetXmlParser parser(limits);
  return parser.Parse(source);
}

RecordsetData ReadRecordsetXml(std::string_view text) {
  StringSource source(text);
  return ReadRecordsetXml(source);
}

RecordsetData ReadRecordsetXmlFile(const std::string& path) {
  FileSource source(path);
  return ReadRecordsetXml(source);
}

RecordsetData ReadRecordsetXmlFile(const std::string& path, const RowFilter& keep) {
  FileSource source(path);
  RecordsetXmlParser parser({}, nullptr, &keep);
  return parser.Parse(source);
}

namespace {

// The text of attribute `name` (in any letter case) in one row element, read attribute by
// attribute; nothing when the row lacks it, is not plain markup, or the text has a
// reference the scan does not resolve or white space the parser would turn into spaces.
std::optional<std::string> AttributeText(std::string_view row, std::string_view name) {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  size_t at = row.find_first_of(" \t\n\r");  // past "<z:row"
  while (at != std::string_view::npos) {
    while (at < row.size() && is_space(row[at])) ++at;
    if (at >= row.size() || row[at] == '/' || row[at] == '>') return std::nullopt;
    const size_t name_end = row.find_first_of("= \t\n\r", at);
    if (name_end == std::string_view::npos) return std::nullopt;
    const std::string_view attribute = row.substr(at, name_end - at);
    size_t equals = name_end;
    while (equals < row.size() && is_space(row[equals])) ++equals;
    if (equals >= row.size() || row[equals] != '=') return std::nullopt;
    size_t open = equals + 1;
    while (open < row.size() && is_space(row[open])) ++open;
    if (open >= row.size() || (row[open] != '\'' && row[open] != '"')) return std::nullopt;
    const size_t close = row.find(row[open], open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    at = close + 1;
    const bool same =
        attribute.size() == name.size() &&
        std::equal(attribute.begin(), attribute.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        });
    if (!same) continue;
    std::string_view raw = row.substr(open + 1, close - open - 1);
    if (raw.find_first_of("\t\n\r<") != std::string_view::npos) return std::nullopt;
    std::string text;
    while (!raw.empty()) {
      const size_t amp = raw.find('&');
      text.append(raw.substr(0, amp));
      if (amp == std::string_view::npos) break;
      raw.remove_prefix(amp);
      static constexpr std::pair<std::string_view, char> kEntities[] = {
          {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}};
      bool known = false;
      for (const auto& [entity, character] : kEntities) {
        if (raw.starts_with(entity)) {
          text += character;
          raw.remove_prefix(entity.size());
          known = true;
          break;
        }
      }
      if (!known) return std::nullopt;  // a character reference: left to the parser
    }
    return text;
  }
  return std::nullopt;
}

}  // namespace

std::optional<RecordsetData> ReadRecordsetXmlFileRowsWith(
    const std::string& path, std::string_view attribute,
    const std::function<bool(std::string_view text)>& wanted, const RowFilter& keep) {
  FileSource file(path);
  // The bytes not scanned yet, from `at` on; read a block at a time.
  std::string buffer;
  size_t at = 0;
  bool ended = false;
  const auto more = [&] {
    if (ended) return false;
    const size_t had = buffer.size();
    buffer.resize(had + kBlockBytes);
    const size_t got = file.Read(buffer.data() + had, kBlockBytes);
    buffer.resize(had + got);
    ended = got == 0;
    return got > 0;
  };
  constexpr std::string_view kData = "<rs:data>";
  size_t data = std::string::npos;
  while ((data = buffer.find(kData)) == std::string::npos) {
    if (!more()) return std::nullopt;
  }
  std::string document = buffer.substr(0, data + kData.size());
  at = data + kData.size();
  for (;;) {
    if (at > kBlockBytes) {  // what was scanned goes
      buffer.erase(0, at);
      at = 0;
    }
    size_t open = buffer.find('<', at);
    while (open == std::string::npos || buffer.size() - open < 10) {
      if (!more()) return std::nullopt;
      open = buffer.find('<', at);
    }
    if (std::string_view(buffer).substr(open).starts_with("</rs:data>")) break;
    const std::string_view element = std::string_view(buffer).substr(open, 7);
    if (!element.starts_with("<z:row") ||
        std::isspace(static_cast<unsigned char>(element[6])) == 0) {
      return std::nullopt;  // other markup than plain rows
    }
    size_t close = buffer.find("/>", open);
    while (close == std::string::npos) {
      if (!more()) return std::nullopt;
      close = buffer.find("/>", open);
    }
    const std::string_view row(buffer.data() + open, close + 2 - open);
    const std::optional<std::string> text = AttributeText(row, attribute);
    if (!text || wanted(*text)) {
      document += row;
      document += '\n';
    }
    at = close + 2;
  }
  // The end of rs:data and of the document, as the file has them.
  document.append(buffer, buffer.find('<', at), std::string::npos);
  std::string block(kBlockBytes, '\0');
  while (!ended) {
    const size_t got = file.Read(block.data(), block.size());
    document.append(block, 0, got);
    ended = got == 0;
  }
  try {
    StringSource source(document);
    RecordsetXmlParser parser({}, nullptr, &keep);
    return parser.Parse(source);
  } catch (const core::Error&) {
    return std::nullopt;  // the file is read whole, and its own fault told from there
  }
}

void ReadRecordsetXmlFileRows(const std::string& path, XmlRowHandler& handler) {
  FileSource source(path);
  RecordsetXmlParser parser({}, &handler);
  parser.Parse(source);
}

void ReadRecordsetXmlRows(std::string_view text, XmlRowHandler& handler) {
  StringSource source(text);
  RecordsetXmlParser parser({}, &handler);
  parser.Parse(source);
}

}  // namespace ado
