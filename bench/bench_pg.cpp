// PostgreSQL against libpq as an expert writes it, on the throwaway server
// that bench/run starts (QVL_PG_CONNINFO; without it the program says so and
// measures nothing). Prints, ours over libpq's:
//   ratio pg.read_rows = VALUE          1,000,000 rows of 8 columns, every
//                                       field read through its typed
//                                       accessor, by a unidirectional
//                                       TQVLQuery with the application's
//                                       fields of the engine benchmark;
//                                       libpq: single-row mode, binary
//                                       results, every value read
//   ratio pg.read_rows_cached = VALUE   the same into the cache (a TQVLQuery
//                                       that scrolls both ways)
//   ratio pg.first_row_1ms = VALUE      at 1 ms round trips (a delaying
//                                       proxy, 0.5 ms each way): open a
//                                       query with one parameter, as an
//                                       application opens it again with
//                                       another value, and read its first
//                                       row (the median of 25 in a run);
//                                       libpq: the query sent with its
//                                       parameter in single-row mode
//   ratio pg.apply = VALUE              100,000 modified records applied by
//                                       ApplyUpdates with generated SQL;
//                                       libpq: in one transaction, a
//                                       pipeline of one prepared UPDATE per
//                                       row, each result checked
//   ratio pg.apply_1ms = VALUE          10,000 records at 1 ms round trips
// and, for the record, the first row of a query whose text the connection
// has not prepared yet (on a new connection, against libpq on one), the
// round trips that opening, applying and ExecSQL take (as the proxy counts
// them), and the peak memory of the unidirectional read of 1,000,000 rows
// (in a process of its own).
// Times are wall-clock (the server's work counts on both sides), the best
// of the runs of each side, the sides taking turns.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchEngineTable.h"
#include "bench/BenchProxy.h"
#include "bench/BenchSupport.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/sqlclient/SQLConnection.h"

extern char** environ;

using namespace qvl;
using namespace qvl::bench;

namespace {

constexpr int kRows = 1000000;
constexpr int kApplyRows = 100000;
constexpr int kApplyRows1ms = 10000;
constexpr auto kDelay = std::chrono::microseconds(500);
constexpr const char* kSelect =
    "SELECT id, i32, i64, dbl, str, day, data, opt FROM bench ORDER BY id";
constexpr const char* kFirstRowSQL =
    "SELECT id, i32, i64, dbl, str, day, data, opt FROM bench WHERE id > %s ORDER BY id LIMIT 100";

std::string GConnInfo;       // the server, directly
std::string GProxyConnInfo;  // the same server through the delaying proxy
int GRound = 0;
std::uint64_t GSink = 0;

double WallNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Fail(const std::string& What) {
  std::fprintf(stderr, "bench_pg: %s\n", What.c_str());
  std::exit(1);
}

PGconn* PQConnect(const std::string& Info) {
  PGconn* c = PQconnectdb(Info.c_str());
  if (PQstatus(c) != CONNECTION_OK) Fail(PQerrorMessage(c));
  return c;
}

void PQRun(PGconn* C, const char* SQL) {
  PGresult* r = PQexec(C, SQL);
  const ExecStatusType s = PQresultStatus(r);
  if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) Fail(PQerrorMessage(C));
  PQclear(r);
}

std::unique_ptr<TSQLConnection> Connect(const std::string& Info) {
  auto conn = std::make_unique<TSQLConnection>();
  conn->SetDriverName("PostgreSQL");
  conn->SetConnectionString(Info);
  conn->Open();
  return conn;
}

std::string NewString(int Id) {
  char text[64];
  std::snprintf(text, sizeof text, "Round %d row %08d quick brown fox", GRound, Id);
  return text;
}

// ---- reading ----------------------------------------------------------------------------

