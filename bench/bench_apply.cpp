// Applying cached updates against hand-written loops over the SQLite C API
// that prepare one statement and bind and step it once per row, on the
// engine benchmark's table, each side in one transaction. Prints, ours over
// the baseline's:
//   ratio apply.generated_update = VALUE   100,000 records with two fields
//                                          changed, generated UPDATEs (where
//                                          key only)
//   ratio apply.update_sql = VALUE         the same through a TQVLUpdateSQL
//                                          with the application's UPDATE
//   ratio apply.generated_insert = VALUE   100,000 inserted records,
//                                          generated INSERTs
// and, for the record, the same three ratios at 10,000 records and each
// one's time per record at 100,000 records over its time per record at
// 10,000 (1.0 when the cost per record is flat).
// Only ApplyUpdates (or the baseline's loop) is timed; editing the records
// before it is not.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench/BenchEngineTable.h"
#include "bench/BenchSupport.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/update/QVLUpdateSQL.h"

using namespace qvl;
using namespace qvl::bench;

namespace {

constexpr int kRows = 100000;
constexpr int kSmallRows = 10000;
TBenchTable* GTable = nullptr;
int GRound = 0;

std::unique_ptr<TSQLConnection> Connect() {
  auto conn = std::make_unique<TSQLConnection>();
  bench::SetUpSQLite(*conn, GTable->Path());
  conn->Open();
  return conn;
}

std::string NewString(int Id) {
  return BenchString(Id + GRound);
}
int NewI32(int Id) {
  return Id * 3 + GRound;
}

// Rows [1, N] of the table, each with i32 and str changed.
std::unique_ptr<TQVLQuery> ModifiedQuery(TSQLConnection& Conn, int N) {
  auto q = std::make_unique<TQVLQuery>();
  q->SetSQLConnection(&Conn);
  q->SQL().SetText("SELECT id, i32, i64, dbl, str, day, data, opt FROM bench WHERE id <= " +
                   std::to_string(N) + " ORDER BY id");
  q->SetCachedUpdates(true);
  q->SetUpdateMode(upWhereKeyOnly);
  q->Open();
  TField* i32 = q->FieldByName("i32");
  TField* str = q->FieldByName("str");
  TField* id = q->FieldByName("id");
  for (; !q->Eof(); q->Next()) {
    q->Edit();
    const int key = id->GetAsInteger();
    i32->SetAsInteger(NewI32(key));
    str->SetAsString(NewString(key));
    q->Post();
  }
  return q;
}

void Apply(benchmark::State& State, TQVLQuery& Q) {
  const double start = ThreadCpuNow();
  Q.ApplyUpdates();
  State.SetIterationTime(ThreadCpuNow() - start);
  if (Q.GetUpdatesPending()) State.SkipWithError("records left pending");
}

void GeneratedUpdate(benchmark::State& State, int N) {
  for (auto _ : State) {
    ++GRound;
    auto conn = Connect();
    auto q = ModifiedQuery(*conn, N);
    Apply(State, *q);
  }
}

void UpdateSQL(benchmark::State& State, int N) {
  for (auto _ : State) {
    ++GRound;
    auto conn = Connect();
    TQVLUpdateSQL upd;
    upd.GetModifySQL().SetText("UPDATE bench SET i32 = :i32, str = :str WHERE id = :OLD_id");
    auto q = ModifiedQuery(*conn, N);
    q->SetUpdateObject(&upd);
    Apply(State, *q);
  }
}

void CApiUpdate(benchmark::State& State, int N) {
  for (auto _ : State) {
    ++GRound;
    sqlite3* db = GTable->Open();
    const double start = ThreadCpuNow();
    TBenchTable::Exec(db, "BEGIN");
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "UPDATE bench SET i32 = ?, str = ? WHERE id = ?", -1, &stmt, nullptr);
    for (int id = 1; id <= N; ++id) {
      sqlite3_bind_int(stmt, 1, NewI32(id));
      const std::string s = NewString(id);
      sqlite3_bind_text(stmt, 2, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(stmt, 3, id);
      if (sqlite3_step(stmt) != SQLITE_DONE || sqlite3_changes(db) != 1)
        State.SkipWithError("update failed");
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    TBenchTable::Exec(db, "COMMIT");
    State.SetIterationTime(ThreadCpuNow() - start);
    sqlite3_close(db);
  }
}

// The inserts go to a table of the same columns, emptied before each run.
void GeneratedInsert(benchmark::State& State, int N) {
  for (auto _ : State) {
    auto conn = Connect();
    conn->ExecuteDirect("DELETE FROM bench_copy");
    TQVLQuery q;
    q.SetSQLConnection(conn.get());
    q.SQL().SetText("SELECT id, i32, i64, dbl, str, day, data, opt FROM bench_copy");
    q.SetCachedUpdates(true);
    q.Open();
    for (int id = 1; id <= N; ++id) {
      q.Append();
      q.Fields()[0]->SetAsInteger(id);
      q.Fields()[1]->SetAsInteger(NewI32(id));
      q.Fields()[2]->SetAsLargeInt(std::int64_t{id} * 1000003);
      q.Fields()[3]->SetAsFloat(id * 0.25);
      q.Fields()[4]->SetAsString(NewString(id));
      q.Fields()[5]->SetAsDateTime(EncodeDate(2000 + id % 30, static_cast<unsigned>(1 + id % 12),
                                              static_cast<unsigned>(1 + id % 28)));
      q.Fields()[6]->SetAsString(std::string(16 + id % 49, static_cast<char>('a' + id % 26)));
      if (id % 3 != 0) q.Fields()[7]->SetAsInteger(id % 1000);
      q.Post();
    }
    Apply(State, q);
  }
}

void CApiInsert(benchmark::State& State, int N) {
  for (auto _ : State) {
    sqlite3* db = GTable->Open();
    TBenchTable::Exec(db, "DELETE FROM bench_copy");
    const double start = ThreadCpuNow();
    TBenchTable::Exec(db, "BEGIN");
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO bench_copy (id, i32, i64, dbl, str, day, data, opt) VALUES (?, "
                       "?, ?, ?, ?, ?, ?, ?)",
                       -1, &stmt, nullptr);
    for (int id = 1; id <= N; ++id) {
      sqlite3_bind_int64(stmt, 1, id);
      sqlite3_bind_int(stmt, 2, NewI32(id));
      sqlite3_bind_int64(stmt, 3, std::int64_t{id} * 1000003);
      sqlite3_bind_double(stmt, 4, id * 0.25);
      const std::string s = NewString(id);
      sqlite3_bind_text(stmt, 5, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      char day[16];
      std::snprintf(day, sizeof day, "%04d-%02d-%02d", 2000 + id % 30, 1 + id % 12, 1 + id % 28);
      sqlite3_bind_text(stmt, 6, day, -1, SQLITE_TRANSIENT);
      const std::string blob(static_cast<std::size_t>(16 + id % 49),
                             static_cast<char>('a' + id % 26));
      sqlite3_bind_blob(stmt, 7, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
      if (id % 3 != 0)
        sqlite3_bind_int(stmt, 8, id % 1000);
      else
        sqlite3_bind_null(stmt, 8);
      if (sqlite3_step(stmt) != SQLITE_DONE) State.SkipWithError("insert failed");
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    TBenchTable::Exec(db, "COMMIT");
    State.SetIterationTime(ThreadCpuNow() - start);
    sqlite3_close(db);
  }
}

template <void (*F)(benchmark::State&, int), int N>
void At(benchmark::State& State) {
  F(State, N);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TBenchTable table(kRows);
  GTable = &table;
  {
    sqlite3* db = table.Open();
    TBenchTable::Exec(
        db,
        "CREATE TABLE bench_copy (id INTEGER PRIMARY KEY, i32 INT, i64 BIGINT, dbl REAL,"
        " str VARCHAR(40), day DATE, data BLOB, opt INT)");
    sqlite3_close(db);
  }
  RegisterAlternating({{"GeneratedUpdate", At<GeneratedUpdate, kRows>},
                       {"UpdateSQL", At<UpdateSQL, kRows>},
                       {"CApiUpdate", At<CApiUpdate, kRows>},
                       {"GeneratedInsert", At<GeneratedInsert, kRows>},
                       {"CApiInsert", At<CApiInsert, kRows>}},
                      9);
  RegisterAlternating({{"GeneratedUpdate10k", At<GeneratedUpdate, kSmallRows>},
                       {"UpdateSQL10k", At<UpdateSQL, kSmallRows>},
                       {"CApiUpdate10k", At<CApiUpdate, kSmallRows>},
                       {"GeneratedInsert10k", At<GeneratedInsert, kSmallRows>},
                       {"CApiInsert10k", At<CApiInsert, kSmallRows>}},
                      5);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintRatio("apply.generated_update", "GeneratedUpdate", "CApiUpdate");
  reporter.PrintRatio("apply.update_sql", "UpdateSQL", "CApiUpdate");
  reporter.PrintRatio("apply.generated_insert", "GeneratedInsert", "CApiInsert");
  // The same ratios at the tenth as many records, for the record.
  reporter.PrintInfo("ratio at 10000 records apply.generated_update =", "GeneratedUpdate10k",
                     "CApiUpdate10k");
  reporter.PrintInfo("ratio at 10000 records apply.update_sql =", "UpdateSQL10k", "CApiUpdate10k");
  reporter.PrintInfo("ratio at 10000 records apply.generated_insert =", "GeneratedInsert10k",
                     "CApiInsert10k");
  // Per record: times 10 for the tenth as many records.
  double a;
  for (const char* name : {"GeneratedUpdate", "UpdateSQL", "GeneratedInsert"})
    if (reporter.Ratio(name, (std::string(name) + "10k").c_str(), a))
      std::printf("info: %s time per record at %d over at %d records: %.3f\n", name, kRows,
                  kSmallRows, a * kSmallRows / kRows);
  return 0;
}
