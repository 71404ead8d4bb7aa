#pragma once
// TPostgreSQLPipeline: commands of a TPostgreSQLConnection sent together in
// libpq's pipeline mode and answered in one round trip.
//
// Commands are queued in order; Sync ends a group of them. When a command
// fails, the server skips the rest of its group (their results come as
// PGRES_PIPELINE_ABORTED) and takes up the next group, which inside a
// transaction block that failed fails in turn. Run sends the commands (with
// a last Sync) and reads every result; Start only sends them, and Finish
// reads them later, so that the server works on them meanwhile (a FETCH
// asked for before the rows are needed). Results belong to the pipeline
// until taken, each at the index its command was given; a command whose
// result never came (the session was lost) has none.
//
// Commands that the connection sent without waiting for their results
// (TPostgreSQLConnection::Forget) are read first, in the same round trip.
// A pipeline is made, run and dropped within one operation of the
// connection, except the one a statement keeps for its FETCH ahead, which
// the connection finishes before anything else uses the session
// (TPostgreSQLConnection::Settle).

#include <functional>
#include <string>
#include <vector>

#include "qvl/host/drivers/PostgreSQLDriver.h"

namespace qvl {

class TPostgreSQLPipeline {
 public:
  using Result = TPostgreSQLConnection::Result;

  // Finishes whatever FETCH ahead is on the wire first.
  explicit TPostgreSQLPipeline(TPostgreSQLConnection& Connection);
  // Reads what was sent and not read, so that the session stays usable.
  ~TPostgreSQLPipeline();
  TPostgreSQLPipeline(const TPostgreSQLPipeline&) = delete;
  TPostgreSQLPipeline& operator=(const TPostgreSQLPipeline&) = delete;

  // Each returns the index of the command's result. SQL is one statement.
  int Query(const std::string& SQL, int ResultFormat = 0);
  int QueryParams(const std::string& SQL, const std::vector<std::string>& Values);
  // A command that Send sends on the connection's handle itself.
  int Raw(const std::function<int()>& Send);
  int Prepare(const std::string& Name, const std::string& SQL);
  int Describe(const std::string& Name);
  int Prepared(const std::string& Name, int Count, const char* const* Values, const int* Lengths,
               const int* Formats, int ResultFormat);
  // The same for a text parsed anew as the unnamed statement, with the
  // parameter types its preparing found (under transaction pooling).
  int Params(const std::string& SQL, int Count, const unsigned* Types, const char* const* Values,
             const int* Lengths, const int* Formats, int ResultFormat);
  void Sync();
  bool Empty() const { return FSyncs.empty(); }

  void Run() {
    Start();
    Finish();
  }
  void Start();
  void Finish();
  // The session is going: nothing sent is read.
  void Abandon() { FFinished = true; }

  PGresult* Get(int Index) const { return FResults[static_cast<std::size_t>(Index)].get(); }
  // Whether the command at Index succeeded (COMMAND_OK or TUPLES_OK).
  bool Ok(int Index) const;
  Result Take(int Index) { return std::move(FResults[static_cast<std::size_t>(Index)]); }

 private:
  int Added(bool Sent);
  PGresult* Next();

  TPostgreSQLConnection& FConnection;
  std::vector<Result> FResults;  // per command, syncs included
  std::vector<bool> FSyncs;      // per command: whether it is a Sync
  bool FStarted = false;
  bool FFinished = false;
  bool FBroken = false;   // a command could not be sent: none after it is
  std::size_t FSent = 0;  // commands sent, from the first
};

}  // namespace qvl
