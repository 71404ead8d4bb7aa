#include "qvl/host/drivers/PostgreSQLDriver.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string_view>
#include <utility>

#include "qvl/host/drivers/PostgreSQLBatch.h"
#include "qvl/host/drivers/PostgreSQLPipeline.h"
#include "qvl/host/drivers/PostgreSQLStatement.h"
#include "qvl/host/drivers/PostgreSQLTypes.h"
#include "qvl/host/runtime/Invariants.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLText.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl {

using namespace pgtype;

namespace {

constexpr const char* kSessionOptions =
    "-c DateStyle=ISO,YMD -c TimeZone=UTC -c IntervalStyle=postgres -c extra_float_digits=3 "
    "-c bytea_output=hex";

// Connects within TimeoutSeconds (none when not positive), keeping the
// SQLSTATE of the server's refusal (28P01 for a wrong password), which only
// a verbose error message carries while connecting.
PGconn* Connect(const char* const* Keys, const char* const* Values, int TimeoutSeconds) {
  PGconn* c = PQconnectStartParams(Keys, Values, 0);
  if (c == nullptr) throw ESQLDatabaseError(SConnectionOutOfMemory, 0, "08001");
  PQsetErrorVerbosity(c, PQERRORS_VERBOSE);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(std::max(TimeoutSeconds, 0));
  PostgresPollingStatusType status =
      PQstatus(c) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  bool timedOut = false;
  while (status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
    pollfd p{PQsocket(c), static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT),
             0};
    int wait = -1;
    if (TimeoutSeconds > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      timedOut = true;
      break;
    }
    status = PQconnectPoll(c);
  }
  if (!timedOut && PQstatus(c) == CONNECTION_OK) {
    PQsetErrorVerbosity(c, PQERRORS_DEFAULT);
    return c;
  }
  const std::string text = PQerrorMessage(c);
  PQfinish(c);
  if (timedOut) throw ESQLDatabaseError(SConnectTimeout, 0, "08001");
  std::string state, message;
  if (ServerRefusal(text, state, message)) throw ESQLDatabaseError(message, 0, state);
  throw ESQLDatabaseError(LibpqMessage(text.c_str()), 0, "08001");
}

}  // namespace

void TPostgreSQLConnection::ResultDeleter::operator()(PGresult* R) const {
  PQclear(R);
}

