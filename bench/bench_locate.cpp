// Locate over 1,000,000 cached rows against hand-written loops. Prints, ours
// over the loop's:
//   ratio locate.int_key = VALUE        the last row by its integer key;
//                                       baseline: a loop over a vector of row
//                                       structures comparing the same integer
//   ratio locate.ci_string_key = VALUE  the last row by a case-insensitive
//                                       string key; baseline: a loop over a
//                                       vector of strings with the same
//                                       trimming and case folding
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unicode/ucasemap.h>

#include <memory>

#include "bench/BenchEngineTable.h"
#include "bench/BenchSupport.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/sqlclient/SQLConnection.h"

using namespace qvl;
using namespace qvl::bench;

namespace {

constexpr int kRows = 1000000;
TBenchTable* GTable = nullptr;
std::unique_ptr<TSQLConnection> GConnection;
std::unique_ptr<TQVLQuery> GQuery;  // every row cached
std::vector<TBenchRow> GRows;       // the baseline's rows
std::uint64_t GSink = 0;

void Prepare() {
  GConnection = std::make_unique<TSQLConnection>();
  bench::SetUpSQLite(*GConnection, GTable->Path());
  GConnection->Open();
  GQuery = std::make_unique<TQVLQuery>();
  GQuery->SetSQLConnection(GConnection.get());
  GQuery->SQL().SetText(kBenchSelect);
  DeclareBenchFields(*GQuery);
  GQuery->Open();
  GQuery->Last();
  GQuery->First();

  sqlite3* db = GTable->Open();
  CacheRows(db, kRows, GRows);
  sqlite3_close(db);
}

// ---- integer key ------------------------------------------------------------------

void LocateIntKey(benchmark::State& State) {
  for (auto _ : State) {
    GQuery->First();
    const double t0 = ThreadCpuNow();
    const bool found = GQuery->Locate("id", Variant(static_cast<std::int64_t>(kRows)), 0);
    State.SetIterationTime(ThreadCpuNow() - t0);
    if (!found) State.SkipWithError("not found");
  }
}
BENCHMARK(LocateIntKey)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void LoopIntKey(benchmark::State& State) {
  for (auto _ : State) {
    const double t0 = ThreadCpuNow();
    std::int64_t key = kRows;
    benchmark::DoNotOptimize(key);
    const std::int64_t* found = nullptr;
    std::size_t at = 0;
    for (; at < GRows.size(); ++at)
      if (GRows[at].Id == key) {
        found = &GRows[at].Id;
        break;
      }
    benchmark::DoNotOptimize(found);
    State.SetIterationTime(ThreadCpuNow() - t0);
    GSink += at;
  }
}
BENCHMARK(LoopIntKey)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// ---- case-insensitive string key ------------------------------------------------------

// What the loop does to each value: blanks off the end, then upper case by
// the default locale's rules.
class TFolder {
 public:
  TFolder() {
    UErrorCode status = U_ZERO_ERROR;
    FMap = ucasemap_open(nullptr, 0, &status);
  }
  ~TFolder() { ucasemap_close(FMap); }
  void Fold(const char* Text, std::size_t Length, std::string& Out) {
    while (Length > 0 && static_cast<unsigned char>(Text[Length - 1]) <= ' ') --Length;
    Out.resize(Length + 8);
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToUpper(FMap, Out.data(), static_cast<int32_t>(Out.size()), Text,
                                     static_cast<int32_t>(Length), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      Out.resize(static_cast<std::size_t>(n));
      status = U_ZERO_ERROR;
      n = ucasemap_utf8ToUpper(FMap, Out.data(), n, Text, static_cast<int32_t>(Length), &status);
    }
    Out.resize(static_cast<std::size_t>(n));
  }

 private:
  UCaseMap* FMap;
};

std::string LastKeyLowerCase() {
  std::string key = BenchString(kRows);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key + "  ";
}

void LocateCaseInsensitive(benchmark::State& State) {
  const std::string key = LastKeyLowerCase();
  for (auto _ : State) {
    GQuery->First();
    const double t0 = ThreadCpuNow();
    const bool found = GQuery->Locate("str", Variant(key), loCaseInsensitive);
    State.SetIterationTime(ThreadCpuNow() - t0);
    if (!found) State.SkipWithError("not found");
  }
}
BENCHMARK(LocateCaseInsensitive)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void LoopCaseInsensitive(benchmark::State& State) {
  std::vector<std::string> strings;
  strings.reserve(GRows.size());
  for (const TBenchRow& r : GRows) strings.push_back(r.Str);
  const std::string key = LastKeyLowerCase();
  TFolder folder;
  for (auto _ : State) {
    const double t0 = ThreadCpuNow();
    std::string foldedKey, folded;
    folder.Fold(key.data(), key.size(), foldedKey);
    std::size_t at = 0;
    for (; at < strings.size(); ++at) {
      folder.Fold(strings[at].data(), strings[at].size(), folded);
      if (folded == foldedKey) break;
    }
    State.SetIterationTime(ThreadCpuNow() - t0);
    if (at == strings.size()) State.SkipWithError("not found");
    GSink += at;
  }
}
BENCHMARK(LoopCaseInsensitive)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TBenchTable table(kRows);
  GTable = &table;
  Prepare();
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  GQuery.reset();
  GConnection.reset();
  reporter.PrintRatio("locate.int_key", "LocateIntKey", "LoopIntKey");
  reporter.PrintRatio("locate.ci_string_key", "LocateCaseInsensitive", "LoopCaseInsensitive");
  return GSink == 42 ? 1 : 0;
}