// Reads every field of the active record through its typed accessor.
class TFieldReader {
 public:
  explicit TFieldReader(TDataSet& D)
      : FId(D.FieldByName("id")),
        FI32(D.FieldByName("i32")),
        FI64(D.FieldByName("i64")),
        FDbl(D.FieldByName("dbl")),
        FStr(D.FieldByName("str")),
        FDay(D.FieldByName("day")),
        FData(D.FieldByName("data")),
        FOpt(D.FieldByName("opt")) {}
  void Read() {
    std::uint64_t sum = static_cast<std::uint64_t>(FId->GetAsLargeInt());
    sum += static_cast<std::uint64_t>(FI32->GetAsInteger());
    sum += static_cast<std::uint64_t>(FI64->GetAsLargeInt());
    sum += static_cast<std::uint64_t>(FDbl->GetAsFloat());
    sum += FStr->GetAsString().size();
    sum += static_cast<std::uint64_t>(FDay->GetAsDateTime().Days);
    TBlobByteData bytes;
    if (FData->GetData(&bytes)) sum += bytes.Length() + bytes.Data()[0];
    if (!FOpt->IsNull()) sum += static_cast<std::uint64_t>(FOpt->GetAsInteger());
    GSink += sum;
  }

 private:
  TField *FId, *FI32, *FI64, *FDbl, *FStr, *FDay, *FData, *FOpt;
};

void ReadAll(TQVLQuery& Q) {
  Q.Open();
  TFieldReader reader(Q);
  for (; !Q.Eof(); Q.Next()) reader.Read();
}

void QvlReadRows(benchmark::State& State, bool Cached) {
  auto conn = Connect(GConnInfo);
  for (auto _ : State) {
    TQVLQuery q;
    q.SetSQLConnection(conn.get());
    q.SQL().SetText(kSelect);
    q.SetUniDirectional(!Cached);
    DeclareBenchFields(q);
    const double t0 = WallNow();
    ReadAll(q);
    State.SetIterationTime(WallNow() - t0);
  }
}
void QvlReadRowsUni(benchmark::State& State) {
  QvlReadRows(State, false);
}
void QvlReadRowsCached(benchmark::State& State) {
  QvlReadRows(State, true);
}

std::uint64_t BigEndian(const char* P, int Size) {
  std::uint64_t v = 0;
  for (int i = 0; i < Size; ++i) v = v << 8 | static_cast<std::uint8_t>(P[i]);
  return v;
}

// What the application keeps of a row, read from a binary result.
struct TRow {
  std::int64_t Id, I64;
  std::int32_t I32, Day;
  double Dbl;
  std::string Str;
  std::vector<std::uint8_t> Data;
  std::optional<std::int32_t> Opt;
};

void ReadRow(const PGresult* R, int Row, TRow& Out) {
  Out.Id = static_cast<std::int64_t>(BigEndian(PQgetvalue(R, Row, 0), 8));
  Out.I32 = static_cast<std::int32_t>(BigEndian(PQgetvalue(R, Row, 1), 4));
  Out.I64 = static_cast<std::int64_t>(BigEndian(PQgetvalue(R, Row, 2), 8));
  Out.Dbl = std::bit_cast<double>(BigEndian(PQgetvalue(R, Row, 3), 8));
  Out.Str.assign(PQgetvalue(R, Row, 4), static_cast<std::size_t>(PQgetlength(R, Row, 4)));
  Out.Day = static_cast<std::int32_t>(BigEndian(PQgetvalue(R, Row, 5), 4)) + 10957;
  const auto* data = reinterpret_cast<const std::uint8_t*>(PQgetvalue(R, Row, 6));
  Out.Data.assign(data, data + PQgetlength(R, Row, 6));
  Out.Opt.reset();
  if (!PQgetisnull(R, Row, 7))
    Out.Opt = static_cast<std::int32_t>(BigEndian(PQgetvalue(R, Row, 7), 4));
  GSink += static_cast<std::uint64_t>(Out.Id + Out.I32 + Out.I64 + Out.Day) + Out.Str.size() +
           Out.Data.size() + static_cast<std::uint64_t>(Out.Dbl) + Out.Opt.value_or(0);
}