TPostgreSQLConnection::TPostgreSQLConnection(const TStrings& Params) {
  std::vector<std::pair<std::string, std::string>> settings;
  auto set = [&](const std::string& Key, const std::string& Value) {
    for (auto& s : settings)
      if (s.first == Key) {
        s.second = Value;
        return;
      }
    settings.emplace_back(Key, Value);
  };
  // The connection string first, so that the named parameters override it.
  for (int i = 0; i < Params.Count(); ++i) {
    if (!SameTextAscii(Params.GetName(i), "ConnectionString")) continue;
    const std::string cs = Params.GetValueFromIndex(i);
    if (cs.empty()) continue;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(cs.c_str(), &error);
    if (options == nullptr) {
      std::string message = error != nullptr ? TrimRightAscii(error) : SInvalidConnectionString;
      PQfreemem(error);
      throw ESQLDatabaseError(message, 0, "08001");
    }
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
      if (o->val != nullptr) set(o->keyword, o->val);
    PQconninfoFree(options);
  }
  std::string userOptions;
  for (int i = 0; i < Params.Count(); ++i) {
    const std::string name = Params.GetName(i);
    const std::string value = Params.GetValueFromIndex(i);
    if (name.empty() || SameTextAscii(name, "ConnectionString")) continue;
    if (SameTextAscii(name, "Pooling")) {
      if (SameTextAscii(value, "Transaction"))
        FPooled = true;
      else if (!SameTextAscii(value, "Session"))
        DatabaseErrorFmt(SInvalidConnectionParam, {value, name});
    } else if (SameTextAscii(name, "IdleReadMs")) {
      std::int64_t ms = 0;
      if (!sqlvalue::ParseInt64(TrimAscii(value), ms) || ms < 0 || ms > INT32_MAX)
        DatabaseErrorFmt(SInvalidConnectionParam, {value, name});
      FIdleReadMs = static_cast<int>(ms);
    } else if (SameTextAscii(name, "HostName")) {
      set("host", value);
    } else if (SameTextAscii(name, "Port")) {
      set("port", value);
    } else if (SameTextAscii(name, "Database")) {
      set("dbname", value);
    } else if (SameTextAscii(name, "User_Name")) {
      set("user", value);
    } else if (SameTextAscii(name, "Password")) {
      set("password", value);
    } else {
      set(LowerCaseAscii(name), value);
    }
  }
  for (auto& s : settings)
    if (s.first == "options") userOptions = s.second;
  // The application's own options come last and win. A transaction pooler
  // refuses them at connect: its sessions take settings by SET instead.
  if (FPooled && !userOptions.empty()) DatabaseErrorFmt(SPooledOptions, {userOptions});
  if (FPooled)
    settings.erase(std::remove_if(settings.begin(), settings.end(),
                                  [](const auto& s) { return s.first == "options"; }),
                   settings.end());
  else
    set("options",
        userOptions.empty() ? kSessionOptions : std::string(kSessionOptions) + " " + userOptions);
  set("client_encoding", "UTF8");
  bool given = false;
  std::int64_t timeout = 0;
  for (auto& s : settings) {
    if (s.first != "connect_timeout") continue;
    given = true;
    if (!sqlvalue::ParseInt64(TrimAscii(s.second), timeout) || timeout > INT32_MAX)
      DatabaseErrorFmt(SInvalidConnectionParam, {s.second, "connect_timeout"});
  }
  if (!given) {
    set("connect_timeout", kDefaultConnectTimeout);
    timeout = std::atoi(kDefaultConnectTimeout);
  }
  std::vector<const char*> keys, values;
  for (auto& s : settings)
    if (s.second.find('\0') != std::string::npos)
      DatabaseErrorFmt(SConnectionParamZeroByte, {s.first});
  for (auto& s : settings) {
    keys.push_back(s.first.c_str());
    values.push_back(s.second.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  FConn = Connect(keys.data(), values.data(), static_cast<int>(timeout));
  // Notices (RAISE NOTICE, implicit index creation) are not errors; the
  // library would print them on stderr.
  PQsetNoticeProcessor(
      FConn, [](void*, const char*) {}, nullptr);
  // What the idle limit must stay under, and, behind a transaction pooler,
  // the settings it carries to whichever server session it hands out.
  try {
    TPostgreSQLPipeline p(*this);
    if (FPooled) {
      p.Query("SET DateStyle = 'ISO, YMD'");
      p.Query("SET TimeZone = 'UTC'");
    }
    const int limit = p.Query(
        "SELECT setting::bigint FROM pg_catalog.pg_settings "
        "WHERE name = 'idle_in_transaction_session_timeout'");
    p.Run();
    Result r = Check(p.Take(limit).release());
    const std::int64_t server = PQntuples(r.get()) == 1 ? std::atoll(PQgetvalue(r.get(), 0, 0)) : 0;
    if (server > 0 && (FIdleReadMs == 0 || FIdleReadMs > server / 2))
      FIdleReadMs = static_cast<int>(std::max<std::int64_t>(server / 2, 1));
  } catch (...) {
    PQfinish(FConn);
    FConn = nullptr;
    throw;
  }
}

TPostgreSQLConnection::~TPostgreSQLConnection() {
  if (FWatchdog.joinable()) {
    FWatchdog.request_stop();
    FWatchdog.join();
  }
  // The server drops prepared statements and cursors with the session, so
  // statements going now do no round trips.
  FClosing = true;
  ReleaseStatements();
  PQfinish(FConn);
}

TPostgreSQLConnection::TUse::TUse(TPostgreSQLConnection& C) : FC(C), FLock(C.FMutex) {
  ++FC.FUseDepth;
}

TPostgreSQLConnection::TUse::~TUse() {
  if (--FC.FUseDepth > 0) return;
  FC.FLastUse = std::chrono::steady_clock::now();
  // A reading transaction begun just now arms the watchdog.
  FC.FWake.notify_one();
}

void TPostgreSQLConnection::StartWatchdog() {
  if (FIdleReadMs <= 0 || FWatchdog.joinable()) return;
  FWatchdog = std::jthread([this](std::stop_token Stop) { Watch(Stop); });
}

void TPostgreSQLConnection::Watch(std::stop_token Stop) {
  std::unique_lock<std::recursive_mutex> lock(FMutex);
  const auto limit = std::chrono::milliseconds(FIdleReadMs);
  while (!Stop.stop_requested()) {
    if (!FCursorScope) {
      FWake.wait(lock, Stop, [this] { return FCursorScope; });
      continue;
    }
    const auto due = FLastUse + limit;
    if (std::chrono::steady_clock::now() < due) {
      FWake.wait_until(lock, Stop, due, [] { return false; });
      continue;
    }
    // Idle long enough, between two operations of the application: the
    // state is whole. What fails here, the reading on reports.
    try {
      QVL_INVARIANT_SCOPE(*this, FCheckDepth);
      ReleaseCursorScope();
    } catch (...) {
    }
    FLastUse = std::chrono::steady_clock::now();
  }
}

PGconn* TPostgreSQLConnection::Handle() {
  TUse use(*this);
  Settle();
  return FConn;
}

std::unique_ptr<TSQLBatch> TPostgreSQLConnection::NewBatch() {
  return std::make_unique<TPostgreSQLBatch>(*this);
}

std::unique_ptr<TSQLStatement> TPostgreSQLConnection::NewStatement(const std::string& Text) {
  return std::make_unique<TPostgreSQLStatement>(this, Text);
}

std::string TPostgreSQLConnection::NextName(const char* Prefix) {
  return Prefix + std::to_string(++FNames);
}

ESQLDatabaseError TPostgreSQLConnection::ErrorOf(const PGresult* R) const {
  ESQLDatabaseError error = ServerErrorOf(R);
  if (PQstatus(FConn) != CONNECTION_BAD) return error;
  // Whatever the server said last (57P01 for a terminated backend), the
  // session is gone: that is what the application must learn, with what
  // told first why (later calls only find no connection).
  if (FLostWhy.empty()) FLostWhy = error.Message();
  return ESQLDatabaseError(Format(SConnectionLost, {FLostWhy}), 0, "08006", error.GetDetail());
}

ESQLDatabaseError TPostgreSQLConnection::ServerErrorOf(const PGresult* R) const {
  const char* primary = R != nullptr ? PQresultErrorField(R, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary != nullptr) {
    const char* state = PQresultErrorField(R, PG_DIAG_SQLSTATE);
    const char* detail = PQresultErrorField(R, PG_DIAG_MESSAGE_DETAIL);
    return ESQLDatabaseError(primary, 0, state != nullptr ? state : "",
                             detail != nullptr ? detail : "");
  }
  std::string message = LibpqMessage(PQerrorMessage(FConn));
  if (message.empty() && R != nullptr) message = PQresStatus(PQresultStatus(R));
  return ESQLDatabaseError(message, 0, PQstatus(FConn) == CONNECTION_OK ? "HY000" : "08006");
}

void TPostgreSQLConnection::Raise(const PGresult* R) const {
  throw ErrorOf(R);
}

TPostgreSQLConnection::Result TPostgreSQLConnection::Check(PGresult* R) const {
  Result hold(R);
  if (R == nullptr) Raise(nullptr);
  switch (PQresultStatus(R)) {
    case PGRES_COMMAND_OK:
    case PGRES_TUPLES_OK:
      return hold;
    case PGRES_EMPTY_QUERY:
      DatabaseError(SNoSQLStatement);
    default:
      Raise(R);
  }
}

// ---- the session's wire ---------------------------------------------------------------

PGconn* TPostgreSQLConnection::PipelineHandle() {
  if (Lost()) return nullptr;
  if (PQpipelineStatus(FConn) == PQ_PIPELINE_OFF && PQenterPipelineMode(FConn) == 0) return nullptr;
  return FConn;
}

void TPostgreSQLConnection::Forget(const std::string& SQL) {
  SettleAhead();
  if (Lost()) return;
  const int before = TransactionStatus();
  PGconn* c = PipelineHandle();
  if (c != nullptr &&
      PQsendQueryParams(c, SQL.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) != 0 &&
      PQpipelineSync(c) != 0) {
    FForgottenStatus = before;
    ++FForgotten;
    return;
  }
  Settle();
  Result r(PQexec(FConn, SQL.c_str()));
}

void TPostgreSQLConnection::ReadForgotten() {
  while (FForgotten > 0) {
    if (Lost()) {
      FForgotten = 0;
      break;
    }
    PGresult* r = PQgetResult(FConn);
    if (r == nullptr) continue;  // the end of one command's results
    const bool sync = PQresultStatus(r) == PGRES_PIPELINE_SYNC;
    PQclear(r);
    if (sync) --FForgotten;
  }
}

void TPostgreSQLConnection::SettleAhead() {
  if (FInFlightBatch != nullptr) FInFlightBatch->Flush();
  if (FInFlight == nullptr) return;
  TPostgreSQLStatement* s = FInFlight;
  FInFlight = nullptr;
  s->TakeAhead();
}

void TPostgreSQLConnection::Settle() {
  SettleAhead();
  if (FForgotten == 0) return;
  ReadForgotten();
  if (!Lost()) PQexitPipelineMode(FConn);
}

void TPostgreSQLConnection::ConsumeInput() {
  PQconsumeInput(FConn);
}

int TPostgreSQLConnection::TransactionStatus() {
  SettleAhead();
  // The commands sent without waiting leave the status as it was.
  return FForgotten > 0 ? FForgottenStatus : PQtransactionStatus(FConn);
}

TPostgreSQLConnection::Result TPostgreSQLConnection::Run(const std::string& SQL) {
  SettleAhead();
  if (FForgotten == 0) return Result(PQexec(FConn, SQL.c_str()));
  TPostgreSQLPipeline p(*this);
  const int r = p.Query(SQL);
  p.Run();
  return p.Take(r);
}

void TPostgreSQLConnection::RunAll(const std::vector<std::string>& Commands) {
  TPostgreSQLPipeline p(*this);
  for (const std::string& sql : Commands) p.Query(sql);
  p.Run();
}

TPostgreSQLConnection::Result TPostgreSQLConnection::RunPrepared(
    const std::string& Name, const std::vector<const char*>& Values,
    const std::vector<int>& Lengths, const std::vector<int>& Formats, int ResultFormat) {
  SettleAhead();
  const int n = static_cast<int>(Values.size());
  if (FForgotten == 0)
    return Result(PQexecPrepared(FConn, Name.c_str(), n, Values.data(), Lengths.data(),
                                 Formats.data(), ResultFormat));
  TPostgreSQLPipeline p(*this);
  const int r = p.Prepared(Name, n, Values.data(), Lengths.data(), Formats.data(), ResultFormat);
  p.Run();
  return p.Take(r);
}

TPostgreSQLConnection::Result TPostgreSQLConnection::Exec(const std::string& SQL) {
  return Check(Run(SQL).release());
}

// ---- the reading transaction -------------------------------------------------------------

bool TPostgreSQLConnection::ReadingWithCursors() const {
  if (!FCursorScope) return false;
  for (TPostgreSQLStatement* s : FCursors)
    if (s->FInTx) return true;
  return false;
}

void TPostgreSQLConnection::Guarded(const std::function<void()>& F) {
  if (!ReadingWithCursors()) {
    F();
    return;
  }
  Exec("SAVEPOINT qvl_guard");
  try {
    F();
  } catch (...) {
    RunAll({"ROLLBACK TO SAVEPOINT qvl_guard", "RELEASE SAVEPOINT qvl_guard"});
    throw;
  }
  Exec("RELEASE SAVEPOINT qvl_guard");
}

PGresult* TPostgreSQLConnection::Guard(const std::function<int()>& Send, bool* Wrote) {
  // One round trip: the savepoint, the query, its release, and whether the
  // transaction has written since it began.
  TPostgreSQLPipeline p(*this);
  const int commands[] = {p.Query("SAVEPOINT qvl_guard"), p.Raw(Send),
                          p.Query("RELEASE SAVEPOINT qvl_guard"),
                          Wrote != nullptr ? p.Query(kWroteQuery) : -1};
  p.Run();
  int failed = -1;
  for (int c : commands)
    if (c >= 0 && !p.Ok(c) && failed < 0) failed = c;
  if (failed < 0) {
    if (Wrote != nullptr) *Wrote = PQgetvalue(p.Get(commands[3]), 0, 0)[0] == 't';
    return p.Take(commands[1]).release();
  }
  Result error = p.Take(failed);
  if (!Lost() && TransactionStatus() == PQTRANS_INERROR)
    RunAll({"ROLLBACK TO SAVEPOINT qvl_guard", "RELEASE SAVEPOINT qvl_guard"});
  if (!Lost() && TransactionStatus() == PQTRANS_INERROR)
    AbortCursorScope(ErrorOf(error.get()).Message());
  return error.release();
}

TPostgreSQLConnection::Result TPostgreSQLConnection::Reading(const std::function<int()>& Send) {
  if (!ReadingWithCursors()) {
    ReleaseCursorScope();
    TPostgreSQLPipeline p(*this);
    const int q = p.Raw(Send);
    p.Run();
    return Check(p.Take(q).release());
  }
  bool wrote = false;
  Result r(Guard(Send, &wrote));
  if (r == nullptr || PQresultStatus(r.get()) == PGRES_FATAL_ERROR) Raise(r.get());
  // A query that wrote (a function that inserts, SELECT INTO) commits now,
  // as it would have outside the reading transaction; when that commit
  // fails (a cursor's rest fails as the server computes it), its changes
  // are gone, and it must not pass for done.
  std::string why;
  if (wrote && !ReleaseCursorScope(&why))
    throw ESQLDatabaseError(Format(SReadingCommitFailed, {why}), 0, "40000");
  return Check(r.release());
}

bool TPostgreSQLConnection::DrainCursors(std::string* Why) {
  if (!FPooled) return true;
  std::vector<TPostgreSQLStatement*> cursors = FCursors;
  for (TPostgreSQLStatement* s : cursors) {
    if (!s->FInTx || std::find(FCursors.begin(), FCursors.end(), s) == FCursors.end()) continue;
    const std::string failed = s->Drain();
    if (failed.empty()) continue;
    if (Why != nullptr) *Why = failed;
    return false;
  }
  return true;
}

bool TPostgreSQLConnection::ReleaseCursorScope(std::string* Why) {
  if (!FCursorScope) return true;
  // Closing the last cursor read into the client commits already; a rest
  // that fails takes the transaction along, as the commit would.
  if (!DrainCursors(Why)) return false;
  if (!FCursorScope) return true;
  FCursorScope = false;
  // Committing turns the held cursors into results the server keeps; a
  // query that fails while the server runs it to its end takes them along.
  Result r = Run("COMMIT");
  if (r != nullptr && PQresultStatus(r.get()) == PGRES_COMMAND_OK &&
      std::string_view(PQcmdStatus(r.get())) == "COMMIT") {
    TransactionEnded(true, "");
    return true;
  }
  std::string why = r != nullptr && PQresultStatus(r.get()) != PGRES_COMMAND_OK
                        ? ErrorOf(r.get()).Message()
                        : std::string(SCursorLost);
  if (TransactionStatus() != PQTRANS_IDLE) Run("ROLLBACK");
  if (Why != nullptr) *Why = why;
  TransactionEnded(false, why == SCursorLost ? why : std::string(SCursorLost) + ": " + why);
  return false;
}

void TPostgreSQLConnection::AbortCursorScope(const std::string& Why) {
  FCursorScope = false;
  Result r = Run("ROLLBACK");
  TransactionEnded(false, std::string(SCursorLost) + ": " + Why);
}

void TPostgreSQLConnection::UndoOpen(bool Beside) {
  if (!Beside) FCursorScope = false;
  if (Lost()) return;
  if (!Beside) {
    if (TransactionStatus() != PQTRANS_IDLE) Run("ROLLBACK");
    return;
  }
  RunAll({"ROLLBACK TO SAVEPOINT qvl_open", "RELEASE SAVEPOINT qvl_open"});
  if (TransactionStatus() == PQTRANS_INERROR) AbortCursorScope(SCursorLost);
}

void TPostgreSQLConnection::CursorOpened(TPostgreSQLStatement* S) {
  FCursors.push_back(S);
}

void TPostgreSQLConnection::CursorClosed(TPostgreSQLStatement* S) {
  FCursors.erase(std::remove(FCursors.begin(), FCursors.end(), S), FCursors.end());
  if (!FCursorScope) return;
  for (TPostgreSQLStatement* s : FCursors)
    if (s->FInTx) return;
  // The reading transaction has nothing left to read.
  FCursorScope = false;
  const bool failed = TransactionStatus() == PQTRANS_INERROR;
  Result r = Run(failed ? "ROLLBACK" : "COMMIT");
}

void TPostgreSQLConnection::TransactionEnded(bool Committed, const std::string& Why) {
  std::vector<TPostgreSQLStatement*> cursors = FCursors;
  for (TPostgreSQLStatement* s : cursors) {
    if (!s->FInTx) continue;
    s->FInTx = false;
    if (!Committed) s->Lose(Why);
  }
}

void TPostgreSQLConnection::SyncTransaction(int StatusBefore) {
  if (StatusBefore == PQTRANS_IDLE || TransactionStatus() != PQTRANS_IDLE) return;
  bool any = false;
  for (TPostgreSQLStatement* s : FCursors) any = any || s->FInTx;
  if (!any) return;
  // The application's own COMMIT or ROLLBACK ended the transaction: the
  // server says which cursors lived through it.
  std::set<std::string> alive;
  Result r = Run("SELECT name FROM pg_catalog.pg_cursors");
  if (r != nullptr && PQresultStatus(r.get()) == PGRES_TUPLES_OK)
    for (int row = 0; row < PQntuples(r.get()); ++row) alive.insert(PQgetvalue(r.get(), row, 0));
  std::vector<TPostgreSQLStatement*> cursors = FCursors;
  for (TPostgreSQLStatement* s : cursors) {
    if (!s->FInTx) continue;
    s->FInTx = false;
    if (alive.count(s->FCursorName) == 0) s->Lose(SCursorRolledBack);
  }
}

void TPostgreSQLConnection::Cleanup() {
  if (FPendingCleanup.empty() || TransactionStatus() == PQTRANS_INERROR) return;
  Settle();
  std::vector<std::string> pending;
  pending.swap(FPendingCleanup);
  // Inside a transaction a statement already gone (DISCARD ALL) must not
  // take the transaction down with its error.
  const bool inTransaction = PQtransactionStatus(FConn) == PQTRANS_INTRANS;
  for (const std::string& sql : pending) {
    if (inTransaction) Result(PQexec(FConn, "SAVEPOINT qvl_cleanup"));
    Result r(PQexec(FConn, sql.c_str()));
    if (!inTransaction) continue;
    if (r == nullptr || PQresultStatus(r.get()) != PGRES_COMMAND_OK)
      Result(PQexec(FConn, "ROLLBACK TO SAVEPOINT qvl_cleanup"));
    Result(PQexec(FConn, "RELEASE SAVEPOINT qvl_cleanup"));
  }
}

// ---- the application's statements and transactions ------------------------------------

std::int64_t TPostgreSQLConnection::ExecuteDirect(const std::string& SQL) {
  TUse use(*this);
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  CheckSQLText(SQL);
  if (ReadingWithCursors() && MayBeCursor(SQL) && OneStatement(SQL)) {
    Cleanup();
    Result r = Reading([&] {
      return PQsendQueryParams(FConn, SQL.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    });
    const char* tuples = PQcmdTuples(r.get());
    return PQresultStatus(r.get()) == PGRES_TUPLES_OK || tuples[0] == '\0' ? 0 : std::stoll(tuples);
  }
  ReleaseCursorScope();
  Cleanup();
  const int before = TransactionStatus();
  Result r;
  try {
    // Text of several statements goes in one message of its own; one
    // statement joins what waits to be read.
    if (!OneStatement(SQL)) Settle();
    r = Exec(SQL);
  } catch (...) {
    SyncTransaction(before);
    throw;
  }
  SyncTransaction(before);
  const char* tuples = PQcmdTuples(r.get());
  if (PQresultStatus(r.get()) == PGRES_TUPLES_OK) return 0;
  return tuples[0] == '\0' ? 0 : std::stoll(tuples);
}

void TPostgreSQLConnection::StartTransaction() {
  TUse use(*this);
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  ReleaseCursorScope();
  Cleanup();
  // A lost session has no transaction status to go by.
  if (Lost()) Raise(nullptr);
  if (TransactionStatus() != PQTRANS_IDLE) DatabaseError(SAlreadyInTransaction);
  Exec("BEGIN");
}

void TPostgreSQLConnection::Commit() {
  TUse use(*this);
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (Lost()) Raise(nullptr);
  if (!InTransaction()) DatabaseError(SNotInTransaction);
  DrainCursors(nullptr);
  // The id comes ahead of the COMMIT, in a group of its own, so that the
  // server has sent it before it commits: should the session be lost
  // before the COMMIT's answer, the id tells another session what to look
  // up.
  Result r, id;
  {
    TPostgreSQLPipeline p(*this);
    const int ask = p.Query(kCommitIdQuery);
    p.Sync();
    const int commit = p.Query("COMMIT");
    p.Run();
    id = p.Take(ask);
    r = p.Take(commit);
  }
  if (r == nullptr || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
    TransactionEnded(false, std::string(SCursorRolledBack));
    const bool known = id != nullptr && PQresultStatus(id.get()) == PGRES_TUPLES_OK;
    // The session may have gone before the id's answer: that says why.
    const PGresult* failed = r != nullptr || known ? r.get() : id.get();
    if (Lost() && known && !PQgetisnull(id.get(), 0, 0)) {
      FInDoubt = std::string(PQgetvalue(id.get(), 0, 0)) + "/" + PQgetvalue(id.get(), 0, 1);
      const ESQLDatabaseError why = ServerErrorOf(failed);
      throw ESQLDatabaseError(Format(SCommitInDoubt, {why.Message()}), 0, "08007", why.GetDetail());
    }
    const ESQLDatabaseError error = ErrorOf(failed);
    // A deferred constraint failed: the server rolled back.
    throw error;
  }
  if (std::string_view(PQcmdStatus(r.get())) == "ROLLBACK") {
    TransactionEnded(false, SCursorRolledBack);
    throw ESQLDatabaseError(STransactionAborted, 0, "25P02");
  }
  TransactionEnded(true, "");
  Cleanup();
}

void TPostgreSQLConnection::Rollback() {
  TUse use(*this);
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (Lost()) Raise(nullptr);
  if (!InTransaction()) DatabaseError(SNotInTransaction);
  Exec("ROLLBACK");
  TransactionEnded(false, SCursorRolledBack);
  Cleanup();
}

bool TPostgreSQLConnection::InTransaction() {
  TUse use(*this);
  const int status = TransactionStatus();
  return !FCursorScope && status != PQTRANS_IDLE && status != PQTRANS_UNKNOWN;
}

TCommitOutcome TPostgreSQLConnection::CommitOutcome(const std::string& Id) {
  TUse use(*this);
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  const std::size_t slash = Id.find('/');
  std::int64_t xid = 0;
  if (slash == std::string::npos || !sqlvalue::ParseInt64(Id.substr(0, slash), xid))
    return coUnknown;
  const std::string xidText = std::to_string(xid);
  const std::string timeline = Id.substr(slash + 1);
  // The session that committed may still be ending on the server (a
  // terminated backend finishes its COMMIT first): its transaction shows
  // as in progress until then.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    const char* values[1] = {xidText.c_str()};
    auto send = [&] {
      return PQsendQueryParams(
          FConn,
          "SELECT pg_catalog.txid_status($1::bigint), "
          "substr(pg_catalog.pg_walfile_name(pg_catalog.pg_current_wal_lsn()), 1, 8)",
          1, nullptr, values, nullptr, nullptr, 0);
    };
    Result r;
    if (TransactionStatus() == PQTRANS_IDLE) {
      ReleaseCursorScope();
      Cleanup();
      TPostgreSQLPipeline p(*this);
      const int q = p.Raw(send);
      p.Run();
      r = p.Take(q);
    } else {
      r.reset(Guard(send, nullptr));
    }
    // An id the server never gave out (txid_status raises 22023): the
    // transaction never reached this server.
    const char* state = r != nullptr ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
    if (state != nullptr && std::string_view(state) == "22023") return coRolledBack;
    r = Check(r.release());
    const std::string status = PQgetisnull(r.get(), 0, 0) ? "" : PQgetvalue(r.get(), 0, 0);
    const bool sameTimeline = timeline == PQgetvalue(r.get(), 0, 1);
    if (status == "aborted") return coRolledBack;
    if (status == "committed" && sameTimeline) return coCommitted;
    if (status != "in progress" || std::chrono::steady_clock::now() > deadline) break;
    ::poll(nullptr, 0, 50);
  }
  return coUnknown;
}

bool TPostgreSQLConnection::Lost() const {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  return PQstatus(FConn) == CONNECTION_BAD;
}

std::string TPostgreSQLConnection::StoredProcCall(const std::string& Name,
                                                  const std::vector<TParamType>& Modes) {
  if (Name.empty()) DatabaseError(SNoStoredProcName);
  const std::vector<std::string> parts = SplitSQLName(Name, true);
  const std::string& proc = parts.back();
  TUse use(*this);
  Settle();
  const char* values[2] = {proc.c_str(),
                           parts.size() > 1 ? parts[parts.size() - 2].c_str() : nullptr};
  auto r = Check(PQexecParams(
      FConn,
      "SELECT p.prokind FROM pg_catalog.pg_proc p "
      "JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE p.proname = $1 AND "
      "(($2::text IS NULL AND pg_catalog.pg_function_is_visible(p.oid)) OR n.nspname = $2)",
      2, nullptr, values, nullptr, nullptr, 0));
  bool procedure = false;
  for (int row = 0; row < PQntuples(r.get()); ++row)
    procedure = procedure || PQgetvalue(r.get(), row, 0)[0] == 'p';
  // Functions return their output parameters as the columns of their rows;
  // procedures take a NULL in the place of each and return one row.
  std::string args;
  for (TParamType mode : Modes) {
    std::string arg;
    if (mode == ptResult) continue;
    if (mode == ptOutput) {
      if (!procedure) continue;
      arg = "NULL";
    } else {
      arg = "?";
    }
    if (!args.empty()) args += ", ";
    args += arg;
  }
  return (procedure ? "CALL " : "SELECT * FROM ") + QuoteSQLName(parts, GetQuoteChar()) + "(" +
         args + ")";
}

std::string TPostgreSQLConnection::InvariantFault() const {
  bool reading = false;
  for (std::size_t i = 0; i < FCursors.size(); ++i) {
    const TPostgreSQLStatement* s = FCursors[i];
    const std::string which =
        "cursor " + std::to_string(i + 1) + " of " + std::to_string(FCursors.size());
    if (s == nullptr) return which + " is null";
    if (std::find(FCursors.begin() + static_cast<std::ptrdiff_t>(i) + 1, FCursors.end(), s) !=
        FCursors.end())
      return which + " is listed twice";
    if (s->Conn() != this) return which + " belongs to another connection";
    if (!s->FServerOpen || s->FServerEnd || !s->FLost.empty())
      return which + " is listed but has no rows left on the server";
    if (s->FState == TPostgreSQLStatement::State::Idle) return which + " is listed but closed";
    reading = reading || s->FInTx;
  }
  if (FCursorScope && !reading) return "the reading transaction holds no cursor";
  // What the session says; nothing to compare with once it is gone or while
  // a query is still under way.
  if (FConn == nullptr || Lost()) return "";
  const PGTransactionStatusType status = PQtransactionStatus(FConn);
  if (status != PQTRANS_IDLE) return "";
  if (FCursorScope) return "the reading transaction is open but the session is idle";
  if (reading) return "a cursor of an open transaction is listed but the session is idle";
  return "";
}

std::unique_ptr<TSQLDriverConnection> OpenPostgreSQLConnection(const TStrings& Params) {
  return std::make_unique<TPostgreSQLConnection>(Params);
}

}  // namespace qvl
