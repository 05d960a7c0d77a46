#include "db/postgres/PostgresBackend.h"

#include <cstdlib>
#include <limits>

#include "core/Error.h"
#include "db/postgres/PostgresCursor.h"
#include "db/postgres/PostgresSession.h"

namespace ado {

PostgresBackend::PostgresBackend(const PostgresOptions& options)
    : options_(options), session_(std::make_unique<postgres::PostgresSession>(options)) {}

PostgresBackend::~PostgresBackend() = default;

std::unique_ptr<QueryCursor> PostgresBackend::OpenCursor(std::string_view sql, int32_t timeout) {
  return std::make_unique<postgres::PostgresCursor>(*session_, options_, sql, timeout);
}

int64_t PostgresBackend::CountRows(std::string_view sql, int32_t timeout) {
  postgres::PostgresCursor cursor(*session_, options_, sql, timeout);
  RecordStore rows(cursor.Fields().size());
  int64_t count = 0;
  while (size_t read = cursor.FetchInto(rows, kBlockRows)) {
    count += static_cast<int64_t>(read);
    rows = RecordStore(cursor.Fields().size());
  }
  return count;
}

int64_t PostgresBackend::Execute(std::string_view sql, int32_t timeout) {
  const auto lock = session_->Lock();
  session_->SetTimeout(timeout);
  postgres::PgResult result = session_->Run(std::string(sql));
  const char* rows = PQcmdTuples(result.get());
  return rows == nullptr || *rows == '\0' ? -1 : std::atoll(rows);
}

void PostgresBackend::Prepare(std::string_view sql) { PreparedColumns(sql); }

std::optional<std::vector<std::string>> PostgresBackend::PreparedColumns(std::string_view sql) {
  const auto lock = session_->Lock();
  // A read ahead in flight comes in before the connection takes another statement.
  if (postgres::Pipeline* pipeline = session_->CurrentPipeline()) pipeline->Settle();
  const std::string text(sql);
  postgres::PgResult prepared(PQprepare(session_->get(), "", text.c_str(), 0, nullptr));
  if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) session_->Fail(prepared.get());
  postgres::PgResult described(PQdescribePrepared(session_->get(), ""));
  if (PQresultStatus(described.get()) != PGRES_COMMAND_OK) session_->Fail(described.get());
  const int count = PQnfields(described.get());
  if (count <= 0)
    throw core::Error(core::kErrObjectClosed, "ODBC", "The statement returns no rows");
  std::vector<std::string> names;
  names.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) names.emplace_back(PQfname(described.get(), i));
  return names;
}

std::vector<std::string> PostgresBackend::TakeNotices() {
  const auto lock = session_->Lock();
  return session_->TakeNotices();
}

std::string PostgresBackend::LibraryVersion() {
  // 150018 for 15.18; before 10, 90624 for 9.6.24.
  const int version = PQlibVersion();
  const std::string text =
      version >= 100000
          ? std::to_string(version / 10000) + "." + std::to_string(version % 10000)
          : std::to_string(version / 10000) + "." + std::to_string(version / 100 % 100) + "." +
                std::to_string(version % 100);
  return "libpq " + text;
}

}  // namespace ado
