#pragma once
// TPostgreSQLBatch: statements of a TPostgreSQLConnection sent in pipeline
// mode without waiting for each result (see TSQLBatch). Inside a
// transaction every statement added goes on the wire at once and the batch
// ends with one Sync: its results come in one round trip when it runs, and
// after a failure the server skips the rest. Outside a transaction each
// statement runs and commits on its own as it is added, so that none runs
// after one that failed.
//
// A statement not yet prepared is prepared when it is added, which first
// reads what was sent (its parameter types decide how its values go). Any
// other use of the session does the same first (the connection calls
// Flush), so that results are never read by the wrong owner. Statements
// come from the connection's cache and go back to it when the batch ends.

#include <memory>
#include <string>
#include <vector>

#include "qvl/host/drivers/PostgreSQLDriver.h"
#include "qvl/host/drivers/PostgreSQLPipeline.h"

namespace qvl {

class TPostgreSQLStatement;

class TPostgreSQLBatch : public TSQLBatch {
 public:
  explicit TPostgreSQLBatch(TPostgreSQLConnection& Connection) : FConnection(Connection) {}
  ~TPostgreSQLBatch() override;
  void Add(const std::string& SQL, const TParams* Params) override;
  void Run(std::vector<TBatchOutcome>& Outcomes) override;
  // Reads the results of what was sent into the outcomes.
  void Flush();

 private:
  TPostgreSQLStatement& Statement(const std::string& SQL);

  TPostgreSQLConnection& FConnection;
  std::unique_ptr<TPostgreSQLPipeline> FPipeline;  // what is on the wire
  std::vector<int> FSent;                          // its statements' commands, in order
  std::vector<TBatchOutcome> FOutcomes;
  std::vector<std::unique_ptr<TSQLStatement>> FStatements;  // from the cache, until the end
  bool FFailed = false;
  bool FEachAlone = false;  // outside a transaction: each statement on its own
};

}  // namespace qvl
