#include "values/Filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "core/Text.h"
#include "values/FieldValue.h"
#include "values/RecordsetErrors.h"

namespace ado {

namespace {

constexpr size_t kNoRecord = std::numeric_limits<size_t>::max();

[[noreturn]] void ThrowCriteria(std::string_view criteria, const std::string& problem) {
  ThrowAdoError(core::kErrInvalidArgument, kRecordsetSource,
                "filter '" + std::string(criteria) + "': " + problem);
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Compares text with an already folded text, ignoring case; ASCII needs no ICU call.
int CompareFolded(std::string_view text, std::string_view folded) {
  if (IsAscii(text)) {
    const size_t n = std::min(text.size(), folded.size());
    for (size_t i = 0; i < n; ++i) {
      const auto a = static_cast<unsigned char>(LowerAscii(text[i]));
      const auto b = static_cast<unsigned char>(folded[i]);
      if (a != b) return a < b ? -1 : 1;
    }
    if (text.size() == folded.size()) return 0;
    return text.size() < folded.size() ? -1 : 1;
  }
  const int c = core::FoldCase(text).compare(folded);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Wildcard match of folded texts: * and % stand for any run of characters.
bool LikeMatch(std::string_view text, std::string_view pattern) {
  size_t t = 0, p = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '*' || pattern[p] == '%')) {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && (pattern[p] == '*' || pattern[p] == '%')) ++p;
  return p == pattern.size();
}

bool Apply(FilterCriteria::Op op, int cmp) {
  switch (op) {
    case FilterCriteria::Op::kEqual:
      return cmp == 0;
    case FilterCriteria::Op::kNotEqual:
      return cmp != 0;
    case FilterCriteria::Op::kLess:
      return cmp < 0;
    case FilterCriteria::Op::kGreater:
      return cmp > 0;
    case FilterCriteria::Op::kLessEqual:
      return cmp <= 0;
    case FilterCriteria::Op::kGreaterEqual:
      return cmp >= 0;
    default:
      return false;
  }
}

// m/d/yyyy [hh:mm[:ss]], the form ADO reads between #.
std::optional<Date> ParseUsDate(std::string_view text) {
  int part[6] = {0, 0, 0, 0, 0, 0};
  size_t i = 0;
  int index = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  for (; index < 6; ++index) {
    size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == start || i - start > 4) return std::nullopt;
    int value = 0;
    for (size_t k = start; k < i; ++k) value = value * 10 + (text[k] - '0');
    part[index] = value;
    if (i >= text.size()) break;
    const char sep = text[i];
    const char expected = index < 2 ? '/' : (index == 2 ? ' ' : ':');
    if (sep != expected) return std::nullopt;
    ++i;
    if (index == 2) {
      while (i < text.size() && text[i] == ' ') ++i;
    }
  }
  if (index < 2 || index == 3) return std::nullopt;
  Date::Parts parts;
  parts.month = part[0];
  parts.day = part[1];
  parts.year = part[2] < 100 ? (part[2] < 30 ? 2000 + part[2] : 1900 + part[2]) : part[2];
  parts.hour = part[3];
  parts.minute = part[4];
  parts.second = part[5];
  if (parts.month < 1 || parts.month > 12 || parts.day < 1 || parts.day > 31 || parts.hour > 23 ||
      parts.minute > 59 || parts.second > 59) {
    return std::nullopt;
  }
  try {
    return Date::FromParts(parts);
  } catch (const core::Error&) {
    return std::nullopt;
  }
}

std::optional<Date> ParseFilterDate(std::string_view text) {
  if (auto d = ParseVbDate(text)) return d;
  return ParseUsDate(text);
}

std::optional<Variant> ParseNumber(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '$') digits.remove_prefix(1);
  if (auto d = Decimal::Parse(digits)) return Variant(*d);
  if (auto n = ParseVbNumber(digits)) return Variant(*n);
  return std::nullopt;
}

// A field value of text turned into the comparison family of a number, date or
// Boolean field; nothing when it does not read as one.
std::optional<Variant> TextAs(std::string_view text, FilterCriteria::Family family) {
  switch (family) {
    case FilterCriteria::Family::kNumber:
      return ParseNumber(text);
    case FilterCriteria::Family::kDate:
      if (auto d = ParseFilterDate(text)) return Variant(*d);
      return std::nullopt;
    case FilterCriteria::Family::kBool:
      try {
        return Variant(Variant(std::string(text)).ToBool());
      } catch (const core::Error&) {
        return std::nullopt;
      }
    default:
      return Variant(std::string(text));
  }
}

