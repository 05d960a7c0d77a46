#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "values/FieldDef.h"
#include "values/RecordStore.h"
#include "values/Variant.h"

namespace ado {

// A parsed Recordset.Filter criteria string.
//
// Grammar: comparisons `Field op Value` joined with AND and OR (AND binds tighter than
// OR), grouped with parentheses. Field: a name, or any text in [brackets]; names ignore
// case. op: = <> < > <= >= LIKE, or `IS NULL` / `IS NOT NULL`. Value: 'text' or "text"
// (the quote doubled inside), a number (an optional $ in front), #date# (yyyy-mm-dd
// [hh:mm[:ss]] or m/d/yyyy [hh:mm[:ss]]), True or False, or NULL (`= NULL`, `<> NULL`).
//
// The value is converted to the field's type when parsed. Texts compare ignoring
// case (Unicode folding); LIKE takes * and % as wildcards anywhere in the pattern. A
// null field matches nothing but IS NULL; a text in a number or date field that does
// not read as one matches nothing.
class FilterCriteria {
 public:
  // Blank criteria select every record. Throws core::Error kErrInvalidArgument with a
  // message naming the problem (an unknown field, a missing operator, an unterminated
  // text, a value that does not convert to the field's type ...).
  static FilterCriteria Parse(std::string_view criteria, const std::vector<FieldDef>& fields);

  bool SelectsAll() const { return nodes_.empty(); }
  // Whether the record's values satisfy the criteria; the record's status is not looked at.
  bool Matches(const RecordStore& store, size_t record) const;

  // An equality of one field with a value that every selected record satisfies (the
  // whole criteria, or a term of its top-level AND), when an index can answer it.
  struct IndexProbe {
    size_t field;     // column in the store
    std::string key;  // FilterIndex key of the value
  };
  std::optional<IndexProbe> IndexableEquality() const;

  enum class Op {
    kEqual,
    kNotEqual,
    kLess,
    kGreater,
    kLessEqual,
    kGreaterEqual,
    kLike,
    kIsNull,
    kIsNotNull
  };
  enum class Family { kText, kNumber, kDate, kBool, kAny };

 private:
  struct Comparison {
    size_t field = 0;
    Family family = Family::kAny;
    Op op = Op::kEqual;
    Variant value;       // converted to the field's family; a text for LIKE
    std::string folded;  // the value's folded text when it is a text
  };
  struct Node {
    enum class Kind { kComparison, kAnd, kOr } kind = Kind::kComparison;
    size_t left = 0, right = 0;  // child nodes for kAnd and kOr
    Comparison comparison;
  };
  friend class FilterParser;

  bool Evaluate(size_t node, const RecordStore& store, size_t record) const;
  bool EvaluateComparison(const Comparison& c, const RecordStore& store, size_t record) const;
  std::optional<IndexProbe> FindEquality(size_t node) const;

  std::vector<Node> nodes_;
  size_t root_ = 0;
};

// The family a field's values compare in: texts, numbers, dates, Booleans, or anything
// (adVariant and the types filters do not index).
FilterCriteria::Family FilterFamilyOf(int32_t field_type);

// Key under which FilterIndex files a value of the given family: equal values under
// the filter's comparison give equal keys. Nothing for null and for values that compare
// with nothing in that family.
std::optional<std::string> FilterKey(const Variant& value, FilterCriteria::Family family);

// Equality index for filters: per field, the records filed under each value's key.
// A field's index is built on its first lookup and then reused; the owner drops it
// when a value of that field changes (Drop) and drops everything when records are
// added or the data is replaced (Clear). Records' statuses are not looked at.
class FilterIndex {
 public:
  // Records whose value of `field` has `key`, in ascending order.
  std::vector<size_t> Lookup(const RecordStore& store, const std::vector<FieldDef>& fields,
                             size_t field, const std::string& key);
  bool Has(size_t field) const;
  void Drop(size_t field);
  void Clear() { indexes_.clear(); }

 private:
  struct FieldIndex {
    size_t field = 0;
    std::unordered_map<std::string, size_t> heads;  // key -> first record
    std::vector<size_t> next;                       // record -> next record with its key
  };
  FieldIndex& Build(const RecordStore& store, const std::vector<FieldDef>& fields, size_t field);

  std::vector<FieldIndex> indexes_;
};

}  // namespace ado
