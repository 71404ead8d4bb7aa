#include "qvl/host/drivers/PostgreSQLStatement.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/Invariants.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLText.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl {

using namespace pgtype;

namespace {

// The catalog's facts about the base columns of the tables in $1, and the
// types in $1 with domains followed down to their base type (the first
// domain's type modifier kept).
constexpr const char* kBaseColumnsQuery =
    "SELECT a.attrelid, a.attnum, a.attname, a.attnotnull, a.attgenerated <> '', "
    "a.attidentity, COALESCE(a.attnum = ANY (i.indkey), false), c.relname, a.atthasdef "
    "FROM pg_catalog.pg_attribute a "
    "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
    "LEFT JOIN pg_catalog.pg_index i ON i.indrelid = a.attrelid AND i.indisprimary "
    "WHERE a.attrelid = ANY ($1::oid[]) AND a.attnum > 0 AND NOT a.attisdropped";
constexpr const char* kTypesQuery =
    "WITH RECURSIVE t(col, oid, kind, base, mod, depth) AS ("
    "SELECT oid, oid, typtype, typbasetype, typtypmod, 0 FROM pg_catalog.pg_type "
    "WHERE oid = ANY ($1::oid[]) "
    "UNION ALL SELECT t.col, b.oid, b.typtype, b.typbasetype, "
    "CASE WHEN t.mod >= 0 THEN t.mod ELSE b.typtypmod END, t.depth + 1 "
    "FROM t JOIN pg_catalog.pg_type b ON b.oid = t.base WHERE t.kind = 'd' AND t.depth < 8) "
    "SELECT DISTINCT ON (col) col, oid, kind, mod FROM t ORDER BY col, depth DESC";

}  // namespace

TPostgreSQLStatement::TPostgreSQLStatement(TPostgreSQLConnection* Connection,
                                           const std::string& Text)
    : TSQLStatement(Connection, Text) {
  int markers = 0;
  FSQL = RewritePostgreSQLMarkers(Text, markers);
  if (markers > kMaxParams) DatabaseErrorFmt(STooManyParams, {std::to_string(markers)});
  FMayBeCursor = MayBeCursor(FSQL);
}

void TPostgreSQLStatement::Prepare() {
  if (FPrepared) return;
  TPostgreSQLConnection* c = Conn();
  c->Cleanup();
  if (std::count(FSQL.begin(), FSQL.end(), '$') > kDescribableParams) return PrepareManyParams();
  // The text and its DECLARE go together. A DECLARE that the server refuses
  // (FOR UPDATE, a WITH that writes) says the text runs directly; inside a
  // transaction its refusal is undone by a savepoint, as is any failure
  // beside cursors of the reading transaction.
  // Under transaction pooling both are parsed as the unnamed statement, in
  // one message group, which the pooler keeps on one server.
  const std::string name = c->FPooled ? std::string() : c->NextName("qvl_s");
  const std::string cursor = FMayBeCursor ? c->NextName("qvl_c") : std::string();
  const std::string declare = FMayBeCursor && !c->FPooled ? c->NextName("qvl_d") : std::string();
  const std::string declareSQL = "DECLARE " + cursor + " NO SCROLL CURSOR WITH HOLD FOR " + FSQL;
  const bool inTransaction = c->TransactionStatus() == PQTRANS_INTRANS;
  const bool guard = c->ReadingWithCursors();
  TPostgreSQLPipeline p(*c);
  if (guard) p.Query("SAVEPOINT qvl_guard");
  const int parse = p.Prepare(name, FSQL);
  const int describe = p.Describe(name);
  int parseDeclare = -1;
  if (FMayBeCursor) {
    if (inTransaction) p.Query("SAVEPOINT qvl_declare");
    parseDeclare = p.Prepare(declare, declareSQL);
    if (inTransaction) p.Query("RELEASE SAVEPOINT qvl_declare");
  }
  if (guard) p.Query("RELEASE SAVEPOINT qvl_guard");
  p.Run();
  if (!p.Ok(parse) || !p.Ok(describe)) {
    const ESQLDatabaseError error = c->ErrorOf(p.Get(p.Ok(parse) ? describe : parse));
    // Prepared statements are not transactional: drop what was made.
    if (p.Ok(parse) && !name.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + name);
    if (parseDeclare >= 0 && p.Ok(parseDeclare) && !declare.empty())
      c->FPendingCleanup.push_back("DEALLOCATE " + declare);
    if (guard && c->TransactionStatus() == PQTRANS_INERROR)
      c->RunAll({"ROLLBACK TO SAVEPOINT qvl_guard", "RELEASE SAVEPOINT qvl_guard"});
    c->Cleanup();
    if (c->Lost() || p.Get(parse) == nullptr || PQresultStatus(p.Get(parse)) != PGRES_EMPTY_QUERY)
      throw error;
    DatabaseError(SNoSQLStatement);
  }
  FName = name;
  c->CountPrepare();
  FDescription = p.Take(describe);
  const PGresult* d = FDescription.get();
  FParamTypes.assign(static_cast<std::size_t>(PQnparams(d)), 0);
  for (int i = 0; i < PQnparams(d); ++i)
    FParamTypes[static_cast<std::size_t>(i)] = PQparamtype(d, i);
  FIsQuery = PQnfields(d) > 0;
  FDescribed = !FIsQuery;
  FCursorable = FIsQuery && parseDeclare >= 0 && p.Ok(parseDeclare);
  if (FCursorable) {
    FCursorName = cursor;
    FDeclareName = declare;
    FDeclareSQL = declareSQL;
  } else if (parseDeclare >= 0 && c->TransactionStatus() == PQTRANS_INERROR) {
    std::vector<std::string> undo{"ROLLBACK TO SAVEPOINT qvl_declare",
                                  "RELEASE SAVEPOINT qvl_declare"};
    if (guard) undo.push_back("RELEASE SAVEPOINT qvl_guard");
    c->RunAll(undo);
  }
  if (c->Lost()) c->Raise(nullptr);
  FPrepared = true;
}

