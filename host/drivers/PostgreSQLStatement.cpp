#include "qvl/host/drivers/PostgreSQLStatement.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/Invariants.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLText.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl {

using namespace pgtype;

TPostgreSQLStatement::TPostgreSQLStatement(TPostgreSQLConnection* Connection,
                                           const std::string& Text)
    : TSQLStatement(Connection, Text) {
  int markers = 0;
  FSQL = RewritePostgreSQLMarkers(Text, markers);
  if (markers > kMaxParams) DatabaseErrorFmt(STooManyParams, {std::to_string(markers)});
  Connection->Cleanup();
  try {
    Connection->Guarded([this] { Prepare(); });
  } catch (...) {
    // Prepared statements are not transactional: drop what was made.
    if (!FName.empty()) Connection->FPendingCleanup.push_back("DEALLOCATE " + FName);
    if (!FDeclareName.empty()) Connection->FPendingCleanup.push_back("DEALLOCATE " + FDeclareName);
    Connection->Cleanup();
    throw;
  }
}

void TPostgreSQLStatement::Prepare() {
  TPostgreSQLConnection* c = Conn();
  PGconn* pg = c->FConn;
  std::string name = c->NextName("qvl_s");
  c->Check(PQprepare(pg, name.c_str(), FSQL.c_str(), 0, nullptr));
  FName = name;
  c->CountPrepare();
  TPostgreSQLConnection::Result d;
  if (std::count(FSQL.begin(), FSQL.end(), '$') > kDescribableParams) {
    d = DescribeManyParams();
  } else {
    d = c->Check(PQdescribePrepared(pg, FName.c_str()));
    FParamTypes.resize(static_cast<std::size_t>(PQnparams(d.get())));
    for (int i = 0; i < PQnparams(d.get()); ++i)
      FParamTypes[static_cast<std::size_t>(i)] = PQparamtype(d.get(), i);
  }
  if (PQnfields(d.get()) > 0) {
    FIsQuery = true;
    DescribeColumns(d.get());
  }
  FCursorable = FIsQuery && MayBeCursor(FSQL) && PrepareCursor();
}

