// The record cache engine against hand-written loops over the SQLite C API,
// on a table of 1,000,000 rows. Prints, ours over the baseline's:
//   ratio engine.fetch_forward = VALUE   open and read every field of every
//                                        row, first to last; baseline: copy
//                                        every row into a vector of structs
//   ratio engine.walk_backward = VALUE   last to first over the cache, every
//                                        field; baseline: step and read every
//                                        column again, keeping nothing
//   ratio engine.peak_memory = VALUE     heap held by the whole result cached;
//                                        baseline: the vector of structs
//   ratio engine.first_row = VALUE       open and read the first record;
//                                        baseline: prepare and first step
// and, for the record, fetch_forward against the same loop on a connection
// opened without SQLite's mutex (as the driver opens its own), and what the
// host's forward-only SQL dataset alone takes to read every field of every
// row. Fields are read through the field objects in their native format.
// The baseline opens its connection with sqlite3_open's defaults.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <memory>

#include "bench/BenchEngineTable.h"
#include "bench/BenchSupport.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/sqlclient/SQLConnection.h"

using namespace qvl;
using namespace qvl::bench;

namespace {

constexpr int kRows = 1000000;
TBenchTable* GTable = nullptr;
std::uint64_t GSink = 0;

std::unique_ptr<TSQLConnection> Connect() {
  auto conn = std::make_unique<TSQLConnection>();
  bench::SetUpSQLite(*conn, GTable->Path());
  conn->Open();
  return conn;
}

std::unique_ptr<TQVLQuery> Query(TSQLConnection& Conn, bool DefaultFields = false) {
  auto q = std::make_unique<TQVLQuery>();
  q->SetSQLConnection(&Conn);
  q->SQL().SetText(kBenchSelect);
  if (!DefaultFields) DeclareBenchFields(*q);
  return q;
}

// Reads every field of the active record.
class TFieldReader {
 public:
  explicit TFieldReader(TDataSet& DataSet) {
    for (int i = 0; i < DataSet.Fields().Count(); ++i)
      FFields.push_back({DataSet.Fields()[i], DataSet.Fields()[i]->IsBlob()});
  }
  void Read() {
    std::uint64_t sum = 0;
    for (const auto& [field, blob] : FFields) {
      if (blob) {
        TBlobByteData bytes;
        if (field->GetData(&bytes)) sum += bytes.Length() + bytes.Data()[0];
      } else if (field->GetData(FBuffer)) {
        sum += FBuffer[0];
      }
    }
    GSink += sum;
  }

 private:
  std::vector<std::pair<TField*, bool>> FFields;
  std::uint8_t FBuffer[1024];
};

std::size_t HeapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// ---- reading forward ------------------------------------------------------------

void EngineFetchForward(benchmark::State& State) {
  auto conn = Connect();
  for (auto _ : State) {
    auto q = Query(*conn);
    const double t0 = ThreadCpuNow();
    q->Open();
    TFieldReader reader(*q);
    while (!q->Eof()) {
      reader.Read();
      q->Next();
    }
    State.SetIterationTime(ThreadCpuNow() - t0);
  }
}

void CopyRowsOn(benchmark::State& State, sqlite3* db) {
  for (auto _ : State) {
    // Making room for the cache is part of building it, as the engine's
    // pages are: both pay the heap's bookkeeping for what the previous
    // iteration freed.
    const double t0 = ThreadCpuNow();
    std::vector<TBenchRow> rows;
    CacheRows(db, kRows, rows);
    State.SetIterationTime(ThreadCpuNow() - t0);
    GSink += rows.size();
  }
  sqlite3_close(db);
}

// The plain loop: a connection as sqlite3_open makes it.
void CApiCopyRows(benchmark::State& State) {
  CopyRowsOn(State, GTable->Open());
}

// For the record: the same loop on a connection opened without SQLite's own
// mutex, as the driver opens its connections.
void CApiCopyRowsNoMutex(benchmark::State& State) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(GTable->Path().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                  nullptr);
  CopyRowsOn(State, db);
}

// For the record: the host's own forward-only SQL dataset reading every
// field of every row and keeping nothing, the floor under fetch_forward.
void HostSQLReadForward(benchmark::State& State) {
  auto conn = Connect();
  for (auto _ : State) {
    TSQLQuery q;
    q.SetSQLConnection(conn.get());
    q.SQL().SetText(kBenchSelect);
    DeclareBenchFields(q);
    const double t0 = ThreadCpuNow();
    q.Open();
    TFieldReader reader(q);
    while (!q.Eof()) {
      reader.Read();
      q.Next();
    }
    State.SetIterationTime(ThreadCpuNow() - t0);
  }
}

// ---- walking back over the cache ----------------------------------------------------

void EngineWalkBackward(benchmark::State& State) {
  auto conn = Connect();
  auto q = Query(*conn);
  q->Open();
  q->Last();
  TFieldReader reader(*q);
  for (auto _ : State) {
    const double t0 = ThreadCpuNow();
    q->Last();
    while (!q->Bof()) {
      reader.Read();
      q->Prior();
    }
    State.SetIterationTime(ThreadCpuNow() - t0);
  }
}