std::string TextKey(std::string_view text) {
  std::string key("s");
  key += core::FoldCase(text);
  return key;
}

std::optional<double> NumericKey(const Variant& v) {
  double d = 0;
  switch (v.Type()) {
    case VarType::kI1:
    case VarType::kUI1:
    case VarType::kI2:
    case VarType::kUI2:
    case VarType::kI4:
    case VarType::kUI4:
    case VarType::kI8:
      d = static_cast<double>(v.AsInt64());
      break;
    case VarType::kUI8:
      d = static_cast<double>(v.AsUInt64());
      break;
    case VarType::kR4:
    case VarType::kR8:
      d = v.AsDouble();
      break;
    case VarType::kDecimal:
      d = v.AsDecimal().ToDouble();
      break;
    case VarType::kCurrency:
      d = v.AsCurrency().ToDecimal().ToDouble();
      break;
    case VarType::kDate:
      d = v.AsDate().days;
      break;
    case VarType::kBool:
      d = v.AsBool() ? -1.0 : 0.0;
      break;
    default:
      return std::nullopt;
  }
  if (std::isnan(d)) return std::nullopt;
  return d == 0 ? 0.0 : d;  // -0 and 0 are one key
}

}  // namespace

FilterCriteria::Family FilterFamilyOf(int32_t field_type) {
  if (IsTextType(field_type) || field_type == adGUID) return FilterCriteria::Family::kText;
  if (IsNumericType(field_type)) return FilterCriteria::Family::kNumber;
  if (IsDateType(field_type)) return FilterCriteria::Family::kDate;
  if (field_type == adBoolean) return FilterCriteria::Family::kBool;
  return FilterCriteria::Family::kAny;
}

std::optional<std::string> FilterKey(const Variant& value, FilterCriteria::Family family) {
  if (value.IsNull() || value.IsEmpty() || family == FilterCriteria::Family::kAny) {
    return std::nullopt;
  }
  if (family == FilterCriteria::Family::kText) {
    if (value.IsString()) return TextKey(value.AsString());
    try {
      return TextKey(value.ToText());
    } catch (const core::Error&) {
      return std::nullopt;
    }
  }
  std::optional<double> d;
  if (value.IsString()) {
    auto converted = TextAs(value.AsString(), family);
    if (!converted) return std::nullopt;
    d = NumericKey(*converted);
  } else {
    d = NumericKey(value);
  }
  if (!d) return std::nullopt;
  std::string key(1 + sizeof(double), 'n');
  std::memcpy(key.data() + 1, &*d, sizeof(double));
  return key;
}

// Recursive-descent parser over the criteria text.
class FilterParser {
 public:
  FilterParser(std::string_view text, const std::vector<FieldDef>& fields)
      : text_(text), fields_(fields) {}

  FilterCriteria Parse() {
    FilterCriteria criteria;
    SkipBlanks();
    if (pos_ == text_.size()) return criteria;
    out_ = &criteria;
    criteria.root_ = ParseOr();
    SkipBlanks();
    if (pos_ != text_.size()) Fail("unexpected '" + std::string(Rest()) + "'");
    return criteria;
  }

 private:
  using Op = FilterCriteria::Op;
  using Family = FilterCriteria::Family;
  using Node = FilterCriteria::Node;

  enum class TokenKind { kEnd, kWord, kName, kText, kDate, kOperator, kOpen, kClose };
  struct Token {
    TokenKind kind = TokenKind::kEnd;
    std::string text;
  };

  [[noreturn]] void Fail(const std::string& problem) const { ThrowCriteria(text_, problem); }

