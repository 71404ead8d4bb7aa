// Reading 1,000,000 SQLite rows through the SQL layer's row source against
// a hand-written loop over the SQLite C API, in the same run. Each row has
// integers of two widths, a double, a short string, a date, a small blob and
// a nullable integer; both loops produce the same values (the date as days,
// the string and the blob copied out). Prints
//   ratio sql.read_rows = VALUE
// the layer's time over the C API loop's (lower is better). Times are the
// thread's CPU time, the best of a few runs of each.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchEngineTable.h"
#include "bench/BenchSupport.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/host/sqlclient/SQLDataSet.h"

using namespace qvl;

namespace {

constexpr int kRows = 1000000;
constexpr const char* kSelect = "SELECT id, qty, amount, price, code, day, tag, note_id FROM bench";

std::string GPath;
std::uint64_t GSink = 0;

void Check(int Rc, sqlite3* Db) {
  if (Rc != SQLITE_OK && Rc != SQLITE_DONE && Rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(Db));
    std::exit(1);
  }
}

// The table, written once per run into a temporary file.
void CreateTable() {
  GPath = (std::filesystem::temp_directory_path() /
           ("qvl_bench_sql_" + std::to_string(::getpid()) + ".db"))
              .string();
  sqlite3* db = nullptr;
  Check(sqlite3_open(GPath.c_str(), &db), db);
  Check(sqlite3_exec(db,
                     "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;"
                     "CREATE TABLE bench (id INTEGER PRIMARY KEY, qty INT NOT NULL, "
                     "amount BIGINT NOT NULL, price DOUBLE NOT NULL, code VARCHAR(12) NOT NULL, "
                     "day DATE NOT NULL, tag BLOB NOT NULL, note_id INT);"
                     "INSERT INTO bench WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                     "FROM c WHERE x < 1000000) SELECT x, x % 1000, x * 7919, x * 0.25, "
                     "printf('C%08d', x), date('2000-01-01', '+' || (x % 10000) || ' days'), "
                     "randomblob(16), CASE WHEN x % 3 = 0 THEN NULL ELSE x END FROM c;",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_close(db);
}

// The SQL dataset's row source, called by qualified name as caching
// descendants call it.
class RowSource : public TSQLQuery {
 public:
  using TSQLQuery::TSQLQuery;
  bool Fetch() { return TCustomSQLDataSet::GetRecord(nullptr, gmNext, false) == grOK; }
  bool Field(int FieldNo, void* Buffer) { return TCustomSQLDataSet::GetFieldData(FieldNo, Buffer); }
  int Blob(int FieldNo, TBlobByteData& Bytes) {
    return TCustomSQLDataSet::GetBlobFieldData(FieldNo, Bytes);
  }
};

void LayerReadRows(benchmark::State& State) {
  TSQLConnection conn;
  bench::SetUpSQLite(conn, GPath);
  conn.Open();
  for (auto _ : State) {
    RowSource source;
    source.SetSQLConnection(&conn);
    source.SQL().SetText(kSelect);
    const double t0 = qvl::bench::ThreadCpuNow();
    source.Open();  // executes and reads the first row
    std::int64_t id, amount;
    std::int32_t qty, day, note;
    double price;
    char code[49];
    TBlobByteData tag;
    std::uint64_t sum = 0;
    int rows = 0;
    do {
      source.Field(1, &id);
      source.Field(2, &qty);
      source.Field(3, &amount);
      source.Field(4, &price);
      source.Field(5, code);
      source.Field(6, &day);
      source.Blob(7, tag);
      const bool hasNote = source.Field(8, &note);
      sum += static_cast<std::uint64_t>(id + qty + amount + static_cast<std::int64_t>(price) +
                                        code[8] + day + tag.Data()[15] + (hasNote ? note : 0));
      ++rows;
    } while (source.Fetch());
    source.Close();
    const double t = qvl::bench::ThreadCpuNow() - t0;
    if (rows != kRows) State.SkipWithError("wrong row count");
    GSink += sum;
    State.SetIterationTime(t);
  }
}

// Days since 1970-01-01 of "YYYY-MM-DD", as an application would parse it.
std::int32_t ParseDay(const unsigned char* T) {
  auto n = [&](int From, int Count) {
    int v = 0;
    for (int i = From; i < From + Count; ++i) v = v * 10 + (T[i] - '0');
    return v;
  };
  return DaysFromCivil(n(0, 4), static_cast<unsigned>(n(5, 2)), static_cast<unsigned>(n(8, 2)));
}

void CApiReadRows(benchmark::State& State) {
  sqlite3* db = nullptr;
  Check(sqlite3_open_v2(GPath.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr),
        db);
  for (auto _ : State) {
    const double t0 = qvl::bench::ThreadCpuNow();
    sqlite3_stmt* stmt = nullptr;
    Check(sqlite3_prepare_v2(db, kSelect, -1, &stmt, nullptr), db);
    char code[49];
    std::vector<std::uint8_t> tag;
    std::uint64_t sum = 0;
    int rows = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      const std::int64_t id = sqlite3_column_int64(stmt, 0);
      const std::int32_t qty = sqlite3_column_int(stmt, 1);
      const std::int64_t amount = sqlite3_column_int64(stmt, 2);
      const double price = sqlite3_column_double(stmt, 3);
      const unsigned char* text = sqlite3_column_text(stmt, 4);
      const int textBytes = sqlite3_column_bytes(stmt, 4);
      std::memcpy(code, text, static_cast<std::size_t>(textBytes));
      code[textBytes] = '\0';
      const std::int32_t day = ParseDay(sqlite3_column_text(stmt, 5));
      const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 6));
      tag.assign(blob, blob + sqlite3_column_bytes(stmt, 6));
      const bool hasNote = sqlite3_column_type(stmt, 7) != SQLITE_NULL;
      const std::int32_t note = hasNote ? sqlite3_column_int(stmt, 7) : 0;
      sum += static_cast<std::uint64_t>(id + qty + amount + static_cast<std::int64_t>(price) +
                                        code[8] + day + tag[15] + note);
      ++rows;
    }
    Check(rc, db);
    sqlite3_finalize(stmt);
    const double t = qvl::bench::ThreadCpuNow() - t0;
    if (rows != kRows) State.SkipWithError("wrong row count");
    GSink += sum;
    State.SetIterationTime(t);
  }
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CreateTable();
  qvl::bench::RegisterAlternating(
      {{"CApiReadRows", CApiReadRows}, {"LayerReadRows", LayerReadRows}}, 10);
  qvl::bench::TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove(GPath, ignored);
  reporter.PrintRatio("sql.read_rows", "LayerReadRows", "CApiReadRows");
  return GSink == 42 ? 1 : 0;
}
