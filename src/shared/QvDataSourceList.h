#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "shared/QvDataSource.h"

namespace qv {

// The data sources of one export run, by number.
class QvDataSourceList {
 public:
  // Whether a data source with that number is in the list.
  bool Exists(int32_t id) const;
  // The data source with that number. Throws core::Error 3265 when there is none.
  std::shared_ptr<QvDataSource> Item(int32_t id) const;
  // Adds the data source; false (and the list unchanged) when its number is taken.
  bool Add(std::shared_ptr<QvDataSource> data_source);
  size_t Count() const { return items_.size(); }

 private:
  std::map<int32_t, std::shared_ptr<QvDataSource>> items_;
};

}  // namespace qv
