#include "values/RecordsetErrors.h"

#include <string>

namespace ado {

namespace {

std::string_view Description(int32_t number) {
  switch (number) {
    case core::kErrInvalidArgument:
      return "Arguments are of the wrong type, are out of acceptable range, or are in conflict "
             "with one another.";
    case core::kErrNoCurrentRecord:
      return "Either BOF or EOF is True, or the current record has been deleted. Requested "
             "operation requires a current record.";
    case core::kErrFeatureNotAvailable:
      return "Object or provider is not capable of performing requested operation.";
    case core::kErrItemNotFound:
      return "Item cannot be found in the collection corresponding to the requested name or "
             "ordinal.";
    case core::kErrDataConversion:
      return "Application uses a value of the wrong type for the current operation.";
    case core::kErrObjectClosed:
      return "Operation is not allowed when the object is closed.";
    case core::kErrObjectOpen:
      return "Operation is not allowed when the object is open.";
    case kErrObjectInCollection:
      return "Object is already in collection. Cannot append.";
    default:
      return "Operation failed.";
  }
}

}  // namespace

void ThrowAdoError(int32_t number, std::string_view source, std::string_view detail) {
  std::string description(Description(number));
  if (!detail.empty()) {
    description += ": ";
    description += detail;
  }
  throw core::Error(number, std::string(source), std::move(description));
}

}  // namespace ado