TPostgreSQLConnection::Result TPostgreSQLStatement::DescribeManyParams() {
  TPostgreSQLConnection* c = Conn();
  PGconn* pg = c->FConn;
  const char* values[] = {FName.c_str()};
  auto types = c->Check(PQexecParams(
      pg,
      "SELECT t::oid, t::text FROM pg_catalog.pg_prepared_statements s, "
      "unnest(s.parameter_types) WITH ORDINALITY AS u(t, i) WHERE s.name = $1 ORDER BY i",
      1, nullptr, values, nullptr, nullptr, 0));
  const int n = PQntuples(types.get());
  FParamTypes.resize(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    FParamTypes[static_cast<std::size_t>(i)] =
        static_cast<Oid>(std::stoul(PQgetvalue(types.get(), i, 0)));
  // The result columns come from the same text with each parameter a typed
  // NULL: the server resolves it exactly as it resolved the parameter.
  std::string shadow;
  shadow.reserve(FSQL.size() + static_cast<std::size_t>(n) * 16);
  std::size_t i = 0;
  while (i < FSQL.size()) {
    const std::size_t skip = SkipSQLLiteral(FSQL, i);
    if (skip != i) {
      shadow.append(FSQL, i, skip - i);
      i = skip;
      continue;
    }
    const bool word = i > 0 && (std::isalnum(static_cast<unsigned char>(FSQL[i - 1])) != 0 ||
                                FSQL[i - 1] == '_' || FSQL[i - 1] == '$');
    std::size_t end = i + 1;
    while (end < FSQL.size() && std::isdigit(static_cast<unsigned char>(FSQL[end])) != 0) ++end;
    const long number = FSQL[i] == '$' && !word && end > i + 1 && end - i < 8
                            ? std::stol(FSQL.substr(i + 1, end - i - 1))
                            : 0;
    if (number < 1 || number > n) {
      shadow += FSQL[i++];
      continue;
    }
    shadow += "(NULL::";
    shadow += PQgetvalue(types.get(), static_cast<int>(number - 1), 1);
    shadow += ')';
    i = end;
  }
  c->Check(PQprepare(pg, "", shadow.c_str(), 0, nullptr));
  return c->Check(PQdescribePrepared(pg, ""));
}

bool TPostgreSQLStatement::PrepareCursor() {
  // The server refuses a held cursor for what it cannot hold (FOR UPDATE,
  // data-modifying WITH, SELECT INTO); such statements run directly. Its
  // refusal must not end an open transaction.
  TPostgreSQLConnection* c = Conn();
  PGconn* pg = c->FConn;
  const bool inTransaction = PQtransactionStatus(pg) == PQTRANS_INTRANS;
  if (inTransaction) c->Exec("SAVEPOINT qvl_declare");
  const std::string cursor = c->NextName("qvl_c");
  const std::string declare = c->NextName("qvl_d");
  const std::string text = "DECLARE " + cursor + " NO SCROLL CURSOR WITH HOLD FOR " + FSQL;
  TPostgreSQLConnection::Result r(PQprepare(
      pg, declare.c_str(), text.c_str(), static_cast<int>(FParamTypes.size()), FParamTypes.data()));
  const bool prepared = r != nullptr && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
  if (inTransaction) {
    if (!prepared) c->Exec("ROLLBACK TO SAVEPOINT qvl_declare");
    c->Exec("RELEASE SAVEPOINT qvl_declare");
  }
  if (c->Lost()) c->Raise(r.get());
  if (!prepared) return false;
  FCursorName = cursor;
  FDeclareName = declare;
  return true;
}

bool TPostgreSQLStatement::ShapeChanged(const PGresult* Rows) const {
  if (Rows == nullptr) return false;
  const int n = PQnfields(Rows);
  if (static_cast<std::size_t>(n) != FTypes.size()) return true;
  for (int i = 0; i < n; ++i)
    if (PQftype(Rows, i) != FTypes[static_cast<std::size_t>(i)] ||
        PQfmod(Rows, i) != FMods[static_cast<std::size_t>(i)])
      return true;
  return false;
}

template <class Body>
auto TPostgreSQLStatement::WithFreshPlan(Body&& F) -> decltype(F()) {
  try {
    return F();
  } catch (const ESQLDatabaseError& E) {
    TPostgreSQLConnection* c = Conn();
    // A table changed under the plan, or the session forgot its prepared
    // statements (DISCARD ALL, DEALLOCATE ALL).
    const bool changed =
        E.GetSQLState() == "0A000" && E.Message().find("cached plan") != std::string::npos;
    const bool forgotten = E.GetSQLState() == "26000";
    if ((!changed && !forgotten) || PQtransactionStatus(c->FConn) == PQTRANS_INERROR) throw;
    // Prepared statements are not transactional: drop the old ones now.
    if (changed && !FName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FName);
    if (changed && !FDeclareName.empty())
      c->FPendingCleanup.push_back("DEALLOCATE " + FDeclareName);
    FName.clear();
    FDeclareName.clear();
    c->Cleanup();
    c->Guarded([this] { Prepare(); });
  }
  return F();
}

TPostgreSQLStatement::TBaseColumns TPostgreSQLStatement::ReadBaseColumns(const PGresult* D) const {
  TBaseColumns columns;
  std::set<Oid> tables;
  for (int i = 0; i < PQnfields(D); ++i)
    if (PQftable(D, i) != InvalidOid) tables.insert(PQftable(D, i));
  if (tables.empty()) return columns;
  TPostgreSQLConnection* c = Conn();
  const std::string arr = OidArray(tables);
  const char* values[] = {arr.c_str()};
  auto r = c->Check(PQexecParams(
      c->FConn,
      "SELECT a.attrelid, a.attnum, a.attname, a.attnotnull, a.attgenerated <> '', "
      "a.attidentity, COALESCE(a.attnum = ANY (i.indkey), false), c.relname, a.atthasdef "
      "FROM pg_catalog.pg_attribute a "
      "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
      "LEFT JOIN pg_catalog.pg_index i ON i.indrelid = a.attrelid AND i.indisprimary "
      "WHERE a.attrelid = ANY ($1::oid[]) AND a.attnum > 0 AND NOT a.attisdropped",
      1, nullptr, values, nullptr, nullptr, 0));
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    auto flag = [&](int Column) { return PQgetvalue(r.get(), row, Column)[0] == 't'; };
    const char identity = PQgetvalue(r.get(), row, 5)[0];
    TBaseColumn& b = columns[{static_cast<Oid>(std::stoul(PQgetvalue(r.get(), row, 0))),
                              std::stoi(PQgetvalue(r.get(), row, 1))}];
    b.Name = PQgetvalue(r.get(), row, 2);
    b.Table = PQgetvalue(r.get(), row, 7);
    b.IdentityAlways = identity == 'a';
    b.Facts = {.NotNull = flag(3),
               .FilledByServer = flag(8) || identity != '\0',
               .Generated = flag(4),
               .RefusesValues = identity == 'a',
               .InKey = flag(6)};
  }
  return columns;
}