  std::string_view Rest() const { return text_.substr(std::min(pos_, text_.size()), 20); }

  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\n')) {
      ++pos_;
    }
  }

  static bool IsWordChar(char c) {
    return !(c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '(' || c == ')' || c == '=' ||
             c == '<' || c == '>' || c == '\'' || c == '"' || c == '#' || c == '[' || c == ']');
  }

  Token Next() {
    SkipBlanks();
    Token t;
    if (pos_ >= text_.size()) return t;
    const char c = text_[pos_];
    if (c == '(' || c == ')') {
      t.kind = c == '(' ? TokenKind::kOpen : TokenKind::kClose;
      ++pos_;
      return t;
    }
    if (c == '=' || c == '<' || c == '>') {
      t.kind = TokenKind::kOperator;
      t.text = c;
      ++pos_;
      if (pos_ < text_.size() && c != '=' &&
          (text_[pos_] == '=' || (c == '<' && text_[pos_] == '>'))) {
        t.text += text_[pos_++];
      }
      return t;
    }
    if (c == '\'' || c == '"') {
      t.kind = TokenKind::kText;
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) Fail("unterminated text value");
        if (text_[pos_] == c) {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == c) {
            t.text += c;
            pos_ += 2;
            continue;
          }
          ++pos_;
          break;
        }
        t.text += text_[pos_++];
      }
      return t;
    }
    if (c == '#' || c == '[') {
      const char close = c == '#' ? '#' : ']';
      const size_t end = text_.find(close, pos_ + 1);
      if (end == std::string_view::npos) {
        Fail(c == '#' ? "unterminated date value" : "unterminated [field name]");
      }
      t.kind = c == '#' ? TokenKind::kDate : TokenKind::kName;
      t.text = std::string(text_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 1;
      return t;
    }
    if (c == ']') Fail("unexpected ']'");
    const size_t start = pos_;
    while (pos_ < text_.size() && IsWordChar(text_[pos_])) ++pos_;
    t.kind = TokenKind::kWord;
    t.text = std::string(text_.substr(start, pos_ - start));
    return t;
  }

  Token Peek() {
    const size_t saved = pos_;
    Token t = Next();
    pos_ = saved;
    return t;
  }

  static bool IsKeyword(const Token& t, std::string_view word) {
    if (t.kind != TokenKind::kWord || t.text.size() != word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      if (LowerAscii(t.text[i]) != word[i]) return false;
    }
    return true;
  }

  size_t Add(Node node) {
    out_->nodes_.push_back(std::move(node));
    return out_->nodes_.size() - 1;
  }

  size_t ParseOr() {
    size_t left = ParseAnd();
    while (IsKeyword(Peek(), "or")) {
      Next();
      Node node;
      node.kind = Node::Kind::kOr;
      node.left = left;
      node.right = ParseAnd();
      left = Add(std::move(node));
    }
    return left;
  }

  size_t ParseAnd() {
    size_t left = ParsePrimary();
    while (IsKeyword(Peek(), "and")) {
      Next();
      Node node;
      node.kind = Node::Kind::kAnd;
      node.left = left;
      node.right = ParsePrimary();
      left = Add(std::move(node));
    }
    return left;
  }

  size_t ParsePrimary() {
    Token t = Peek();
    if (t.kind == TokenKind::kOpen) {
      Next();
      const size_t inner = ParseOr();
      if (Next().kind != TokenKind::kClose) Fail("missing ')'");
      return inner;
    }
    return ParseComparison();
  }

  size_t FindField(const std::string& name) const {
    for (size_t i = 0; i < fields_.size(); ++i) {
      if (!fields_[i].hidden && core::EqualsIgnoreCase(fields_[i].name, name)) return i;
    }
    Fail("no field named '" + name + "'");
  }

  size_t ParseComparison() {
    Token name = Next();
    if (name.kind == TokenKind::kEnd) Fail("a comparison is missing at the end");
    if (name.kind != TokenKind::kWord && name.kind != TokenKind::kName) {
      Fail("expected a field name before '" + name.text + "'");
    }
    if (name.kind == TokenKind::kWord &&
        (IsKeyword(name, "and") || IsKeyword(name, "or") || IsKeyword(name, "like"))) {
      Fail("expected a field name, found '" + name.text + "'");
    }
    Node node;
    FilterCriteria::Comparison& c = node.comparison;
    c.field = FindField(name.text);
    c.family = FilterFamilyOf(fields_[c.field].type);

    Token op = Next();
    if (IsKeyword(op, "is")) {
      Token next = Next();
      bool negated = false;
      if (IsKeyword(next, "not")) {
        negated = true;
        next = Next();
      }
      if (!IsKeyword(next, "null")) Fail("expected NULL after IS");
      c.op = negated ? Op::kIsNotNull : Op::kIsNull;
      return Add(std::move(node));
    }
    if (IsKeyword(op, "like")) {
      c.op = Op::kLike;
    } else if (op.kind == TokenKind::kOperator) {
      if (op.text == "=")
        c.op = Op::kEqual;
      else if (op.text == "<>")
        c.op = Op::kNotEqual;
      else if (op.text == "<")
        c.op = Op::kLess;
      else if (op.text == ">")
        c.op = Op::kGreater;
      else if (op.text == "<=")
        c.op = Op::kLessEqual;
      else if (op.text == ">=")
        c.op = Op::kGreaterEqual;
      else
        Fail("unknown operator '" + op.text + "'");
    } else {
      Fail("expected an operator after '" + name.text + "'");
    }

    Token value = Next();
    if (IsKeyword(value, "null")) {
      if (c.op == Op::kEqual)
        c.op = Op::kIsNull;
      else if (c.op == Op::kNotEqual)
        c.op = Op::kIsNotNull;
      else
        Fail("NULL can only be compared with = or <>");
      return Add(std::move(node));
    }
    SetValue(c, value, name.text);
    return Add(std::move(node));
  }

  void SetValue(FilterCriteria::Comparison& c, const Token& value, const std::string& field) {
    std::optional<Variant> v;
    switch (value.kind) {
      case TokenKind::kText:
        v = Variant(value.text);
        break;
      case TokenKind::kDate: {
        auto d = ParseFilterDate(value.text);
        if (!d) Fail("'#" + value.text + "#' is not a date");
        v = Variant(*d);
        break;
      }
      case TokenKind::kWord: {
        if (IsKeyword(value, "true") || IsKeyword(value, "false")) {
          v = Variant(IsKeyword(value, "true"));
          break;
        }
        v = ParseNumber(value.text);
        if (!v) Fail("value '" + value.text + "' must be a quoted text, a number or a #date#");
        break;
      }
      case TokenKind::kEnd:
        Fail("a value is missing after the operator for '" + field + "'");
      default:
        Fail("expected a value for '" + field + "'");
    }
    if (c.op == Op::kLike || c.family == Family::kText) {
      // Compared as text: keep what was written for numbers and dates.
      c.value = value.kind == TokenKind::kText ? std::move(*v) : Variant(value.text);
      c.folded = core::FoldCase(c.value.AsString());
      return;
    }
    if (c.family == Family::kAny) {
      c.value = std::move(*v);
      if (c.value.IsString()) c.folded = core::FoldCase(c.value.AsString());
      return;
    }
    std::optional<Variant> converted;
    if (v->IsString()) {
      converted = TextAs(v->AsString(), c.family);
    } else if (c.family == Family::kNumber) {
      converted = v->Type() == VarType::kDate ? Variant(v->AsDate().days) : *v;
    } else if (c.family == Family::kDate) {
      converted = v->Type() == VarType::kDate ? *v : Variant(Date{v->ToDouble()});
    } else {  // Boolean
      try {
        converted = Variant(v->ToBool());
      } catch (const core::Error&) {
      }
    }
    if (!converted) {
      Fail("value '" + value.text + "' does not convert to the type of field '" + field + "'");
    }
    c.value = std::move(*converted);
  }

  std::string_view text_;
  const std::vector<FieldDef>& fields_;
  size_t pos_ = 0;
  FilterCriteria* out_ = nullptr;
};

