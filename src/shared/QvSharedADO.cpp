#include "shared/QvSharedADO.h"

namespace qv {

bool QvSharedADO::CheckRecordset(const std::shared_ptr<ado::Recordset>& rs) {
  if (!rs || rs->State() != ado::adStateOpen) return false;
  if (rs->Bof() && rs->Eof()) return false;
  rs->MoveFirst();
  return true;
}

}  // namespace qv