TPostgreSQLStatement::TColumnTypes TPostgreSQLStatement::ResolveTypes(const PGresult* D) const {
  TColumnTypes t;
  const int n = PQnfields(D);
  for (int i = 0; i < n; ++i) {
    t.Types.push_back(PQftype(D, i));
    t.Mods.push_back(PQfmod(D, i));
  }
  // Domains over domains: a few rounds reach the base type.
  TPostgreSQLConnection* c = Conn();
  for (int round = 0; round < 8; ++round) {
    std::set<Oid> unknown;
    TSQLColumnDesc probe;
    for (Oid type : t.Types)
      if (!MapBuiltin(type, -1, probe) && t.Enums.count(type) == 0) unknown.insert(type);
    if (unknown.empty()) break;
    const std::string arr = OidArray(unknown);
    const char* values[] = {arr.c_str()};
    auto r = c->Check(PQexecParams(c->FConn,
                                   "SELECT oid, typtype, typbasetype, typtypmod FROM "
                                   "pg_catalog.pg_type WHERE oid = ANY ($1::oid[])",
                                   1, nullptr, values, nullptr, nullptr, 0));
    bool changed = false;
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const Oid oid = static_cast<Oid>(std::stoul(PQgetvalue(r.get(), row, 0)));
      const char kind = PQgetvalue(r.get(), row, 1)[0];
      if (kind == 'e') t.Enums.insert(oid);
      if (kind != 'd') continue;
      const Oid base = static_cast<Oid>(std::stoul(PQgetvalue(r.get(), row, 2)));
      const int baseMod = std::stoi(PQgetvalue(r.get(), row, 3));
      for (std::size_t i = 0; i < t.Types.size(); ++i)
        if (t.Types[i] == oid) {
          t.Types[i] = base;
          if (t.Mods[i] < 0) t.Mods[i] = baseMod;
          changed = true;
        }
    }
    if (!changed) break;
  }
  return t;
}