FilterCriteria FilterCriteria::Parse(std::string_view criteria,
                                     const std::vector<FieldDef>& fields) {
  return FilterParser(criteria, fields).Parse();
}

bool FilterCriteria::Matches(const RecordStore& store, size_t record) const {
  return nodes_.empty() || Evaluate(root_, store, record);
}

bool FilterCriteria::Evaluate(size_t node, const RecordStore& store, size_t record) const {
  const Node& n = nodes_[node];
  switch (n.kind) {
    case Node::Kind::kAnd:
      return Evaluate(n.left, store, record) && Evaluate(n.right, store, record);
    case Node::Kind::kOr:
      return Evaluate(n.left, store, record) || Evaluate(n.right, store, record);
    case Node::Kind::kComparison:
      break;
  }
  return EvaluateComparison(n.comparison, store, record);
}

bool FilterCriteria::EvaluateComparison(const Comparison& c, const RecordStore& store,
                                        size_t record) const {
  const VarType type = store.TypeAt(record, c.field);
  if (type == VarType::kNull || type == VarType::kEmpty) return c.op == Op::kIsNull;
  if (c.op == Op::kIsNull) return false;
  if (c.op == Op::kIsNotNull) return true;
  try {
    if (c.value.IsString()) {
      std::string converted;
      std::string_view text;
      if (type == VarType::kString) {
        text = store.TextAt(record, c.field);
      } else {
        converted = store.Get(record, c.field).ToText();
        text = converted;
      }
      if (c.op == Op::kLike) return LikeMatch(core::FoldCase(text), c.folded);
      return Apply(c.op, CompareFolded(text, c.folded));
    }
    Variant cell = store.Get(record, c.field);
    if (cell.IsString()) {
      auto as = TextAs(cell.AsString(), c.family == Family::kAny ? Family::kNumber : c.family);
      if (!as) return false;
      cell = std::move(*as);
    }
    switch (Compare(cell, c.value)) {
      case CompareResult::kLess:
        return Apply(c.op, -1);
      case CompareResult::kEqual:
        return Apply(c.op, 0);
      case CompareResult::kGreater:
        return Apply(c.op, 1);
      case CompareResult::kNull:
        return false;
    }
  } catch (const core::Error&) {
    // A value that cannot be compared (an array, an object) matches nothing.
  }
  return false;
}