void LibpqReadRows(benchmark::State& State) {
  PGconn* c = PQConnect(GConnInfo);
  for (auto _ : State) {
    const double t0 = WallNow();
    if (PQsendQueryParams(c, kSelect, 0, nullptr, nullptr, nullptr, nullptr, 1) == 0 ||
        PQsetSingleRowMode(c) == 0)
      Fail(PQerrorMessage(c));
    TRow row;
    int rows = 0;
    while (PGresult* r = PQgetResult(c)) {
      if (PQresultStatus(r) == PGRES_SINGLE_TUPLE) {
        ReadRow(r, 0, row);
        ++rows;
      } else if (PQresultStatus(r) != PGRES_TUPLES_OK) {
        Fail(PQerrorMessage(c));
      }
      PQclear(r);
    }
    State.SetIterationTime(WallNow() - t0);
    if (rows != kRows) Fail("libpq read " + std::to_string(rows) + " rows");
  }
  PQfinish(c);
}

// The process's peak resident memory in kB (VmHWM: unlike ru_maxrss, not
// inherited from the process that spawned it).
long PeakKB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  char line[256];
  long kb = 0;
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
  if (f != nullptr) std::fclose(f);
  return kb;
}

// The peak memory of a unidirectional read, in a process of its own.
int ReadPeakChild() {
  auto conn = Connect(GConnInfo);
  const long before = PeakKB();
  TQVLQuery q;
  q.SetSQLConnection(conn.get());
  q.SQL().SetText(kSelect);
  q.SetUniDirectional(true);
  DeclareBenchFields(q);
  ReadAll(q);
  std::printf("%ld %ld\n", before, PeakKB());
  return 0;
}

