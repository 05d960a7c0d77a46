#pragma once

#include <memory>

#include "ado/Recordset.h"

namespace qv {

// Clean-up and checks of recordset objects.
class QvSharedADO {
 public:
  // Drops the caller's reference; the object goes when its last owner lets it go.
  template <typename T>
  void Release(std::shared_ptr<T>& object) {
    object.reset();
  }

  // True when the recordset is open and has records; it then stands on its first
  // record. False, without moving, otherwise. Throws core::Error when moving fails.
  bool CheckRecordset(const std::shared_ptr<ado::Recordset>& rs);
};

}  // namespace qv