void TPostgreSQLStatement::PrepareManyParams() {
  TPostgreSQLConnection* c = Conn();
  // Its parameter types are learnt from a named statement, which a pooler
  // may leave behind in a session that another client gets.
  if (c->FPooled) DatabaseErrorFmt(SPooledManyParams, {std::to_string(kDescribableParams)});
  c->Settle();
  PGconn* pg = c->FConn;
  try {
    c->Guarded([&] {
      std::string name = c->NextName("qvl_s");
      c->Check(PQprepare(pg, name.c_str(), FSQL.c_str(), 0, nullptr));
      FName = name;
      c->CountPrepare();
      FDescription = DescribeManyParams();
      FIsQuery = PQnfields(FDescription.get()) > 0;
      FDescribed = !FIsQuery;
      if (!FIsQuery || !FMayBeCursor) return;
      // The server refuses a held cursor for what it cannot hold; its
      // refusal must not end an open transaction.
      const bool inTransaction = PQtransactionStatus(pg) == PQTRANS_INTRANS;
      if (inTransaction) c->Exec("SAVEPOINT qvl_declare");
      const std::string cursor = c->NextName("qvl_c");
      const std::string declare = c->NextName("qvl_d");
      const std::string text = "DECLARE " + cursor + " NO SCROLL CURSOR WITH HOLD FOR " + FSQL;
      TPostgreSQLConnection::Result r(PQprepare(pg, declare.c_str(), text.c_str(),
                                                static_cast<int>(FParamTypes.size()),
                                                FParamTypes.data()));
      const bool prepared = r != nullptr && PQresultStatus(r.get()) == PGRES_COMMAND_OK;
      if (inTransaction) {
        if (!prepared) c->Exec("ROLLBACK TO SAVEPOINT qvl_declare");
        c->Exec("RELEASE SAVEPOINT qvl_declare");
      }
      if (c->Lost()) c->Raise(r.get());
      if (!prepared) return;
      FCursorable = true;
      FCursorName = cursor;
      FDeclareName = declare;
    });
  } catch (...) {
    Unprepare(true);
    c->Cleanup();
    throw;
  }
  FPrepared = true;
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

int TPostgreSQLStatement::SendRun(TPostgreSQLPipeline& P, bool Declare, const Bound& B,
                                  int ResultFormat) const {
  const int n = static_cast<int>(B.Values.size());
  if (Conn()->FPooled)
    return P.Params(Declare ? FDeclareSQL : FSQL, n, FParamTypes.data(), B.Values.data(),
                    B.Lengths.data(), B.Formats.data(), ResultFormat);
  return P.Prepared(Declare ? FDeclareName : FName, n, B.Values.data(), B.Lengths.data(),
                    B.Formats.data(), ResultFormat);
}

void TPostgreSQLStatement::Unprepare(bool Drop) {
  TPostgreSQLConnection* c = Conn();
  if (Drop && !FName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FName);
  if (Drop && !FDeclareName.empty()) c->FPendingCleanup.push_back("DEALLOCATE " + FDeclareName);
  FName.clear();
  FDeclareName.clear();
  FDeclareSQL.clear();
  FCursorName.clear();
  FCursorable = false;
  FPrepared = false;
}

TPostgreSQLStatement::TCatalog TPostgreSQLStatement::AskCatalog(TPostgreSQLPipeline& P,
                                                                const PGresult* D) const {
  TCatalog asked;
  std::set<Oid> tables, types;
  TSQLColumnDesc probe;
  for (int i = 0; i < PQnfields(D); ++i) {
    if (PQftable(D, i) != InvalidOid) tables.insert(PQftable(D, i));
    if (!MapBuiltin(PQftype(D, i), -1, probe)) types.insert(PQftype(D, i));
  }
  if (!tables.empty()) asked.Tables = P.QueryParams(kBaseColumnsQuery, {OidArray(tables)});
  if (!types.empty()) asked.Types = P.QueryParams(kTypesQuery, {OidArray(types)});
  return asked;
}

void TPostgreSQLStatement::DescribeColumns(const PGresult* D, TPostgreSQLPipeline& P,
                                           const TCatalog& C) {
  TPostgreSQLConnection* c = Conn();
  for (int asked : {C.Tables, C.Types})
    if (asked >= 0 && !P.Ok(asked)) c->Raise(P.Get(asked));
  struct TBaseColumn {
    std::string Name, Table;
    sqlpolicy::TBaseColumnFacts Facts;
    bool IdentityAlways = false;
  };
  std::map<std::pair<Oid, int>, TBaseColumn> base;  // by table and column number
  if (C.Tables >= 0) {
    const PGresult* r = P.Get(C.Tables);
    for (int row = 0; row < PQntuples(r); ++row) {
      auto flag = [&](int Column) { return PQgetvalue(r, row, Column)[0] == 't'; };
      const char identity = PQgetvalue(r, row, 5)[0];
      TBaseColumn& b = base[{static_cast<Oid>(std::stoul(PQgetvalue(r, row, 0))),
                             std::stoi(PQgetvalue(r, row, 1))}];
      b.Name = PQgetvalue(r, row, 2);
      b.Table = PQgetvalue(r, row, 7);
      b.IdentityAlways = identity == 'a';
      b.Facts = {.NotNull = flag(3),
                 .FilledByServer = flag(8) || identity != '\0',
                 .Generated = flag(4),
                 .RefusesValues = identity == 'a',
                 .InKey = flag(6)};
    }
  }
  struct TResolved {
    Oid Type;
    int Mod;
    bool Enum;
  };
  std::map<Oid, TResolved> resolved;  // types the driver does not know by number
  if (C.Types >= 0) {
    const PGresult* r = P.Get(C.Types);
    for (int row = 0; row < PQntuples(r); ++row)
      resolved[static_cast<Oid>(std::stoul(PQgetvalue(r, row, 0)))] = {
          static_cast<Oid>(std::stoul(PQgetvalue(r, row, 1))), std::stoi(PQgetvalue(r, row, 3)),
          PQgetvalue(r, row, 2)[0] == 'e'};
  }
  const auto n = static_cast<std::size_t>(PQnfields(D));
  FColumns.assign(n, TSQLColumnDesc{});
  FRetyped.clear();
  FReaders.assign(n, &ReadValue);
  FBytea.assign(n, false);
  FBinaryKinds.assign(n, TBinaryKind::No);
  FTypes.assign(n, 0);
  FMods.assign(n, 0);
  for (std::size_t k = 0; k < n; ++k) {
    const int i = static_cast<int>(k);
    TSQLColumnDesc& col = FColumns[k];
    FTypes[k] = PQftype(D, i);
    FMods[k] = PQfmod(D, i);
    col.Name = PQfname(D, i);
    Oid type = FTypes[k];
    int mod = FMods[k];
    bool isEnum = false;
    auto r = resolved.find(type);
    if (r != resolved.end()) {
      type = r->second.Type;
      if (mod < 0) mod = r->second.Mod;
      isEnum = r->second.Enum;
    }
    // Types the driver does not know by number: enumerations hold labels,
    // which are names of at most 63 bytes; anything else reads as text.
    if (!MapBuiltin(type, mod, col)) {
      col.DataType = isEnum ? ftString : ftMemo;
      col.Size = col.DataType == ftString ? 63 : 0;
    }
    FBytea[k] = type == kBytea;
    col.Comparable = HasEquality(type);
    FBinaryKinds[k] = BinaryKindOf(type, isEnum);
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
  FBinary = BinaryResults(FBinaryKinds, FBytea);
  FDescribed = true;
  FDescription.reset();
}

bool TPostgreSQLStatement::BinaryResults(const std::vector<TBinaryKind>& Kinds,
                                         const std::vector<bool>& Bytea) {
  // libpq takes one result format for all columns: binary only when every
  // column reads in it. Floats need it to be exact; bytea comes in half the
  // memory of its hex text.
  bool needed = false, binary = true;
  for (std::size_t k = 0; k < Kinds.size(); ++k) {
    needed =
        needed || Kinds[k] == TBinaryKind::Float4 || Kinds[k] == TBinaryKind::Float8 || Bytea[k];
    binary = binary && Kinds[k] != TBinaryKind::No;
  }
  return needed && binary;
}

int TPostgreSQLStatement::ResultFormat() const {
  if (FDescribed) return FBinary ? 1 : 0;
  // Before the catalog has named the types that the driver does not know by
  // number, those read as text.
  std::vector<TBinaryKind> kinds;
  std::vector<bool> bytea;
  for (int i = 0; i < PQnfields(FDescription.get()); ++i) {
    kinds.push_back(BinaryKindOf(PQftype(FDescription.get(), i), false));
    bytea.push_back(PQftype(FDescription.get(), i) == kBytea);
  }
  return BinaryResults(kinds, bytea) ? 1 : 0;
}

void TPostgreSQLStatement::DescribeColumnsNow(const PGresult* Description) {
  TPostgreSQLPipeline p(*Conn());
  const TCatalog asked = AskCatalog(p, Description);
  p.Run();
  DescribeColumns(Description, p, asked);
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

bool TPostgreSQLStatement::StalePlan(const ESQLDatabaseError& E, bool& Changed) {
  Changed = E.GetSQLState() == "0A000" && E.Message().find("cached plan") != std::string::npos;
  return Changed || E.GetSQLState() == "26000";
}

template <class Body>
auto TPostgreSQLStatement::WithFreshPlan(Body&& F) -> decltype(F()) {
  try {
    return F();
  } catch (const ESQLDatabaseError& E) {
    TPostgreSQLConnection* c = Conn();
    // A table changed under the plan, or the session forgot its prepared
    // statements (DISCARD ALL, DEALLOCATE ALL).
    bool changed = false;
    if (!StalePlan(E, changed) || c->TransactionStatus() == PQTRANS_INERROR) throw;
    // Prepared statements are not transactional: drop the old ones now.
    Unprepare(changed);
    Prepare();
  }
  return F();
}

TPostgreSQLStatement::~TPostgreSQLStatement() {
  FBatch.reset();
  if (FConnection == nullptr || Conn()->FClosing) return;
  TPostgreSQLConnection* c = Conn();
  TPostgreSQLConnection::TUse use(*c);
  QVL_INVARIANT_SCOPE(*c, c->FCheckDepth);
  try {
    if (c->FInFlight == this) c->SettleAhead();
    if (FServerOpen) CloseServerCursor();
  } catch (...) {
    // The server drops the cursor with its session at the latest.
  }
  c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
  Unprepare(true);
  try {
    c->Cleanup();
  } catch (...) {
  }
}

void TPostgreSQLStatement::Detach() {
  // The session goes with the connection: nothing ahead is read.
  if (FAhead.Pipeline != nullptr) FAhead.Pipeline->Abandon();
  FAhead = TFetch{};
  FAheadRows.reset();
  FDrained.clear();
  FBatch.reset();
  FServerOpen = false;
  FState = State::Idle;
  FOnRow = false;
}

void TPostgreSQLStatement::SetFirstBatch(int Rows) {
  FFirstBatch = Rows <= 0 ? kMaxBatch : std::min(Rows, kMaxBatch);
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

std::int64_t TPostgreSQLStatement::Execute(const TParams* Params) {
  CheckAttached();
  TPostgreSQLConnection::TUse use(*Conn());
  QVL_INVARIANT_SCOPE(*Conn(), Conn()->FCheckDepth);
  CloseCursor();
  TPostgreSQLConnection* c = Conn();
  Prepare();
  Bound b;
  Bind(Params, b);
  TPostgreSQLConnection::Result r;
  if (FCursorable) {
    c->Cleanup();
    r = WithFreshPlan([&] {
      return c->Reading([&] {
        if (c->FPooled)
          return PQsendQueryParams(c->FConn, FSQL.c_str(), static_cast<int>(b.Values.size()),
                                   FParamTypes.data(), b.Values.data(), b.Lengths.data(),
                                   b.Formats.data(), 0);
        return PQsendQueryPrepared(c->FConn, FName.c_str(), static_cast<int>(b.Values.size()),
                                   b.Values.data(), b.Lengths.data(), b.Formats.data(), 0);
      });
    });
  } else {
    c->ReleaseCursorScope();
    c->Cleanup();
    r = WithFreshPlan([&] {
      const int before = c->TransactionStatus();
      try {
        TPostgreSQLConnection::Result run;
        if (c->FPooled) {
          TPostgreSQLPipeline p(*c);
          const int q = SendRun(p, false, b, 0);
          p.Run();
          run = p.Take(q);
        } else {
          run = c->RunPrepared(FName, b.Values, b.Lengths, b.Formats, 0);
        }
        auto result = c->Check(run.release());
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
  TPostgreSQLConnection::TUse use(*Conn());
  QVL_INVARIANT_SCOPE(*Conn(), Conn()->FCheckDepth);
  CloseCursor();
  TPostgreSQLConnection* c = Conn();
  Prepare();
  if (!FIsQuery) DatabaseError(SNoResultSet);
  // Each opening starts from the server's types: fields built anew must not
  // inherit an earlier dataset's typed fields.
  for (auto& [index, original] : FRetyped) FColumns[static_cast<std::size_t>(index)] = original;
  FRetyped.clear();
  Bound b;
  Bind(Params, b);
  c->Cleanup();
  FLost.clear();
  FOnRow = false;
  FRow = -1;
  FBatchRows = 0;
  FBatchSize = FFirstBatch;
  FServerEnd = false;
  FWrote = false;
  if (FCursorable) {
    OpenCursor(b, false);
  } else {
    c->ReleaseCursorScope();
    c->Cleanup();
    FBatch = WithFreshPlan([&] {
      const int before = c->TransactionStatus();
      TPostgreSQLPipeline p(*c);
      const TCatalog asked = FDescribed ? TCatalog{} : AskCatalog(p, FDescription.get());
      if (!p.Empty()) p.Sync();
      const int run = SendRun(p, false, b, ResultFormat());
      p.Run();
      c->SyncTransaction(before);
      if (!FDescribed) DescribeColumns(FDescription.get(), p, asked);
      return c->Check(p.Take(run).release());
    });
    FBatchRows = PQntuples(FBatch.get());
    FServerEnd = true;
    ChooseReaders();
  }
  FState = State::Open;
}

void TPostgreSQLStatement::OpenCursor(const Bound& B, bool Again) {
  TPostgreSQLConnection* c = Conn();
  // One round trip: what the columns need from the catalog, the start of
  // the reading transaction (or, beside its cursors, a savepoint), the
  // DECLARE, the first FETCH and whether it wrote.
  //
  // Beside cursors of the reading transaction, the query runs under a
  // savepoint until its first rows tell whether it wrote: a query that
  // wrote must commit at once, and the others' rows cannot be computed in
  // that commit without the risk that one of them fails and takes the
  // writes along. So such a query is undone, the others are committed
  // (kept by the server), and it runs again in a transaction of its own.
  const bool beside = c->ReadingWithCursors();
  const bool begin = !beside && c->TransactionStatus() == PQTRANS_IDLE;
  const bool reading = beside || begin || c->FCursorScope;
  TPostgreSQLPipeline p(*c);
  const TCatalog asked = FDescribed ? TCatalog{} : AskCatalog(p, FDescription.get());
  if (!p.Empty()) p.Sync();
  const int start = begin    ? p.Query("BEGIN ISOLATION LEVEL READ COMMITTED")
                    : beside ? p.Query("SAVEPOINT qvl_open")
                             : -1;
  const int declare = SendRun(p, true, B, 0);
  const int asks = FBatchSize;
  c->FLastFetchRows = asks;
  const int fetch =
      p.Query("FETCH FORWARD " + std::to_string(asks) + " FROM " + FCursorName, ResultFormat());
  const int wrote = reading ? p.Query(TPostgreSQLConnection::kWroteQuery) : -1;
  p.Run();
  if (begin && p.Ok(start)) c->FCursorScope = true;
  if (!FDescribed && !c->Lost()) {
    try {
      DescribeColumns(FDescription.get(), p, asked);
    } catch (...) {
      if (begin || beside) c->UndoOpen(beside);
      throw;
    }
  }
  if (!p.Ok(declare) || !p.Ok(fetch)) {
    const ESQLDatabaseError error = c->ErrorOf(p.Get(start >= 0 && !p.Ok(start) ? start
                                                     : p.Ok(declare)            ? fetch
                                                                                : declare));
    // A cursor declared inside the savepoint or the transaction begun here
    // goes with their end; in the application's transaction the failure
    // ends that transaction, as any failing statement there does.
    if (begin || beside) c->UndoOpen(beside);
    bool changed = false;
    if (!Again && !c->Lost() && StalePlan(error, changed) &&
        c->TransactionStatus() != PQTRANS_INERROR) {
      Unprepare(changed);
      Prepare();
      return OpenCursor(B, true);
    }
    throw error;
  }
  FServerOpen = true;
  FInTx = c->TransactionStatus() != PQTRANS_IDLE;
  if (c->FCursorScope) c->StartWatchdog();
  c->CursorOpened(this);
  FState = State::Open;
  TPostgreSQLConnection::Result rows = p.Take(fetch);
  const bool wroteNow = wrote >= 0 && p.Ok(wrote) && PQgetvalue(p.Get(wrote), 0, 0)[0] == 't';
  if (beside && wroteNow) {
    // Undone, with the cursor declared under the savepoint.
    c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
    FServerOpen = false;
    FState = State::Idle;
    c->UndoOpen(true);
    c->ReleaseCursorScope();
    return OpenCursor(B, Again);
  }
  if (beside) c->Forget("RELEASE SAVEPOINT qvl_open");
  FBatch = std::move(rows);
  FBatchRows = PQntuples(FBatch.get());
  // The first rows' description tells whether a table changed under the
  // prepared plan, before anyone builds fields on it.
  if (ShapeChanged(FBatch.get())) DescribeColumnsNow(FBatch.get());
  ChooseReaders();
  FWrote = wroteNow;
  BatchTaken(FBatch.get(), asks);
  if (wroteNow && c->FCursorScope) CommitWrites();
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
  // The rows in hand are the application's alone; what the idle watchdog
  // may change is used under the connection's lock.
  if (FRow + 1 < FBatchRows) {
    ++FRow;
    FOnRow = true;
    // While the next batch comes, libpq takes in what has arrived, so that
    // the server is not held up by a full socket.
    if ((FRow & 255) == 0) {
      TPostgreSQLConnection::TUse use(*Conn());
      if (FAhead.Pipeline != nullptr) Conn()->ConsumeInput();
    }
    return true;
  }
  TPostgreSQLConnection::TUse use(*Conn());
  FOnRow = false;
  if (FAhead.Pipeline != nullptr) Conn()->SettleAhead();
  if (FAheadRows != nullptr) {
    // The batch read goes one batch later: freed at once, at the top of
    // the heap, its memory would go back to the system block by block only
    // to be asked for again.
    FRetired = std::move(FBatch);
    FBatch = std::move(FAheadRows);
    FBatchRows = PQntuples(FBatch.get());
    ChooseReaders();
    FRow = 0;
    FOnRow = FBatchRows > 0;
    if (FOnRow) {
      if (!FServerEnd) FetchAhead();
      return true;
    }
  }
  if (FAheadError != nullptr) {
    const ESQLDatabaseError error = *FAheadError;
    FAheadError.reset();
    FBatch.reset();
    FBatchRows = 0;
    FRow = -1;
    throw error;
  }
  if (!FDrained.empty()) {
    FRetired = std::move(FBatch);
    FBatch = std::move(FDrained.front());
    FDrained.erase(FDrained.begin());
    FBatchRows = PQntuples(FBatch.get());
    ChooseReaders();
    FRow = 0;
    FOnRow = FBatchRows > 0;
    if (FOnRow) return true;
  }
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

TPostgreSQLStatement::TFetch TPostgreSQLStatement::SendFetch() {
  TPostgreSQLConnection* c = Conn();
  TFetch f;
  f.Asked = FBatchSize;
  c->FLastFetchRows = f.Asked;
  // In the reading transaction the rows are computed as they are fetched,
  // so a FETCH may write (a function that inserts): the answer comes in the
  // same round trip. While other cursors read in that transaction, a failing
  // FETCH (division by zero in a later row) must end only its own cursor.
  const bool reading = FInTx && c->FCursorScope;
  if (reading)
    for (TPostgreSQLStatement* s : c->FCursors) f.Guarded = f.Guarded || (s != this && s->FInTx);
  f.Pipeline = std::make_unique<TPostgreSQLPipeline>(*c);
  TPostgreSQLPipeline& p = *f.Pipeline;
  if (f.Guarded) p.Query("SAVEPOINT qvl_guard");
  f.Fetch =
      p.Query("FETCH FORWARD " + std::to_string(f.Asked) + " FROM " + FCursorName, ResultFormat());
  if (f.Guarded) p.Query("RELEASE SAVEPOINT qvl_guard");
  if (reading) f.Wrote = p.Query(TPostgreSQLConnection::kWroteQuery);
  p.Start();
  return f;
}

bool TPostgreSQLStatement::TakeFetch(TFetch& F, TPostgreSQLConnection::Result& Rows) {
  TPostgreSQLConnection* c = Conn();
  TPostgreSQLPipeline& p = *F.Pipeline;
  p.Finish();
  if (!p.Ok(F.Fetch)) {
    const ESQLDatabaseError error = c->ErrorOf(p.Get(F.Fetch));
    FServerOpen = false;
    FServerEnd = true;
    const bool inOwnScope = FInTx && c->FCursorScope;
    c->FCursors.erase(std::remove(c->FCursors.begin(), c->FCursors.end(), this), c->FCursors.end());
    if (F.Guarded && !c->Lost()) {
      // Back to the savepoint: the cursor is failed, the others read on.
      if (c->TransactionStatus() == PQTRANS_INERROR)
        c->RunAll({"ROLLBACK TO SAVEPOINT qvl_guard", "RELEASE SAVEPOINT qvl_guard"});
      if (c->TransactionStatus() == PQTRANS_INERROR)
        c->AbortCursorScope(error.Message());
      else
        c->Forget("CLOSE " + FCursorName);
    } else if (inOwnScope) {
      c->AbortCursorScope(error.Message());
    }
    F = TFetch{};
    throw error;
  }
  const bool wrote = F.Wrote >= 0 && p.Ok(F.Wrote) && PQgetvalue(p.Get(F.Wrote), 0, 0)[0] == 't';
  Rows = p.Take(F.Fetch);
  const int asked = F.Asked;
  F = TFetch{};
  FWrote = FWrote || wrote;
  BatchTaken(Rows.get(), asked);
  // Closing the last cursor committed the reading transaction already.
  return wrote && c->FCursorScope;
}

bool TPostgreSQLStatement::FetchBatch() {
  QVL_INVARIANT_SCOPE(*Conn(), Conn()->FCheckDepth);
  // The batch read goes once the next is in (see Next).
  FBatchRows = 0;
  TFetch f = SendFetch();
  TPostgreSQLConnection::Result rows;
  bool wrote = false;
  try {
    wrote = TakeFetch(f, rows);
  } catch (...) {
    FBatch.reset();
    throw;
  }
  FRetired = std::move(FBatch);
  FBatch = std::move(rows);
  FBatchRows = PQntuples(FBatch.get());
  ChooseReaders();
  if (!FServerEnd) FetchAhead();
  return wrote;
}

void TPostgreSQLStatement::BatchTaken(const PGresult* Rows, int Asked) {
  const int count = PQntuples(Rows);
  FLastAsked = Asked;
  if (count < Asked) {
    FServerEnd = true;
    CloseServerCursor();
  }
  // Size the next batch from the bytes per row of this one, as libpq holds
  // them (values and their bookkeeping).
  const std::size_t bytes = PQresultMemorySize(Rows);
  const std::size_t perRow = count > 0 ? bytes / static_cast<std::size_t>(count) + 1 : 1;
  const std::size_t byBytes = std::max<std::size_t>(1, kBatchBytes / perRow);
  const auto grown = static_cast<std::size_t>(std::max(Asked * 2, kSecondBatch));
  FBatchSize = static_cast<int>(std::min<std::size_t>({grown, kMaxBatch, byBytes}));
}

void TPostgreSQLStatement::FetchAhead() {
  // Only once batches stopped growing (the caller reads much, and rows
  // past what it reads are computed one batch ahead at most), and never for
  // a cursor that wrote: its writes commit as each FETCH arrives.
  TPostgreSQLConnection* c = Conn();
  if (FServerEnd || !FServerOpen || FWrote || FBatchSize > FLastAsked ||
      FAhead.Pipeline != nullptr || c->FInFlight != nullptr)
    return;
  FAhead = SendFetch();
  c->FInFlight = this;
}

void TPostgreSQLStatement::TakeAhead() {
  TPostgreSQLConnection* c = Conn();
  if (c->FInFlight == this) c->FInFlight = nullptr;
  if (FAhead.Pipeline == nullptr) return;
  try {
    if (TakeFetch(FAhead, FAheadRows)) CommitWrites();
  } catch (const ESQLDatabaseError& E) {
    FAheadError = std::make_unique<ESQLDatabaseError>(E);
  }
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
  if (c->TransactionStatus() == PQTRANS_INERROR) {
    // The failed transaction takes a cursor declared in it along; a held
    // one outlives it and is closed once the session takes statements again.
    if (!FInTx) c->FPendingCleanup.push_back("CLOSE " + FCursorName);
  } else {
    c->Forget("CLOSE " + FCursorName);
  }
  c->CursorClosed(this);
}

std::string TPostgreSQLStatement::Drain() {
  TPostgreSQLConnection* c = Conn();
  if (c->FInFlight == this) c->SettleAhead();
  if (!FServerOpen || FServerEnd) return "";
  TPostgreSQLPipeline p(*c);
  const int all = p.Query("FETCH ALL FROM " + FCursorName, ResultFormat());
  p.Run();
  if (!p.Ok(all)) {
    // The transaction failed with it: every cursor of it goes.
    const ESQLDatabaseError error = c->ErrorOf(p.Get(all));
    if (c->FCursorScope)
      c->AbortCursorScope(error.Message());
    else
      Lose(std::string(SCursorLost) + ": " + error.Message());
    return error.Message();
  }
  FDrained.push_back(p.Take(all));
  FServerEnd = true;
  CloseServerCursor();
  return "";
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
  TPostgreSQLConnection::TUse use(*Conn());
  QVL_INVARIANT_SCOPE(*Conn(), Conn()->FCheckDepth);
  if (Conn()->FInFlight == this) Conn()->SettleAhead();
  FAheadRows.reset();
  FAheadError.reset();
  FDrained.clear();
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

namespace {

// The bytes of a value in binary form of exactly Size bytes, or null when
// it is null or of another size (then read the general way).
template <int Size>
const char* Fixed(const PGresult* R, int Row, int Index, bool& Null) {
  Null = PQgetisnull(R, Row, Index) != 0;
  return !Null && PQgetlength(R, Row, Index) == Size ? PQgetvalue(R, Row, Index) : nullptr;
}

template <class T>
T Load(const char* P) {
  T v;
  std::memcpy(&v, P, sizeof v);
  if constexpr (sizeof(T) == 8)
    return static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
  if constexpr (sizeof(T) == 4)
    return static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
  if constexpr (sizeof(T) == 2)
    return static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(v)));
}

}  // namespace

template <class T>
bool TPostgreSQLStatement::ReadSame(TSQLStatement* Self, int Index, void* Buffer) {
  auto* s = static_cast<TPostgreSQLStatement*>(Self);
  bool null = false;
  const char* p = Fixed<sizeof(T)>(s->FBatch.get(), s->FRow, Index, null);
  if (null) return false;
  if (p == nullptr) return s->Read(Index, Buffer);
  const T v = Load<T>(p);
  std::memcpy(Buffer, &v, sizeof v);
  return true;
}

bool TPostgreSQLStatement::ReadDate(TSQLStatement* Self, int Index, void* Buffer) {
  auto* s = static_cast<TPostgreSQLStatement*>(Self);
  bool null = false;
  const char* p = Fixed<4>(s->FBatch.get(), s->FRow, Index, null);
  if (null) return false;
  const std::int32_t days = p != nullptr ? Load<std::int32_t>(p) : 0;
  // Days since 2000 within the server's dates become days since 1970.
  if (p == nullptr || days < -2451545 || days > 2145031948) return s->Read(Index, Buffer);
  const std::int32_t since1970 = days + 10957;
  std::memcpy(Buffer, &since1970, sizeof since1970);
  return true;
}

bool TPostgreSQLStatement::ReadText(TSQLStatement* Self, int Index, void* Buffer) {
  auto* s = static_cast<TPostgreSQLStatement*>(Self);
  const PGresult* r = s->FBatch.get();
  if (PQgetisnull(r, s->FRow, Index)) return false;
  sqlvalue::PutText(s->FColumns[static_cast<std::size_t>(Index)],
                    std::string_view(PQgetvalue(r, s->FRow, Index),
                                     static_cast<std::size_t>(PQgetlength(r, s->FRow, Index))),
                    Buffer);
  return true;
}

TSQLStatement::TTextRead TPostgreSQLStatement::ReadText(int Index, char* Buffer,
                                                        std::size_t Capacity) {
  if (!FOnRow || static_cast<std::size_t>(Index) >= FColumns.size()) return trOther;
  const std::size_t k = static_cast<std::size_t>(Index);
  // Text in either form, for a string column: what GetData would write.
  if (!IsStringType(FColumns[k].DataType) ||
      (PQfformat(FBatch.get(), Index) == 1 && FBinaryKinds[k] != TBinaryKind::Text))
    return trOther;
  if (PQgetisnull(FBatch.get(), FRow, Index)) return trNull;
  const char* text = PQgetvalue(FBatch.get(), FRow, Index);
  const auto n = static_cast<std::size_t>(PQgetlength(FBatch.get(), FRow, Index));
  if (n >= Capacity || n > static_cast<std::size_t>(FColumns[k].Size) ||
      std::memchr(text, 0, n) != nullptr)
    return trOther;
  std::memcpy(Buffer, text, n);
  Buffer[n] = '\0';
  return trRead;
}

void TPostgreSQLStatement::ChooseReaders() {
  const PGresult* r = FBatch.get();
  if (r == nullptr || PQnfields(r) == 0 || FReaders.size() != FColumns.size()) return;
  const bool binary = PQfformat(r, 0) == 1;
  for (std::size_t k = 0; k < FColumns.size(); ++k) {
    const TFieldType type = FColumns[k].DataType;
    const TBinaryKind kind = FBinaryKinds[k];
    TValueReader reader = &ReadValue;
    if (IsBlobType(type)) {
      reader = &ReadValue;
    } else if (!binary || kind == TBinaryKind::Text) {
      // Text reads as text in either form.
      if (IsStringType(type)) reader = &ReadText;
    } else if (kind == TBinaryKind::Signed && type == ftLargeint) {
      reader = &ReadSame<std::int64_t>;
    } else if (kind == TBinaryKind::Signed && (type == ftInteger || type == ftAutoInc)) {
      reader = &ReadSame<std::int32_t>;
    } else if (kind == TBinaryKind::Signed && type == ftSmallint) {
      reader = &ReadSame<std::int16_t>;
    } else if (kind == TBinaryKind::Float8 && type == ftFloat) {
      reader = &ReadSame<std::int64_t>;  // the double's bits
    } else if (kind == TBinaryKind::Date && type == ftDate) {
      reader = &ReadDate;
    }
    FReaders[k] = reader;
  }
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
  ChooseReaders();
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
