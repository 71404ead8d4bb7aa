#include "qvl/host/drivers/PostgreSQLPipeline.h"

#include <libpq-fe.h>

namespace qvl {

TPostgreSQLPipeline::TPostgreSQLPipeline(TPostgreSQLConnection& Connection)
    : FConnection(Connection) {
  FConnection.SettleAhead();
}

TPostgreSQLPipeline::~TPostgreSQLPipeline() {
  if (FStarted && !FFinished) {
    try {
      Finish();
    } catch (...) {
    }
  }
}

int TPostgreSQLPipeline::Added(bool Sent) {
  // After a command that could not be sent nothing more is: its group
  // would not be what the caller asked for.
  FBroken = FBroken || !Sent;
  if (!FBroken) FSent = FResults.size() + 1;
  FResults.emplace_back();
  FSyncs.push_back(false);
  return static_cast<int>(FResults.size()) - 1;
}

int TPostgreSQLPipeline::Query(const std::string& SQL, int ResultFormat) {
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  return Added(c != nullptr && PQsendQueryParams(c, SQL.c_str(), 0, nullptr, nullptr, nullptr,
                                                 nullptr, ResultFormat) != 0);
}

int TPostgreSQLPipeline::QueryParams(const std::string& SQL,
                                     const std::vector<std::string>& Values) {
  std::vector<const char*> values;
  for (const std::string& v : Values) values.push_back(v.c_str());
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  return Added(c != nullptr && PQsendQueryParams(c, SQL.c_str(), static_cast<int>(values.size()),
                                                 nullptr, values.data(), nullptr, nullptr, 0) != 0);
}

int TPostgreSQLPipeline::Raw(const std::function<int()>& Send) {
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  return Added(c != nullptr && Send() != 0);
}

int TPostgreSQLPipeline::Prepare(const std::string& Name, const std::string& SQL) {
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  return Added(c != nullptr && PQsendPrepare(c, Name.c_str(), SQL.c_str(), 0, nullptr) != 0);
}

int TPostgreSQLPipeline::Describe(const std::string& Name) {
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  return Added(c != nullptr && PQsendDescribePrepared(c, Name.c_str()) != 0);
}

int TPostgreSQLPipeline::Prepared(const std::string& Name, int Count, const char* const* Values,
                                  const int* Lengths, const int* Formats, int ResultFormat) {
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  return Added(c != nullptr && PQsendQueryPrepared(c, Name.c_str(), Count, Values, Lengths, Formats,
                                                   ResultFormat) != 0);
}

int TPostgreSQLPipeline::Params(const std::string& SQL, int Count, const unsigned* Types,
                                const char* const* Values, const int* Lengths, const int* Formats,
                                int ResultFormat) {
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  return Added(c != nullptr && PQsendQueryParams(c, SQL.c_str(), Count, Types, Values, Lengths,
                                                 Formats, ResultFormat) != 0);
}

void TPostgreSQLPipeline::Sync() {
  PGconn* c = FBroken ? nullptr : FConnection.PipelineHandle();
  Added(c != nullptr && PQpipelineSync(c) != 0);
  FSyncs.back() = true;
}

void TPostgreSQLPipeline::Start() {
  if (FSyncs.empty() || !FSyncs.back()) Sync();
  FStarted = true;
}

bool TPostgreSQLPipeline::Ok(int Index) const {
  const PGresult* r = Get(Index);
  return r != nullptr &&
         (PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK);
}

PGresult* TPostgreSQLPipeline::Next() {
  // A lost session answers null at once instead of waiting.
  return FConnection.Lost() ? nullptr : PQgetResult(FConnection.FConn);
}

void TPostgreSQLPipeline::Finish() {
  if (!FStarted) Start();
  if (FFinished) return;
  FFinished = true;
  PGconn* c = FConnection.FConn;
  // Whatever was sent must be followed by a Sync to be read to its end.
  if (FBroken && FSent > 0 && !FSyncs[FSent - 1] && !FConnection.Lost()) PQpipelineSync(c);
  // What was sent before without waiting comes first.
  FConnection.ReadForgotten();
  for (std::size_t i = 0; i < FSent; ++i) {
    if (FSyncs[i]) {
      Result sync(Next());
      if (sync == nullptr || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) break;
      FResults[i] = std::move(sync);
      continue;
    }
    FResults[i].reset(Next());
    if (FResults[i] == nullptr) break;
    // A null ends each command's results.
    while (PGresult* more = Next()) PQclear(more);
  }
  if (FBroken && FSent > 0 && !FSyncs[FSent - 1] && !FConnection.Lost()) {
    Result sync(Next());
  }
  if (!FConnection.Lost()) PQexitPipelineMode(c);
}

}  // namespace qvl