void TPostgreSQLStatement::DescribeColumns(const PGresult* D) {
  const auto n = static_cast<std::size_t>(PQnfields(D));
  FColumns.assign(n, TSQLColumnDesc{});
  FRetyped.clear();
  FReaders.assign(n, &ReadValue);
  FBytea.assign(n, false);
  FBinaryKinds.assign(n, TBinaryKind::No);
  FTypes.assign(n, 0);
  FMods.assign(n, 0);
  const TBaseColumns base = ReadBaseColumns(D);
  const TColumnTypes types = ResolveTypes(D);
  for (std::size_t k = 0; k < n; ++k) {
    const int i = static_cast<int>(k);
    TSQLColumnDesc& col = FColumns[k];
    FTypes[k] = PQftype(D, i);
    FMods[k] = PQfmod(D, i);
    col.Name = PQfname(D, i);
    // Types the driver does not know by number: enumerations hold labels,
    // which are names of at most 63 bytes; anything else reads as text.
    if (!MapBuiltin(types.Types[k], types.Mods[k], col)) {
      col.DataType = types.Enums.count(types.Types[k]) != 0 ? ftString : ftMemo;
      col.Size = col.DataType == ftString ? 63 : 0;
    }
    FBytea[k] = types.Types[k] == kBytea;
    col.Comparable = HasEquality(types.Types[k]);
    FBinaryKinds[k] = BinaryKindOf(types.Types[k], types.Enums.count(types.Types[k]) != 0);
    auto it = base.find({PQftable(D, i), PQftablecol(D, i)});
    if (it == base.end()) {
      sqlpolicy::ApplyExpression(col);
      continue;
    }
    col.OriginTable = it->second.Table;
    col.OriginColumn = it->second.Name;
    sqlpolicy::ApplyBaseColumn(col, it->second.Facts);
    if (it->second.IdentityAlways && col.DataType == ftInteger) col.DataType = ftAutoInc;
  }
  // libpq takes one result format for all columns: binary only when every
  // column reads in it. Floats need it to be exact; bytea comes in half the
  // memory of its hex text.
  bool needed = false, binary = true;
  for (std::size_t k = 0; k < n; ++k) {
    const TBinaryKind kind = FBinaryKinds[k];
    needed = needed || kind == TBinaryKind::Float4 || kind == TBinaryKind::Float8 || FBytea[k];
    binary = binary && kind != TBinaryKind::No;
  }
  FBinary = needed && binary;
}

TPostgreSQLStatement::~TPostgreSQLStatement() {
  FBatch.reset();
  if (FConnection == nullptr || Conn()->FClosing) return;
  TPostgreSQLConnection* c = Conn();
  QVL_INVARIANT_SCOPE(*c, c->FCheckDepth);
  if (FServerOpen) {
    try {
      CloseServerCursor();
    } catch (...) {
      // The server drops the cursor with its session at the latest.
    }
  }
  c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
  if (!FName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FName);
  if (!FDeclareName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FDeclareName);
  c->Cleanup();
}

void TPostgreSQLStatement::Detach() {
  FBatch.reset();
  FServerOpen = false;
  FState = State::Idle;
  FOnRow = false;
}

void TPostgreSQLStatement::Bind(const TParams* Params, Bound& B) const {
  const std::size_t n = FParamTypes.size();
  const std::size_t given = Params == nullptr ? 0 : static_cast<std::size_t>(Params->Count());
  if (given != n) DatabaseErrorFmt(SParamCountMismatch, {std::to_string(n), std::to_string(given)});
  B.Storage.assign(n, std::string());
  B.Values.assign(n, nullptr);
  B.Lengths.assign(n, 0);
  B.Formats.assign(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const TParam& p = *Params->Items(static_cast<int>(k));
    const Variant& v = p.GetValue();
    const Oid target = FParamTypes[k];
    const std::string number = std::to_string(k + 1);
    std::string& s = B.Storage[k];
    switch (v.VarType()) {
      case varEmpty:
      case varNull:
        continue;
      case varBoolean:
        s = v.AsBoolean() ? "true" : "false";
        break;
      case varInteger:
      case varInt64:
        s = std::to_string(v.AsInt64());
        break;
      case varDouble:
        s = sqlvalue::DoubleToText(v.AsFloat());
        break;
      case varBcd:
        s = v.AsBcd();
        break;
      case varDate: {
        s = sqlpolicy::TemporalParamText(v.AsDateTime(), TemporalKindOf(target, p.GetDataType()),
                                         true, static_cast<int>(k + 1));
        // The session's zone is UTC: a zone-aware target is told so.
        if (target == kTimetz) s += "+00";
        if (target == kTimestamptz && !v.AsDateTime().IsInfinite()) {
          std::size_t bc = s.find(" BC");
          s.insert(bc == std::string::npos ? s.size() : bc, "+00");
        }
        break;
      }
      case varString:
        s = v.AsString();
        break;
      case varBytes: {
        const TBytes bytes = v.AsBytes();
        s.assign(bytes.begin(), bytes.end());
        break;
      }
      case varArray:
        DatabaseErrorFmt(SArrayParamNotSupported, {number});
    }
    if (target == kBytea && (v.VarType() == varString || v.VarType() == varBytes)) {
      B.Formats[k] = 1;  // binary: the bytes as they are
      B.Lengths[k] = static_cast<int>(s.size());
    } else if (s.find('\0') != std::string::npos) {
      DatabaseErrorFmt(SParamHasZeroByte, {number});
    }
    B.Values[k] = s.c_str();
  }
}

