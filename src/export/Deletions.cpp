#include "export/Deletions.h"

#include "ado/RecordsetXml.h"
#include "util/basCQvRegistry.h"
#include "xmlformat/XmlWriter.h"

namespace qv {
namespace {

// The dword `name` in [low, high]; `fallback` when it is missing, and with a warning when
// it is set otherwise.
int32_t PolicyNumber(const char* name, int32_t low, int32_t high, int32_t fallback,
                     std::vector<std::string>& warnings) {
  const ado::Variant value = ReadRegistryValue(kHKeyLocalMachine, "SOFTWARE", "Tolvane", name);
  if (value.IsEmpty() || value.IsNull()) return fallback;
  if (value.Type() == ado::VarType::kI4) {
    const int64_t number = value.AsInt64();
    if (number >= low && number <= high) return static_cast<int32_t>(number);
  }
  warnings.push_back("registry value " + std::string(name) + " is not a dword of " +
                     std::to_string(low) + " to " + std::to_string(high) + "; the default " +
                     std::to_string(fallback) + " is used");
  return fallback;
}

}  // namespace

DeletionPolicy DeletionPolicy::FromRegistry(std::vector<std::string>& warnings) {
  DeletionPolicy policy;
  policy.send = PolicyNumber("SendDeletions", 0, 1, 0, warnings) == 1;
  policy.at_most_percent =
      PolicyNumber("DeleteAtMostPercent", 0, 100, kDefaultAtMostPercent, warnings);
  return policy;
}

bool DeletionPolicy::Allows(int64_t deleted, int64_t entities) const {
  return deleted * 100 <= int64_t{at_most_percent} * entities;
}

std::string DeletionPolicy::HeldBackText(int64_t deleted, int64_t entities,
                                         const std::string& result_path) const {
  return std::to_string(deleted) + " of the " + std::to_string(entities) +
         " entities of the last data are gone from the query's result, more than " +
         "\"DeleteAtMostPercent\" (" + std::to_string(at_most_percent) +
         "%) allows: no deletion is sent and the last data keeps them. Raise " +
         "\"DeleteAtMostPercent\", run --reset-last, or bring the rows back. File: " + result_path;
}

std::string DeletionFileXml(const ado::RecordsetData& rows, size_t record) {
  ado::RecordsetData one;
  one.fields = rows.fields;
  one.properties = rows.properties;
  one.properties.updatable = true;  // a pending change is written only for an updatable one
  one.records = ado::RecordStore(one.fields.size());
  std::string bytes;
  rows.records.Serialize(record, bytes);
  std::string_view in(bytes);
  one.records.AppendSerialized(in);
  one.records.SetStatus(0, ado::adRecDeleted);
  return ado::RecordsetDataXmlToString(one);
}

}  // namespace qv
