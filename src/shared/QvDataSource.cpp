#include "shared/QvDataSource.h"

#include <utility>

#include "core/Error.h"
#include "db/OdbcConnectionString.h"

namespace qv {

QvDataSource::QvDataSource(int32_t id, std::string name, std::string connection_string)
    : id_(id), name_(std::move(name)), connection_string_(std::move(connection_string)) {}

std::string QvDataSource::MaskedConnectionString() const {
  return ado::MaskConnectionString(connection_string_);
}

std::shared_ptr<ado::Connection> QvDataSource::GetConnection(int32_t kind) {
  if (kind != kSharedConnection) {
    throw core::Error(core::kErrInvalidProcedureCall, "QvDataSource",
                      "connection kind " + std::to_string(kind) + " is not supported");
  }
  if (connection_ && connection_->State() == ado::adStateOpen) return connection_;

  auto connection = std::make_shared<ado::Connection>();
  try {
    connection->Open(ado::PrepareConnectionString(connection_string_));
  } catch (const core::Error& e) {
    core::ErrorRecord record = e.record();
    record.description = "data source #" + std::to_string(id_) + " (" + name_ +
                         "): cannot connect with " + MaskedConnectionString() + ": " +
                         record.description;
    throw core::Error(std::move(record));
  }
  connection->SetRowNaming(row_naming_);
  connection_ = std::move(connection);
  return connection_;
}

void QvDataSource::SetRowNaming(ado::RowNaming naming) {
  row_naming_ = std::move(naming);
  if (connection_) connection_->SetRowNaming(row_naming_);
}

}  // namespace qv