void CApiReadRows(benchmark::State& State) {
  sqlite3* db = GTable->Open();
  for (auto _ : State) {
    const double t0 = ThreadCpuNow();
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kBenchSelect, -1, &stmt, nullptr);
    std::uint64_t sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      sum += static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 0));
      sum += static_cast<std::uint64_t>(sqlite3_column_int(stmt, 1));
      sum += static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 2));
      sum += static_cast<std::uint64_t>(sqlite3_column_double(stmt, 3));
      sum += sqlite3_column_text(stmt, 4)[0];
      sum += sqlite3_column_text(stmt, 5)[0];
      sum += static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 6))[0];
      sum += static_cast<std::uint64_t>(sqlite3_column_bytes(stmt, 6));
      if (sqlite3_column_type(stmt, 7) != SQLITE_NULL)
        sum += static_cast<std::uint64_t>(sqlite3_column_int(stmt, 7));
    }
    sqlite3_finalize(stmt);
    State.SetIterationTime(ThreadCpuNow() - t0);
    GSink += sum;
  }
  sqlite3_close(db);
}

// ---- the first row ---------------------------------------------------------------------

void EngineFirstRow(benchmark::State& State) {
  auto conn = Connect();
  auto q = Query(*conn);
  for (auto _ : State) {
    const double t0 = ThreadCpuNow();
    q->Open();
    TFieldReader(*q).Read();
    State.SetIterationTime(ThreadCpuNow() - t0);
    q->Close();
  }
}
BENCHMARK(EngineFirstRow)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void CApiFirstRow(benchmark::State& State) {
  sqlite3* db = GTable->Open();
  for (auto _ : State) {
    const double t0 = ThreadCpuNow();
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kBenchSelect, -1, &stmt, nullptr);
    if (sqlite3_step(stmt) == SQLITE_ROW)
      GSink += static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 0));
    State.SetIterationTime(ThreadCpuNow() - t0);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
}
BENCHMARK(CApiFirstRow)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// ---- memory ---------------------------------------------------------------------------------

// Heap held by the whole result cached, ours over the vector of structs.
// Each side is measured from a trimmed heap with the connection open.
std::size_t EngineHeap(bool DefaultFields) {
  auto conn = Connect();
  auto q = Query(*conn, DefaultFields);
  malloc_trim(0);
  const std::size_t before = HeapInUse();
  q->Open();
  q->Last();
  return HeapInUse() - before;
}

double PeakMemoryRatio() {
  const std::size_t ours = EngineHeap(false), defaults = EngineHeap(true);
  std::size_t theirs;
  {
    sqlite3* db = GTable->Open();
    malloc_trim(0);
    const std::size_t before = HeapInUse();
    std::vector<TBenchRow> rows;
    CacheRows(db, kRows, rows);
    theirs = HeapInUse() - before;
    sqlite3_close(db);
  }
  std::printf(
      "heap per row: engine %.1f bytes (%.1f with the driver's default fields), baseline %.1f\n",
      static_cast<double>(ours) / kRows, static_cast<double>(defaults) / kRows,
      static_cast<double>(theirs) / kRows);
  return static_cast<double>(ours) / static_cast<double>(theirs);
}

// One untimed pass of each side, so that both run on a heap that already
// holds the memory a cached result needs, and on a warm page cache.
void WarmUp() {
  auto conn = Connect();
  {
    auto q = Query(*conn);
    q->Open();
    q->Last();
  }
  sqlite3* db = GTable->Open();
  std::vector<TBenchRow> rows;
  CacheRows(db, kRows, rows);
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  // A long-running process keeps its heap: without this glibc hands the
  // freed cache back to the kernel after every iteration, and each side
  // would mostly measure page faults of fresh memory.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TBenchTable table(kRows);
  GTable = &table;
  WarmUp();
  RegisterAlternating({{"EngineFetchForward", EngineFetchForward},
                       {"CApiCopyRows", CApiCopyRows},
                       {"CApiCopyRowsNoMutex", CApiCopyRowsNoMutex}},
                      8);
  RegisterAlternating({{"HostSQLReadForward", HostSQLReadForward}, {"CApiCopyRows", CApiCopyRows}},
                      2);
  RegisterAlternating({{"EngineWalkBackward", EngineWalkBackward}, {"CApiReadRows", CApiReadRows}},
                      5);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double memory = PeakMemoryRatio();
  reporter.PrintRatio("engine.fetch_forward", "EngineFetchForward", "CApiCopyRows");
  reporter.PrintRatio("engine.walk_backward", "EngineWalkBackward", "CApiReadRows");
  std::printf("ratio engine.peak_memory = %.3f\n", memory);
  reporter.PrintRatio("engine.first_row", "EngineFirstRow", "CApiFirstRow");
  reporter.PrintInfo("fetch_forward against the loop on a connection without SQLite's mutex:",
                     "EngineFetchForward", "CApiCopyRowsNoMutex");
  reporter.PrintInfo(
      "the host SQL dataset alone, reading forward and keeping nothing, over the baseline:",
      "HostSQLReadForward", "CApiCopyRows");
  return GSink == 42 ? 1 : 0;
}