PGresult* TPostgreSQLStatement::Run(const std::string& Name, const Bound& B) const {
  return PQexecPrepared(Conn()->FConn, Name.c_str(), static_cast<int>(B.Values.size()),
                        B.Values.data(), B.Lengths.data(), B.Formats.data(), FBinary ? 1 : 0);
}

std::int64_t TPostgreSQLStatement::Execute(const TParams* Params) {
  CheckAttached();
  QVL_INVARIANT_SCOPE(*Conn(), Conn()->FCheckDepth);
  CloseCursor();
  TPostgreSQLConnection* c = Conn();
  Bound b;
  Bind(Params, b);
  TPostgreSQLConnection::Result r;
  if (FCursorable) {
    c->Cleanup();
    r = WithFreshPlan([&] {
      return c->Reading([&] {
        return PQsendQueryPrepared(c->FConn, FName.c_str(), static_cast<int>(b.Values.size()),
                                   b.Values.data(), b.Lengths.data(), b.Formats.data(), 0);
      });
    });
  } else {
    c->ReleaseCursorScope();
    c->Cleanup();
    r = WithFreshPlan([&] {
      const int before = PQtransactionStatus(c->FConn);
      try {
        auto result = c->Check(Run(FName, b));
        c->SyncTransaction(before);
        return result;
      } catch (...) {
        c->SyncTransaction(before);
        throw;
      }
    });
  }
  const std::string_view tag = PQcmdStatus(r.get());
  if (FIsQuery && tag.substr(0, 6) == "SELECT") return 0;
  const char* tuples = PQcmdTuples(r.get());
  return tuples[0] == '\0' ? 0 : std::stoll(tuples);
}

void TPostgreSQLStatement::Open(const TParams* Params) {
  CheckAttached();
  QVL_INVARIANT_SCOPE(*Conn(), Conn()->FCheckDepth);
  CloseCursor();
  if (!FIsQuery) DatabaseError(SNoResultSet);
  // Each opening starts from the server's types: fields built anew must not
  // inherit an earlier dataset's typed fields.
  for (auto& [index, original] : FRetyped) FColumns[static_cast<std::size_t>(index)] = original;
  FRetyped.clear();
  TPostgreSQLConnection* c = Conn();
  Bound b;
  Bind(Params, b);
  c->Cleanup();
  FLost.clear();
  FOnRow = false;
  FRow = -1;
  FBatchRows = 0;
  FBatchSize = kFirstBatch;
  FServerEnd = false;
  if (FCursorable) {
    OpenCursor(b);
  } else {
    c->ReleaseCursorScope();
    FBatch = WithFreshPlan([&] {
      const int before = PQtransactionStatus(c->FConn);
      try {
        auto result = c->Check(Run(FName, b));
        c->SyncTransaction(before);
        return result;
      } catch (...) {
        c->SyncTransaction(before);
        throw;
      }
    });
    FBatchRows = PQntuples(FBatch.get());
    FServerEnd = true;
  }
  FState = State::Open;
}