std::optional<FilterCriteria::IndexProbe> FilterCriteria::IndexableEquality() const {
  if (nodes_.empty()) return std::nullopt;
  return FindEquality(root_);
}

std::optional<FilterCriteria::IndexProbe> FilterCriteria::FindEquality(size_t node) const {
  const Node& n = nodes_[node];
  if (n.kind == Node::Kind::kAnd) {
    if (auto probe = FindEquality(n.left)) return probe;
    return FindEquality(n.right);
  }
  if (n.kind != Node::Kind::kComparison) return std::nullopt;
  const Comparison& c = n.comparison;
  if (c.op != Op::kEqual || c.family == Family::kAny) return std::nullopt;
  auto key = FilterKey(c.value, c.family);
  if (!key) return std::nullopt;
  return IndexProbe{c.field, std::move(*key)};
}

std::vector<size_t> FilterIndex::Lookup(const RecordStore& store,
                                        const std::vector<FieldDef>& fields, size_t field,
                                        const std::string& key) {
  FieldIndex* index = nullptr;
  for (auto& candidate : indexes_) {
    if (candidate.field == field) index = &candidate;
  }
  if (index == nullptr) index = &Build(store, fields, field);
  std::vector<size_t> records;
  auto it = index->heads.find(key);
  if (it == index->heads.end()) return records;
  for (size_t r = it->second; r != kNoRecord; r = index->next[r]) records.push_back(r);
  return records;
}

FilterIndex::FieldIndex& FilterIndex::Build(const RecordStore& store,
                                            const std::vector<FieldDef>& fields, size_t field) {
  FieldIndex index;
  index.field = field;
  const auto family = FilterFamilyOf(fields[field].type);
  const size_t count = store.RecordCount();
  index.next.assign(count, kNoRecord);
  // Walk backwards so that each chain runs in ascending record order.
  for (size_t r = count; r-- > 0;) {
    const VarType type = store.TypeAt(r, field);
    if (type == VarType::kNull || type == VarType::kEmpty) continue;
    std::optional<std::string> key;
    if (type == VarType::kString && family == FilterCriteria::Family::kText) {
      key = TextKey(store.TextAt(r, field));
    } else {
      key = FilterKey(store.Get(r, field), family);
    }
    if (!key) continue;
    auto [it, inserted] = index.heads.try_emplace(std::move(*key), r);
    if (!inserted) {
      index.next[r] = it->second;
      it->second = r;
    }
  }
  indexes_.push_back(std::move(index));
  return indexes_.back();
}

bool FilterIndex::Has(size_t field) const {
  return std::any_of(indexes_.begin(), indexes_.end(),
                     [&](const FieldIndex& i) { return i.field == field; });
}

void FilterIndex::Drop(size_t field) {
  std::erase_if(indexes_, [&](const FieldIndex& i) { return i.field == field; });
}

}  // namespace ado
