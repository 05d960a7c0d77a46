#include "core/Error.h"

#include <utility>

namespace core {

Error::Error(ErrorRecord record)
    : std::runtime_error(record.description), record_(std::move(record)) {}

Error::Error(int32_t number, std::string source, std::string description)
    : Error(ErrorRecord{number, std::move(source), std::move(description), {}, 0}) {}

}  // namespace core