void TPostgreSQLStatement::OpenCursor(const Bound& B) {
  TPostgreSQLConnection* c = Conn();
  // Beside cursors of the reading transaction, the query runs under a
  // savepoint until its first rows tell whether it wrote: a query that
  // wrote must commit at once, and the others' rows cannot be computed in
  // that commit without the risk that one of them fails and takes the
  // writes along. So such a query is undone, the others are committed
  // (kept by the server), and it runs again in a transaction of its own.
  const bool beside = c->ReadingWithCursors();
  bool wrote = false;
  if (beside) c->Exec("SAVEPOINT qvl_open");
  try {
    WithFreshPlan([&] {
      c->BeginCursorScope();
      try {
        c->Guarded([&] { c->Check(Run(FDeclareName, B)); });
      } catch (...) {
        c->CursorClosed(nullptr);  // ends a reading transaction left without cursors
        throw;
      }
      return 0;
    });
    FServerOpen = true;
    FInTx = PQtransactionStatus(c->FConn) != PQTRANS_IDLE;
    c->CursorOpened(this);
    FState = State::Open;
    // The first rows come now: their description tells whether a table
    // changed under the prepared plan, before anyone builds fields on it.
    wrote = FetchBatch();
  } catch (...) {
    if (beside) ForgetOpen();
    throw;
  }
  if (beside && wrote) {
    ForgetOpen();
    c->ReleaseCursorScope();
    OpenCursor(B);
    return;
  }
  if (beside) c->Exec("RELEASE SAVEPOINT qvl_open");
  if (wrote) CommitWrites();
  if (ShapeChanged(FBatch.get())) DescribeColumns(FBatch.get());
}

void TPostgreSQLStatement::ForgetOpen() {
  TPostgreSQLConnection* c = Conn();
  FBatch.reset();
  FBatchRows = 0;
  FServerOpen = false;
  FState = State::Idle;
  c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
  // The cursor was declared under the savepoint: rolling back drops it.
  if (!c->Lost() && PQtransactionStatus(c->FConn) != PQTRANS_IDLE)
    TPostgreSQLConnection::Result undo(
        PQexec(c->FConn, "ROLLBACK TO SAVEPOINT qvl_open; RELEASE SAVEPOINT qvl_open"));
}

bool TPostgreSQLStatement::Next() {
  switch (FState) {
    case State::Idle:
      CheckAttached();
      DatabaseError(SCursorNotOpen);
    case State::AtEnd:
      return false;
    case State::Open:
      break;
  }
  if (FRow + 1 < FBatchRows) {
    ++FRow;
    FOnRow = true;
    return true;
  }
  FOnRow = false;
  if (!FLost.empty()) {
    FRow = FBatchRows;
    DatabaseError(FLost);
  }
  if (!FServerEnd) {
    if (FetchBatch()) CommitWrites();
    if (FBatchRows > 0) {
      FRow = 0;
      FOnRow = true;
      return true;
    }
  }
  FBatch.reset();
  FBatchRows = 0;
  FRow = -1;
  FState = State::AtEnd;
  return false;
}

