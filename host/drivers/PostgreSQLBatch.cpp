#include "qvl/host/drivers/PostgreSQLBatch.h"

#include <libpq-fe.h>

#include <cstdlib>

#include "qvl/host/drivers/PostgreSQLStatement.h"

namespace qvl {

TPostgreSQLBatch::~TPostgreSQLBatch() {
  TPostgreSQLConnection::TUse use(FConnection);
  try {
    Flush();
  } catch (...) {
  }
  for (std::unique_ptr<TSQLStatement>& s : FStatements) FConnection.Recycle(std::move(s));
}

TPostgreSQLStatement& TPostgreSQLBatch::Statement(const std::string& SQL) {
  for (std::unique_ptr<TSQLStatement>& s : FStatements)
    if (s->Text() == SQL) return static_cast<TPostgreSQLStatement&>(*s);
  FStatements.push_back(FConnection.Prepare(SQL));
  return static_cast<TPostgreSQLStatement&>(*FStatements.back());
}

void TPostgreSQLBatch::Add(const std::string& SQL, const TParams* Params) {
  TPostgreSQLConnection::TUse use(FConnection);
  TPostgreSQLStatement& s = Statement(SQL);
  // Preparing reads what was sent first (the pipeline it makes settles the
  // wire); a failure there leaves nothing to run.
  if (!s.FPrepared) Flush();
  if (FFailed) {
    FOutcomes.emplace_back();
    return;
  }
  s.Prepare();
  TPostgreSQLStatement::Bound b;
  s.Bind(Params, b);
  if (FPipeline == nullptr) {
    // Any statement but a query commits the reading transaction first.
    FConnection.ReleaseCursorScope();
    FConnection.Cleanup();
    FEachAlone = FConnection.TransactionStatus() == PQTRANS_IDLE;
    FPipeline = std::make_unique<TPostgreSQLPipeline>(FConnection);
    FConnection.FInFlightBatch = this;
  }
  FSent.push_back(s.SendRun(*FPipeline, false, b, 0));
  FOutcomes.emplace_back();
  if (FEachAlone) Flush();
}

void TPostgreSQLBatch::Flush() {
  TPostgreSQLConnection::TUse use(FConnection);
  if (FConnection.FInFlightBatch == this) FConnection.FInFlightBatch = nullptr;
  if (FPipeline == nullptr) return;
  const std::unique_ptr<TPostgreSQLPipeline> p = std::move(FPipeline);
  const std::vector<int> sent = std::move(FSent);
  FSent.clear();
  p->Run();
  // The outcomes of what was sent are the last ones added.
  std::size_t at = FOutcomes.size() - sent.size();
  for (int command : sent) {
    TBatchOutcome& outcome = FOutcomes[at++];
    const PGresult* r = p->Get(command);
    if (r != nullptr && PQresultStatus(r) == PGRES_PIPELINE_ABORTED) continue;
    outcome.Run = true;
    if (p->Ok(command)) {
      const char* tuples = PQcmdTuples(const_cast<PGresult*>(r));
      outcome.Rows = tuples[0] == '\0' ? 0 : std::strtoll(tuples, nullptr, 10);
    } else {
      outcome.Error = std::make_exception_ptr(FConnection.ErrorOf(r));
      FFailed = true;
    }
  }
}

void TPostgreSQLBatch::Run(std::vector<TBatchOutcome>& Outcomes) {
  Flush();
  Outcomes.clear();
  Outcomes.swap(FOutcomes);
  FFailed = false;
}

}  // namespace qvl