void PrintReadPeak(const char* Self) {
  char arg[] = "--read-peak";
  char* argv[] = {const_cast<char*>(Self), arg, nullptr};
  int out[2];
  if (pipe(out) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, Self, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  char text[128] = {};
  const ssize_t n = rc == 0 ? read(out[0], text, sizeof text - 1) : -1;
  close(out[0]);
  int status = 0;
  if (rc == 0) waitpid(pid, &status, 0);
  long before = 0, after = 0;
  if (n > 0 && std::sscanf(text, "%ld %ld", &before, &after) == 2)
    std::printf("info: pg.read_rows peak memory %.1f MB (%.1f MB before opening)\n",
                static_cast<double>(after) / 1024, static_cast<double>(before) / 1024);
}

// ---- the first row at 1 ms round trips ------------------------------------------------------

std::unique_ptr<TQVLQuery> FirstRowQuery(TSQLConnection& Conn, int After) {
  auto q = std::make_unique<TQVLQuery>();
  q->SetSQLConnection(&Conn);
  char sql[256];
  std::snprintf(sql, sizeof sql, kFirstRowSQL, ":after");
  q->SQL().SetText(sql);
  q->Params().ParamByName("after")->SetAsInteger(After);
  return q;
}

// The median of Times, which a busy machine's stalls do not move.
double Median(std::vector<double> Times) {
  std::sort(Times.begin(), Times.end());
  return Times[Times.size() / 2];
}

// Each run opens the query a number of times and takes the median.
constexpr int kOpens = 25;

void QvlFirstRow(benchmark::State& State, bool Prepared) {
  std::unique_ptr<TSQLConnection> conn = Connect(GProxyConnInfo);
  // The application opened the query before, with another value.
  FirstRowQuery(*conn, 0)->Open();
  int after = 0;
  for (auto _ : State) {
    std::vector<double> times;
    for (int i = 0; i < kOpens; ++i) {
      if (!Prepared) conn = Connect(GProxyConnInfo);
      after = (after + 7919) % (kRows - 200);
      auto q = FirstRowQuery(*conn, after);
      const double t0 = WallNow();
      q->Open();
      TFieldReader(*q).Read();
      times.push_back(WallNow() - t0);
      if (q->FieldByName("id")->GetAsInteger() != after + 1) Fail("wrong first row");
    }
    State.SetIterationTime(Median(times));
  }
}
void QvlFirstRowPrepared(benchmark::State& State) {
  QvlFirstRow(State, true);
}
void QvlFirstRowNewText(benchmark::State& State) {
  QvlFirstRow(State, false);
}

void LibpqFirstRow(benchmark::State& State, bool Reconnect) {
  PGconn* c = PQConnect(GProxyConnInfo);
  char sql[256];
  std::snprintf(sql, sizeof sql, kFirstRowSQL, "$1");
  int after = 0;
  for (auto _ : State) {
    std::vector<double> times;
    for (int i = 0; i < kOpens; ++i) {
      if (Reconnect) {
        PQfinish(c);
        c = PQConnect(GProxyConnInfo);
      }
      after = (after + 7919) % (kRows - 200);
      const std::string value = std::to_string(after);
      const char* values[] = {value.c_str()};
      const double t0 = WallNow();
      if (PQsendQueryParams(c, sql, 1, nullptr, values, nullptr, nullptr, 1) == 0 ||
          PQsetSingleRowMode(c) == 0)
        Fail(PQerrorMessage(c));
      PGresult* first = PQgetResult(c);
      if (PQresultStatus(first) != PGRES_SINGLE_TUPLE) Fail(PQerrorMessage(c));
      TRow row;
      ReadRow(first, 0, row);
      times.push_back(WallNow() - t0);
      PQclear(first);
      while (PGresult* r = PQgetResult(c)) PQclear(r);
      if (row.Id != after + 1) Fail("wrong first row");
    }
    State.SetIterationTime(Median(times));
  }
  PQfinish(c);
}
void LibpqFirstRowSame(benchmark::State& State) {
  LibpqFirstRow(State, false);
}
void LibpqFirstRowNewConnection(benchmark::State& State) {
  LibpqFirstRow(State, true);
}

// ---- applying ---------------------------------------------------------------------------

// Rows [1, N] of bench_apply vacuumed, so that every run starts alike.
void Vacuum() {
  PGconn* c = PQConnect(GConnInfo);
  PQRun(c, "VACUUM bench_apply");
  PQfinish(c);
}

void QvlApply(benchmark::State& State, const std::string& Info, int N) {
  for (auto _ : State) {
    ++GRound;
    Vacuum();
    auto conn = Connect(Info);
    TQVLQuery q;
    q.SetSQLConnection(conn.get());
    q.SQL().SetText("SELECT id, i32, i64, dbl, str, day, data, opt FROM bench_apply WHERE id <= " +
                    std::to_string(N) + " ORDER BY id");
    q.SetCachedUpdates(true);
    q.SetUpdateMode(upWhereKeyOnly);
    q.Open();
    TField* id = q.FieldByName("id");
    TField* i32 = q.FieldByName("i32");
    TField* str = q.FieldByName("str");
    for (; !q.Eof(); q.Next()) {
      q.Edit();
      const int key = id->GetAsInteger();
      i32->SetAsInteger(key * 3 + GRound);
      str->SetAsString(NewString(key));
      q.Post();
    }
    const double t0 = WallNow();
    q.ApplyUpdates();
    State.SetIterationTime(WallNow() - t0);
    if (q.GetUpdatesPending()) Fail("records left pending");
  }
}

void LibpqApply(benchmark::State& State, const std::string& Info, int N) {
  for (auto _ : State) {
    ++GRound;
    Vacuum();
    PGconn* c = PQConnect(Info);
    const double t0 = WallNow();
    if (PQenterPipelineMode(c) == 0) Fail(PQerrorMessage(c));
    PQsendQueryParams(c, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0);
    PQsendPrepare(c, "upd", "UPDATE bench_apply SET i32 = $1, str = $2 WHERE id = $3", 3, nullptr);
    for (int id = 1; id <= N; ++id) {
      const std::string a = std::to_string(id * 3 + GRound), b = NewString(id),
                        k = std::to_string(id);
      const char* values[] = {a.c_str(), b.c_str(), k.c_str()};
      if (PQsendQueryPrepared(c, "upd", 3, values, nullptr, nullptr, 0) == 0)
        Fail(PQerrorMessage(c));
    }
    PQsendQueryParams(c, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0);
    PQpipelineSync(c);
    int updated = 0;
    for (int k = 0; k < N + 3; ++k) {
      PGresult* r = PQgetResult(c);
      if (PQresultStatus(r) != PGRES_COMMAND_OK) Fail(PQerrorMessage(c));
      if (k >= 2 && k < N + 2) updated += std::strcmp(PQcmdTuples(r), "1") == 0;
      PQclear(r);
      PQclear(PQgetResult(c));  // the null after each result
    }
    PGresult* sync = PQgetResult(c);
    if (PQresultStatus(sync) != PGRES_PIPELINE_SYNC) Fail("no sync");
    PQclear(sync);
    State.SetIterationTime(WallNow() - t0);
    if (updated != N) Fail("libpq updated " + std::to_string(updated) + " rows");
    PQfinish(c);
  }
}

void QvlApplyDirect(benchmark::State& State) {
  QvlApply(State, GConnInfo, kApplyRows);
}
void LibpqApplyDirect(benchmark::State& State) {
  LibpqApply(State, GConnInfo, kApplyRows);
}
void QvlApply1ms(benchmark::State& State) {
  QvlApply(State, GProxyConnInfo, kApplyRows1ms);
}
void LibpqApply1ms(benchmark::State& State) {
  LibpqApply(State, GProxyConnInfo, kApplyRows1ms);
}

// ---- round trips ----------------------------------------------------------------------------

// The round trips that Step's timed part (the function it returns) takes,
// as the proxy counts them.
template <class Step>
long RoundTrips(const TDelayProxy& Proxy, Step&& F) {
  auto timed = F();
  const long before = Proxy.RoundTrips();
  timed();
  return Proxy.RoundTrips() - before;
}

void PrintRoundTrips(const TDelayProxy& Proxy) {
  auto conn = Connect(GProxyConnInfo);
  FirstRowQuery(*conn, 0)->Open();
  int after = 0;
  std::unique_ptr<TQVLQuery> q;
  std::printf("info: round trips to open a query again and read its first row: %ld\n",
              RoundTrips(Proxy, [&] {
                q = FirstRowQuery(*conn, ++after);
                return [&] { q->Open(); };
              }));
  std::printf("info: round trips to open a new text and read its first row: %ld\n",
              RoundTrips(Proxy, [&] {
                q = std::make_unique<TQVLQuery>();
                q->SetSQLConnection(conn.get());
                q->SQL().SetText(std::string(kSelect) + " LIMIT 5");
                return [&] { q->Open(); };
              }));
  for (int n : {1, 64, 2000}) {
    std::printf(
        "info: round trips to apply %d records: %ld\n", n, RoundTrips(Proxy, [&] {
          q = std::make_unique<TQVLQuery>();
          q->SetSQLConnection(conn.get());
          q->SQL().SetText("SELECT id, i32 FROM bench_apply WHERE id <= " + std::to_string(n));
          q->SetCachedUpdates(true);
          q->SetUpdateMode(upWhereKeyOnly);
          q->Open();
          ++after;
          for (; !q->Eof(); q->Next()) {
            q->Edit();
            q->FieldByName("i32")->SetAsInteger(after);
            q->Post();
          }
          return [&] { q->ApplyUpdates(); };
        }));
  }
  std::printf("info: round trips to ExecSQL a prepared statement: %ld\n", RoundTrips(Proxy, [&] {
                conn->ExecuteDirect("SELECT 1");
                return [&] { conn->ExecuteDirect("UPDATE bench_apply SET i32 = 0 WHERE id = 0"); };
              }));
}

void CreateTables() {
  PGconn* c = PQConnect(GConnInfo);
  PQRun(c,
        "SET client_min_messages = warning; DROP TABLE IF EXISTS bench, bench_apply;"
        "CREATE TABLE bench (id int8 PRIMARY KEY, i32 int4, i64 int8, dbl float8, "
        "str varchar(40), day date, data bytea, opt int4);"
        "INSERT INTO bench SELECT g, g * 7 - 3000000, g::int8 * 1000003, g * 0.25, "
        "'Row-' || lpad(g::text, 8, '0') || ' Quick Brown Fox Jumps Over', "
        "date '1990-01-01' + g % 10000, "
        "substring(decode(repeat(md5(g::text), 4), 'hex') from 1 for 16 + g % 49), "
        "CASE WHEN g % 3 = 0 THEN NULL ELSE g % 1000 END FROM generate_series(1, 1000000) g;"
        "CREATE TABLE bench_apply AS SELECT * FROM bench WHERE id <= 100000;"
        "ALTER TABLE bench_apply ADD PRIMARY KEY (id)");
  PQRun(c, "VACUUM ANALYZE bench");
  PQRun(c, "VACUUM ANALYZE bench_apply");
  PQfinish(c);
}

// The proxy goes to the server's Unix socket, which the connection string
// names by its directory and port; its clients connect with the same
// settings to the proxy's port instead.
std::unique_ptr<TDelayProxy> SetUpProxy() {
  PQconninfoOption* options = PQconninfoParse(GConnInfo.c_str(), nullptr);
  if (options == nullptr) Fail("QVL_PG_CONNINFO is no connection string");
  std::string host, port = "5432", rest;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val == nullptr || *o->val == '\0') continue;
    if (std::strcmp(o->keyword, "host") == 0) {
      host = o->val;
    } else if (std::strcmp(o->keyword, "port") == 0) {
      port = o->val;
    } else if (std::strcmp(o->keyword, "hostaddr") != 0) {
      rest += std::string(" ") + o->keyword + "='" + o->val + "'";
    }
  }
  PQconninfoFree(options);
  if (host.empty() || host[0] != '/') Fail("the server must listen on a Unix socket");
  auto proxy = std::make_unique<TDelayProxy>(host + "/.s.PGSQL." + port, kDelay);
  GProxyConnInfo = "host=127.0.0.1 port=" + std::to_string(proxy->Port()) + rest;
  return proxy;
}

}  // namespace

