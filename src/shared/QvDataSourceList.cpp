#include "shared/QvDataSourceList.h"

#include <string>
#include <utility>

#include "core/Error.h"

namespace qv {

bool QvDataSourceList::Exists(int32_t id) const { return items_.contains(id); }

std::shared_ptr<QvDataSource> QvDataSourceList::Item(int32_t id) const {
  const auto found = items_.find(id);
  if (found == items_.end()) {
    throw core::Error(core::kErrItemNotFound, "QvDataSourceList",
                      "no data source #" + std::to_string(id));
  }
  return found->second;
}

bool QvDataSourceList::Add(std::shared_ptr<QvDataSource> data_source) {
  if (!data_source) return false;
  const int32_t id = data_source->ID();
  return items_.emplace(id, std::move(data_source)).second;
}

}  // namespace qv
