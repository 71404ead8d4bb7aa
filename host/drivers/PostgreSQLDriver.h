#pragma once
// The PostgreSQL driver, over libpq.
//
// Connection parameters (NAME=VALUE, names in any case):
//   ConnectionString  a libpq connection string or URI, read first
//   HostName, Port, Database, User_Name, Password
//   Pooling          Session (the default) or Transaction: behind a pooler
//                    that hands each transaction to any server session,
//                    the driver keeps nothing in the session between
//                    transactions (see "Transaction pooling" below)
//   IdleReadMs       how long a partly read query may keep the driver's
//                    reading transaction open while the application does
//                    nothing (kDefaultIdleReadMs unless given; 0: no limit)
//   any other libpq keyword (sslmode, connect_timeout, options, ...)
// Connecting waits at most connect_timeout seconds (kDefaultConnectTimeout
// unless given), so that a server that never answers cannot hang Open.
// The session is set to UTF-8, ISO dates and the UTC time zone, so that
// timestamps with a zone read and write as UTC and every value round-trips.
//
// A lost session raises ESQLDatabaseError with SQLSTATE 08006 (the server's
// own message kept in the text), and 08007 when it went during a COMMIT of
// a transaction that wrote: Commit asks for the transaction's id in the
// COMMIT's round trip, and CommitOutcome on a new session looks it up
// (txid_status). It cannot tell when the id says committed on a server
// promoted since (there the id may name another transaction) or is too old
// to be known.
//
// Reading. A query runs as a server-side cursor (DECLARE ... WITH HOLD) and
// rows come in batches (FETCH): the rows the caller reads first, then as
// many as the width of the rows before allows within half a megabyte and
// 1,024 rows (one at a time for rows of megabytes), so the client holds two
// batches per open result at most, three while one more is on its way.
// Commands go in libpq's pipeline mode, so that opening takes one or two
// round trips (PostgreSQLStatement.h) and applied records go in batches
// (PostgreSQLBatch.h).
// Outside an application transaction the cursor lives in a reading
// transaction of the driver's own (READ COMMITTED), where the server
// computes rows only as they are fetched. Queries that a cursor could hold
// run inside it, each in a savepoint so that its failure ends nothing else,
// and commit it only when they wrote; so does a cursor whose FETCH wrote
// (a function that inserts), which is undone and run again alone when it
// was opened beside other cursors, so that their rest cannot fail its
// commit. Before any other statement runs, that transaction commits, the
// server computes and keeps the rest of the rows (a held cursor), and the
// statement runs on its own. A cursor opened inside an application
// transaction survives its commit; its rollback discards the rows not yet
// read, and reading on raises EDatabaseError. Statements that a cursor
// cannot hold (INSERT ... RETURNING, CALL, SELECT ... FOR UPDATE, a WITH
// that writes), as the server decides when the cursor is prepared, run
// directly and keep their whole result; no word inside a query makes it
// read in full.
//
// Transaction pooling. Statements are parsed as the unnamed statement each
// time they run; a partly read query keeps its transaction (and so its
// server session) while it is read, and before that transaction ends
// (another statement, the application's Commit, the idle limit) the rest
// of its rows is read into the client. The session settings go by SET to
// those the pooler carries to every server session (DateStyle, TimeZone);
// the others are the server's defaults, and an options parameter is
// refused, since the pooler refuses it at connect.
//
// Idle reading. While the reading transaction holds a partly read query,
// a watchdog thread of the connection ends it once the application has
// left the connection alone for IdleReadMs (half the server's
// idle_in_transaction_session_timeout when that is shorter), as another
// statement would: the server keeps the held cursors' rest (under
// transaction pooling the client does). The watchdog and the application
// use libpq under the connection's mutex; the rows of the batch in hand
// belong to the application alone. The application's own transactions are
// never ended.
//
// Results holding floats or bytea come in binary form when every column is
// of a type whose binary form the driver reads (numbers, text, bytea,
// numeric, dates, times, uuid, enumerations), so that floats read exactly
// whatever the session's extra_float_digits; other results come as text,
// exact while extra_float_digits stays above 0 as the driver sets it.
//
// Markers: "?" becomes $1, $2, ... outside quoted text, dollar-quoted
// bodies, quoted names and comments; "??" is a literal "?" (the jsonb
// operators). The conversions of types, values and texts live in
// PostgreSQLTypes.h, the statement in PostgreSQLStatement.h.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "qvl/host/sqlclient/SQLDriver.h"

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