int main(int argc, char** argv) {
  const char* info = std::getenv("QVL_PG_CONNINFO");
  if (info == nullptr || *info == '\0') {
    std::printf("bench_pg: skipped, QVL_PG_CONNINFO names no server (bench/run starts one)\n");
    return 0;
  }
  GConnInfo = info;
  if (argc == 2 && std::strcmp(argv[1], "--read-peak") == 0) return ReadPeakChild();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CreateTables();
  const std::unique_ptr<TDelayProxy> proxy = SetUpProxy();

  RegisterAlternating({{"QvlReadRows", QvlReadRowsUni},
                       {"QvlReadRowsCached", QvlReadRowsCached},
                       {"LibpqReadRows", LibpqReadRows}},
                      3);
  RegisterAlternating({{"QvlFirstRow1ms", QvlFirstRowPrepared},
                       {"LibpqFirstRow1ms", LibpqFirstRowSame},
                       {"QvlFirstRowNewText1ms", QvlFirstRowNewText},
                       {"LibpqFirstRowNewConnection1ms", LibpqFirstRowNewConnection}},
                      3);
  RegisterAlternating({{"QvlApply", QvlApplyDirect}, {"LibpqApply", LibpqApplyDirect}}, 3);
  RegisterAlternating({{"QvlApply1ms", QvlApply1ms}, {"LibpqApply1ms", LibpqApply1ms}}, 3);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintRatio("pg.read_rows", "QvlReadRows", "LibpqReadRows");
  reporter.PrintRatio("pg.read_rows_cached", "QvlReadRowsCached", "LibpqReadRows");
  reporter.PrintRatio("pg.first_row_1ms", "QvlFirstRow1ms", "LibpqFirstRow1ms");
  reporter.PrintRatio("pg.apply", "QvlApply", "LibpqApply");
  reporter.PrintRatio("pg.apply_1ms", "QvlApply1ms", "LibpqApply1ms");
  reporter.PrintInfo("ratio pg.first_row_1ms of a text not prepared yet =", "QvlFirstRowNewText1ms",
                     "LibpqFirstRowNewConnection1ms");
  PrintRoundTrips(*proxy);
  PrintReadPeak(argv[0]);
  return 0;
}