bool TPostgreSQLStatement::FetchBatch() {
  TPostgreSQLConnection* c = Conn();
  QVL_INVARIANT_SCOPE(*c, c->FCheckDepth);
  FBatch.reset();
  FBatchRows = 0;
  const int asked = FBatchSize;
  c->FLastFetchRows = asked;
  const std::string sql = "FETCH FORWARD " + std::to_string(asked) + " FROM " + FCursorName;
  // In the reading transaction the rows are computed as they are fetched,
  // so a FETCH may write (a function that inserts): the answer comes in the
  // same round trip. While other cursors read in that transaction, a failing
  // FETCH (division by zero in a later row) must end only its own cursor.
  const bool reading = FInTx && c->FCursorScope;
  bool others = false;
  if (reading)
    for (TPostgreSQLStatement* s : c->FCursors) others = others || (s != this && s->FInTx);
  auto send = [&] {
    return PQsendQueryParams(c->FConn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr,
                             FBinary ? 1 : 0);
  };
  bool wrote = false;
  PGresult* r = nullptr;
  if (others) {
    r = c->Guard(send, &wrote);
  } else if (reading) {
    r = c->Wrote(send, wrote);
  } else if (!FBinary) {
    r = PQexec(c->FConn, sql.c_str());
  } else if (send() != 0) {
    while (PGresult* next = PQgetResult(c->FConn)) {
      PQclear(r);
      r = next;
    }
  }
  if (r == nullptr || PQresultStatus(r) != PGRES_TUPLES_OK) {
    TPostgreSQLConnection::Result hold(r);
    ESQLDatabaseError error = c->ErrorOf(r);
    FServerOpen = false;
    FServerEnd = true;
    const bool inOwnScope = FInTx && c->FCursorScope;
    c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
    if (others && !c->Lost()) {
      // Rolled back to the savepoint: the cursor is failed, the others read on.
      TPostgreSQLConnection::Result close(PQexec(c->FConn, ("CLOSE " + FCursorName).c_str()));
    } else if (inOwnScope) {
      c->AbortCursorScope(error.Message());
    }
    FState = State::Idle;
    throw error;
  }
  FBatch.reset(r);
  FBatchRows = PQntuples(r);
  if (FBatchRows < asked) {
    FServerEnd = true;
    CloseServerCursor();
  }
  // Size the next batch from the bytes per row of this one.
  std::size_t bytes = 0;
  const int cols = PQnfields(r);
  for (int row = 0; row < FBatchRows; ++row)
    for (int col = 0; col < cols; ++col)
      bytes += static_cast<std::size_t>(PQgetlength(r, row, col)) + 16;
  const std::size_t perRow = FBatchRows > 0 ? bytes / static_cast<std::size_t>(FBatchRows) + 1 : 1;
  const std::size_t byBytes = std::max<std::size_t>(1, kBatchBytes / perRow);
  const auto grown = static_cast<std::size_t>(std::max(asked * 2, kSecondBatch));
  FBatchSize = static_cast<int>(std::min<std::size_t>({grown, kMaxBatch, byBytes}));
  // Closing the last cursor committed the reading transaction already.
  return wrote && c->FCursorScope;
}

void TPostgreSQLStatement::CommitWrites() {
  std::string why;
  if (!Conn()->ReleaseCursorScope(&why))
    throw ESQLDatabaseError(Format(SReadingCommitFailed, {why}), 0, "40000");
}

void TPostgreSQLStatement::CloseServerCursor() {
  if (!FServerOpen) return;
  FServerOpen = false;
  TPostgreSQLConnection* c = Conn();
  if (PQtransactionStatus(c->FConn) == PQTRANS_INERROR) {
    // The failed transaction takes a cursor declared in it along; a held
    // one outlives it and is closed once the session takes statements again.
    if (!FInTx) c->FPendingCleanup.push_back("CLOSE " + FCursorName);
  } else {
    TPostgreSQLConnection::Result r(PQexec(c->FConn, ("CLOSE " + FCursorName).c_str()));
  }
  c->CursorClosed(this);
}

void TPostgreSQLStatement::Lose(const std::string& Why) {
  FServerOpen = false;
  FLost = Why;
  TPostgreSQLConnection* c = Conn();
  c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
}

void TPostgreSQLStatement::CloseCursor() {
  // A detached statement is idle already (Detach).
  if (FState == State::Idle || FConnection == nullptr) return;
  QVL_INVARIANT_SCOPE(*Conn(), Conn()->FCheckDepth);
  FBatch.reset();
  FBatchRows = 0;
  FRow = -1;
  FState = State::Idle;
  FOnRow = false;
  CloseServerCursor();
}