namespace qvl {

class TStrings;
class TPostgreSQLBatch;
class TPostgreSQLStatement;

class TPostgreSQLConnection : public TSQLDriverConnection {
 public:
  static constexpr const char* kDefaultConnectTimeout = "15";
  static constexpr int kDefaultIdleReadMs = 5000;

  explicit TPostgreSQLConnection(const TStrings& Params);
  ~TPostgreSQLConnection() override;

  const char* GetDriverName() const override { return "PostgreSQL"; }
  std::int64_t ExecuteDirect(const std::string& SQL) override;
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() override;
  bool Lost() const override;
  std::string InDoubtCommit() const override { return FInDoubt; }
  TCommitOutcome CommitOutcome(const std::string& Id) override;
  bool FoldsNamesLower() const override { return true; }
  std::unique_ptr<TSQLBatch> NewBatch() override;
  // Large enough that round trips cost little beside the server's work,
  // small enough that a failure late in a batch sends little again.
  int BatchCapacity() const override { return kBatchCapacity; }
  static constexpr int kBatchCapacity = 4096;
  std::string StoredProcCall(const std::string& Name,
                             const std::vector<TParamType>& Modes) override;

  // The libpq connection, with nothing the driver sent still waiting to be
  // read (so that the caller may run commands on it at once: the idle
  // watchdog may use the session once it has been left alone for the idle
  // limit).
  PGconn* Handle();
  // The rows the latest FETCH asked for: batches follow the width of rows.
  int LastFetchRows() const { return FLastFetchRows; }
  bool Pooled() const { return FPooled; }

  // The first inconsistency between the cursors the connection lists, the
  // reading transaction it believes open and the session's transaction
  // status; empty when there is none. Checked on entry to and exit from the
  // operations that change that state (QVL_INVARIANT_SCOPE, debug builds).
  std::string InvariantFault() const;

 protected:
  std::unique_ptr<TSQLStatement> NewStatement(const std::string& Text) override;

 private:
  friend class TPostgreSQLStatement;
  friend class TPostgreSQLPipeline;
  friend class TPostgreSQLBatch;
  struct ResultDeleter {
    void operator()(PGresult* R) const;
  };
  using Result = std::unique_ptr<PGresult, ResultDeleter>;

  // Held by every operation of the connection, its statements and batches
  // that uses the session or the state around it; on leaving the outermost
  // one, the connection counts as used now (the idle watchdog's clock).
  class TUse {
   public:
    explicit TUse(TPostgreSQLConnection& C);
    ~TUse();
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;

   private:
    TPostgreSQLConnection& FC;
    std::unique_lock<std::recursive_mutex> FLock;
  };
  // The watchdog's loop: ends the reading transaction once the connection
  // has been left alone for FIdleReadMs.
  void Watch(std::stop_token Stop);
  void StartWatchdog();

  // Whether the transaction has written since it began. A transaction id
  // alone does not tell: nextval() takes one, and committing for it would make
  // the server compute every open cursor's rows. Writing (rows, DDL) holds a
  // lock stronger than reading on a table until the transaction ends, and a
  // write undone by a rollback to a savepoint gives its lock back.
  static constexpr const char* kWroteQuery =
      "SELECT CASE WHEN pg_catalog.txid_current_if_assigned() IS NULL THEN false "
      "ELSE EXISTS (SELECT FROM pg_catalog.pg_locks l "
      "JOIN pg_catalog.pg_class c ON c.oid = l.relation "
      "WHERE l.pid = pg_catalog.pg_backend_pid() AND c.relkind <> 'S' "
      "AND l.mode NOT IN ('AccessShareLock', 'RowShareLock')) END";

  // The session's wire. Commands may be sent without waiting for their
  // results (Forget: closing a cursor, releasing a savepoint), which the
  // next round trip reads first; and a statement may have a FETCH on the
  // wire ahead of need (FInFlight), which must be taken before anything
  // else uses the session (SettleAhead). Settle does both.
  PGconn* PipelineHandle();  // in pipeline mode; null when the session is lost
  void Forget(const std::string& SQL);
  void ReadForgotten();
  void SettleAhead();
  void Settle();
  void ConsumeInput();
  // The transaction status, as the commands sent without waiting leave it.
  int TransactionStatus();  // a PGTransactionStatusType
  // Runs one statement (no parameters) and returns its result, failed or
  // not, in one round trip with whatever waits to be read.
  Result Run(const std::string& SQL);
  // Runs statements in one round trip, the first failure skipping the rest.
  void RunAll(const std::vector<std::string>& Commands);
  Result RunPrepared(const std::string& Name, const std::vector<const char*>& Values,
                     const std::vector<int>& Lengths, const std::vector<int>& Formats,
                     int ResultFormat);
  // Runs SQL (one statement, no parameters) and raises on failure.
  Result Exec(const std::string& SQL);
  // Raises the error of R (or of the connection when R is null).
  [[noreturn]] void Raise(const PGresult* R) const;
  // The error of R, as class 08 when the session was lost with it.
  ESQLDatabaseError ErrorOf(const PGresult* R) const;
  ESQLDatabaseError ServerErrorOf(const PGresult* R) const;
  Result Check(PGresult* R) const;
  // Names of prepared statements and cursors, unique in the session.
  std::string NextName(const char* Prefix);

  // The driver's reading transaction: begun by the first cursor opened
  // outside a transaction, committed when its last cursor closes or another
  // statement needs the connection.
  // False (Why says why) when the commit failed and the transaction rolled
  // back.
  bool ReleaseCursorScope(std::string* Why = nullptr);
  void AbortCursorScope(const std::string& Why);
  // Undoes the opening of a cursor that failed or wrote: back to the
  // savepoint qvl_open beside other cursors, else the reading transaction
  // that opening began rolls back.
  void UndoOpen(bool Beside);
  // Whether the driver's reading transaction holds cursors not yet read.
  bool ReadingWithCursors() const;
  // Runs Body inside a savepoint while the reading transaction holds
  // cursors, so that its failure does not take them down.
  void Guarded(const std::function<void()>& F);
  // Runs the query that Send sends (one a cursor could hold: it locks no
  // rows and writes nothing by itself) and returns its result: inside the
  // reading transaction and a savepoint when that holds cursors, so that
  // the cursors' rows are not computed first; else after committing it. A
  // query that wrote all the same commits.
  Result Reading(const std::function<int()>& Send);
  // Runs the query that Send sends inside a savepoint, in one round trip,
  // and returns its result; on failure, rolls back to the savepoint and
  // returns the error. Wrote, when given, tells whether the transaction
  // has written since it began.
  PGresult* Guard(const std::function<int()>& Send, bool* Wrote);
  void CursorOpened(TPostgreSQLStatement* S);
  void CursorClosed(TPostgreSQLStatement* S);
  // Cursors of an ended transaction: kept on commit, lost on rollback.
  void TransactionEnded(bool Committed, const std::string& Why);
  // After application text that may have begun or ended a transaction.
  void SyncTransaction(int StatusBefore);
  void Cleanup();
  // Under transaction pooling: reads the rest of each cursor of the
  // transaction now ending into the client. False (Why says why) when a
  // cursor's rest failed, which ends the transaction.
  bool DrainCursors(std::string* Why);

  // What Commit learns ahead of the COMMIT, in its round trip: the
  // transaction's id, and the server's timeline (a promoted standby starts
  // a new one), which tells whether another session's answer about that id
  // is about this transaction.
  static constexpr const char* kCommitIdQuery =
      "SELECT x, CASE WHEN x IS NOT NULL THEN "
      "substr(pg_catalog.pg_walfile_name(pg_catalog.pg_current_wal_lsn()), 1, 8) END "
      "FROM (SELECT pg_catalog.txid_current_if_assigned() AS x) t";

  PGconn* FConn = nullptr;
  bool FPooled = false;
  int FIdleReadMs = kDefaultIdleReadMs;
  mutable std::string FLostWhy;  // the first error that found the session lost
  std::string FInDoubt;          // "xid/timeline" of the COMMIT the lost session left unanswered
  bool FClosing = false;
  bool FCursorScope = false;
  std::vector<TPostgreSQLStatement*> FCursors;  // open server cursors, not owned
  std::vector<std::string> FPendingCleanup;     // statements to run once the session allows
  int FForgotten = 0;                           // syncs sent by Forget, not read yet
  int FForgottenStatus = 0;                     // the status they were sent in
  TPostgreSQLStatement* FInFlight = nullptr;    // whose FETCH is on the wire ahead
  TPostgreSQLBatch* FInFlightBatch = nullptr;   // whose statements are on the wire
  std::int64_t FNames = 0;
  int FLastFetchRows = 0;
  int FCheckDepth = 0;  // operations under way, for the invariant scope
  mutable std::recursive_mutex FMutex;
  std::condition_variable_any FWake;
  int FUseDepth = 0;
  std::chrono::steady_clock::time_point FLastUse = std::chrono::steady_clock::now();
  // Started with the first reading transaction; stopped and joined first
  // thing in the destructor, before the session goes.
  std::jthread FWatchdog;
};

std::unique_ptr<TSQLDriverConnection> OpenPostgreSQLConnection(const TStrings& Params);

}  // namespace qvl