bool TPostgreSQLStatement::IsNull(int Index) {
  CheckRow();
  CheckIndex(Index);
  return PQgetisnull(FBatch.get(), FRow, Index) != 0;
}

bool TPostgreSQLStatement::ReadValue(TSQLStatement* Self, int Index, void* Buffer) {
  auto* s = static_cast<TPostgreSQLStatement*>(Self);
  return s->Read(Index, Buffer);
}

bool TPostgreSQLStatement::Read(int Index, void* Buffer) {
  const TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(Index)];
  if (c.DataType == ftVariant) {
    auto& cell = *static_cast<TVariantCell*>(Buffer);
    if (PQgetisnull(FBatch.get(), FRow, Index)) {
      cell.Clear();
      return false;
    }
    ReadDecimalVariant(
        c, PQfformat(FBatch.get(), Index) == 1,
        std::string_view(PQgetvalue(FBatch.get(), FRow, Index),
                         static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index))),
        cell);
    return true;
  }
  if (IsBlobType(c.DataType)) return GetBlob(Index, *static_cast<TBlobByteData*>(Buffer));
  if (PQgetisnull(FBatch.get(), FRow, Index)) return false;
  if (PQfformat(FBatch.get(), Index) == 1) {
    ReadBinary(Index, Buffer);
    return true;
  }
  sqlvalue::PutText(
      c,
      std::string_view(PQgetvalue(FBatch.get(), FRow, Index),
                       static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index))),
      Buffer);
  return true;
}

bool TPostgreSQLStatement::RetypeColumn(int Index, TFieldType Type, int Size, int Precision) {
  if (Index < 0 || static_cast<std::size_t>(Index) >= FColumns.size()) return false;
  TSQLColumnDesc& c = FColumns[static_cast<std::size_t>(Index)];
  // Typed fields of an application read the decimal text as they read any
  // column's text, with their own range errors.
  const bool typed = IsExactNumericType(Type) || IsStringType(Type) || Type == ftFloat ||
                     Type == ftSmallint || Type == ftInteger || Type == ftLargeint;
  if (c.DataType != ftVariant || !typed) return false;
  FRetyped.emplace_back(Index, c);
  c.DataType = Type;
  c.Size = Size;
  c.Precision = Precision;
  return true;
}

void TPostgreSQLStatement::ReadBinary(int Index, void* Buffer) {
  PutBinary(FColumns[static_cast<std::size_t>(Index)],
            FBinaryKinds[static_cast<std::size_t>(Index)], PQgetvalue(FBatch.get(), FRow, Index),
            static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index)), Buffer);
}

bool TPostgreSQLStatement::GetBlob(int Index, TBlobByteData& Value) {
  CheckRow();
  CheckIndex(Index);
  if (PQgetisnull(FBatch.get(), FRow, Index)) {
    Value.Clear();
    return false;
  }
  const char* text = PQgetvalue(FBatch.get(), FRow, Index);
  const auto length = static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index));
  const bool binary = PQfformat(FBatch.get(), Index) == 1;
  if (FColumns[static_cast<std::size_t>(Index)].DataType == ftVariant) {
    // Only unconstrained numerics read into a variant: the decimal's text.
    TVariantCell decimal;
    ReadDecimalVariant(Column(Index), binary, std::string_view(text, length), decimal);
    AssignBytes(Value, decimal.View().Data(), decimal.View().Length());
    return true;
  }
  if (!FBytea[static_cast<std::size_t>(Index)] || binary) {
    AssignBytes(Value, text, length);
    return true;
  }
  // bytea_output=hex
  ReadByteaHex(Column(Index), std::string_view(text, length), Value);
  return true;
}

}  // namespace qvl
