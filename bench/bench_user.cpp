// Reading as applications read: a TQVLQuery with the driver's default fields
// over the 1,000,000-row, 8-column bench table, scrolled with Next and Prior
// and read through IsNull and the typed accessors, against Qt's QSqlQuery
// (cached, next()/previous() and value(i) converted to the same C++ types;
// the blob shared on both sides: the variant field's cell or GetBlobData,
// QByteArray), alternating in one run. The default mapping
// (ColumnTypes=Stored: variant fields) is the one measured; the declared one
// (ColumnTypes=Declared: typed fields) is kept for the record. Then small
// queries: a one-parameter query opened on an open connection and its first
// row read, 10,000 times, against one QSqlQuery prepared once and executed
// with a new value each time. Every side sums the same checksum over the
// values it read; the run fails when the sums differ. Prints, ours over Qt's:
//   ratio user.fetch_forward_vs_qt = VALUE   open and read every row forward
//   ratio user.walk_backward_vs_qt = VALUE   then every row again, last to first
//   ratio user.memory_vs_qt = VALUE          heap held with the whole result cached
//   ratio user.fetch_forward_declared_vs_qt, user.walk_backward_declared_vs_qt,
//         user.memory_declared_vs_qt         the same with ColumnTypes=Declared
//   ratio user.small_query_vs_qt = VALUE     10,000 small queries
// Times are the thread's CPU time, the best of a few runs of each.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QCoreApplication>
#include <QDate>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "bench/BenchEngineTable.h"
#include "bench/BenchSupport.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/runtime/DateTime.h"
#include "qvl/host/sqlclient/SQLConnection.h"

using namespace qvl;

namespace {

constexpr int kRows = 1000000;
constexpr int kSmallQueries = 10000;
constexpr const char* kSmallSelect =
    "SELECT id, i32, i64, dbl, str, day, data, opt FROM bench WHERE id = :ID";
std::unique_ptr<bench::TBenchTable> GTable;

struct TSide {
  std::uint64_t Forward = 0, Backward = 0;  // checksums of the last run
  double BackwardTime = 1e9;                // best walk back
  std::size_t Memory = 0;                   // least heap held with the result cached
  void Keep(std::uint64_t AForward, std::uint64_t ABackward, double ABackwardTime,
            std::size_t AMemory) {
    Forward = AForward;
    Backward = ABackward;
    BackwardTime = std::min(BackwardTime, ABackwardTime);
    Memory = Memory == 0 ? AMemory : std::min(Memory, AMemory);
  }
};
TSide GOurs, GOursDeclared, GQt;
std::uint64_t GOursSmall = 0, GQtSmall = 0;  // checksums

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// One row's values, folded the same way on both sides.
std::uint64_t Fold(std::int64_t Id, std::int32_t I32, std::int64_t I64, double Dbl,
                   std::size_t StrLength, int StrChar, std::int32_t Day, std::size_t BlobSize,
                   int BlobByte, std::int32_t Opt) {
  return static_cast<std::uint64_t>(Id + I32 + I64 + static_cast<std::int64_t>(Dbl * 4) +
                                    static_cast<std::int64_t>(StrLength) + StrChar + Day +
                                    static_cast<std::int64_t>(BlobSize) + BlobByte + Opt);
}

struct TOurFields {
  explicit TOurFields(TDataSet& D)
      : Id(D.Fields()[0]),
        I32(D.Fields()[1]),
        I64(D.Fields()[2]),
        Dbl(D.Fields()[3]),
        Str(D.Fields()[4]),
        Day(D.Fields()[5]),
        Blob(dynamic_cast<TBlobField*>(D.Fields()[6])),
        Variant(dynamic_cast<TVariantField*>(D.Fields()[6])),
        Opt(D.Fields()[7]) {}
  std::uint64_t Row() const {
    const std::string str = Str->GetAsString();
    std::size_t size;
    int byte;
    if (Variant != nullptr) {
      const TVariantCell cell = Variant->GetCell();
      size = cell.View().Length();
      byte = cell.View().Data()[15];
    } else {
      const TBlobByteData data = Blob->GetBlobData();
      size = data.Length();
      byte = data.Data()[15];
    }
    return Fold(Id->GetAsLargeInt(), I32->GetAsInteger(), I64->GetAsLargeInt(), Dbl->GetAsFloat(),
                str.size(), str[8], DatePart(Day->GetAsDateTime()), size, byte,
                Opt->IsNull() ? 0 : Opt->GetAsInteger());
  }
  TField *Id, *I32, *I64, *Dbl, *Str, *Day;
  TBlobField* Blob;  // one of these two, by the mapping
  TVariantField* Variant;
  TField* Opt;
};

std::uint64_t QtRow(const QSqlQuery& Q) {
  const QString str = Q.value(4).toString();
  const QByteArray data = Q.value(6).toByteArray();
  const QVariant opt = Q.value(7);
  return Fold(Q.value(0).toLongLong(), Q.value(1).toInt(), Q.value(2).toLongLong(),
              Q.value(3).toDouble(), static_cast<std::size_t>(str.size()), str.at(8).unicode(),
              static_cast<std::int32_t>(QDate(1970, 1, 1).daysTo(Q.value(5).toDate())),
              static_cast<std::size_t>(data.size()), static_cast<std::uint8_t>(data.at(15)),
              opt.isNull() ? 0 : opt.toInt());
}

void Ours(benchmark::State& State, bool Declared, TSide& Side) {
  for (auto _ : State) {
    const std::size_t heap0 = HeapInUse();
    const double t0 = bench::ThreadCpuNow();
    TSQLConnection db(nullptr);
    bench::SetUpSQLite(db, GTable->Path(), Declared);
    TQVLQuery query(nullptr);
    query.SetSQLConnection(&db);
    query.SQL().SetText(bench::kBenchSelect);
    query.Open();
    const TOurFields f(query);
    std::uint64_t sum = 0;
    int rows = 0;
    for (; !query.Eof(); query.Next(), ++rows) sum += f.Row();
    const double t1 = bench::ThreadCpuNow();
    const std::size_t heap = HeapInUse() - heap0;
    std::uint64_t back = 0;
    for (query.Last(); !query.Bof(); query.Prior()) back += f.Row();
    const double t2 = bench::ThreadCpuNow();
    if (rows != kRows) State.SkipWithError("wrong row count");
    Side.Keep(sum, back, t2 - t1, heap);
    State.SetIterationTime(t1 - t0);
    State.counters["backward_ms"] = (t2 - t1) * 1e3;
  }
}
void OursRun(benchmark::State& State) {
  Ours(State, false, GOurs);
}
void OursDeclaredRun(benchmark::State& State) {
  Ours(State, true, GOursDeclared);
}

void QtRun(benchmark::State& State) {
  for (auto _ : State) {
    std::uint64_t sum = 0, back = 0;
    double t0, t1, t2;
    std::size_t heap;
    int rows = 0;
    {
      const std::size_t heap0 = HeapInUse();
      t0 = bench::ThreadCpuNow();
      QSqlDatabase db =
          QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
      db.setDatabaseName(QString::fromStdString(GTable->Path()));
      if (!db.open()) State.SkipWithError("QSQLITE did not open");
      QSqlQuery query(db);
      query.exec(QString::fromLatin1(bench::kBenchSelect));
      while (query.next()) {
        sum += QtRow(query);
        ++rows;
      }
      t1 = bench::ThreadCpuNow();
      heap = HeapInUse() - heap0;
      if (query.last()) do
          back += QtRow(query);
        while (query.previous());
      t2 = bench::ThreadCpuNow();
      query.clear();
      db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    if (rows != kRows) State.SkipWithError("wrong row count");
    GQt.Keep(sum, back, t2 - t1, heap);
    State.SetIterationTime(t1 - t0);
    State.counters["backward_ms"] = (t2 - t1) * 1e3;
  }
}

// The keys of the small queries, spread over the table.
std::int64_t SmallKey(int I) {
  return static_cast<std::int64_t>(I) * 7919 % kRows + 1;
}

void OursSmall(benchmark::State& State) {
  for (auto _ : State) {
    TSQLConnection db(nullptr);
    bench::SetUpSQLite(db, GTable->Path(), false);
    db.Open();
    TQVLQuery query(nullptr);
    query.SetSQLConnection(&db);
    query.SQL().SetText(kSmallSelect);
    TParam* id = query.Params().ParamByName("ID");
    std::uint64_t sum = 0;
    const double t0 = bench::ThreadCpuNow();
    for (int i = 0; i < kSmallQueries; ++i) {
      id->SetAsLargeInt(SmallKey(i));
      query.Open();
      sum += TOurFields(query).Row();
      query.Close();
    }
    const double t1 = bench::ThreadCpuNow();
    GOursSmall = sum;
    State.SetIterationTime(t1 - t0);
  }
}

void QtSmall(benchmark::State& State) {
  for (auto _ : State) {
    std::uint64_t sum = 0;
    double t0, t1;
    {
      QSqlDatabase db =
          QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("small"));
      db.setDatabaseName(QString::fromStdString(GTable->Path()));
      if (!db.open()) State.SkipWithError("QSQLITE did not open");
      QSqlQuery query(db);
      t0 = bench::ThreadCpuNow();
      query.prepare(QString::fromLatin1(kSmallSelect).replace(QStringLiteral(":ID"), "?"));
      for (int i = 0; i < kSmallQueries; ++i) {
        query.bindValue(0, QVariant::fromValue<qlonglong>(SmallKey(i)));
        if (!query.exec() || !query.next()) State.SkipWithError("no row");
        sum += QtRow(query);
      }
      t1 = bench::ThreadCpuNow();
      query.clear();
      db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("small"));
    GQtSmall = sum;
    State.SetIterationTime(t1 - t0);
  }
}

bool Same(const char* What, std::uint64_t Ours, std::uint64_t Qt) {
  if (Ours == Qt) return true;
  std::fprintf(stderr, "checksums differ (%s): ours %llu, Qt's %llu\n", What,
               static_cast<unsigned long long>(Ours), static_cast<unsigned long long>(Qt));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GTable = std::make_unique<bench::TBenchTable>(kRows);
  bench::RegisterAlternating({{"QtForward", QtRun},
                              {"OursForward", OursRun},
                              {"OursDeclaredForward", OursDeclaredRun},
                              {"QtSmall", QtSmall},
                              {"OursSmall", OursSmall}},
                             3);
  bench::TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  GTable.reset();
  const bool same = Same("forward", GOurs.Forward, GQt.Forward) &&
                    Same("backward", GOurs.Backward, GQt.Backward) &&
                    Same("forward, declared", GOursDeclared.Forward, GQt.Forward) &&
                    Same("backward, declared", GOursDeclared.Backward, GQt.Backward) &&
                    Same("both ways", GQt.Forward, GQt.Backward) &&
                    Same("small queries", GOursSmall, GQtSmall);
  if (!same) return 1;
  auto ratio = [](const char* Name, double Ours, double Theirs) {
    std::printf("ratio %s = %.3f\n", Name, Ours / Theirs);
  };
  reporter.PrintRatio("user.fetch_forward_vs_qt", "OursForward", "QtForward");
  ratio("user.walk_backward_vs_qt", GOurs.BackwardTime, GQt.BackwardTime);
  ratio("user.memory_vs_qt", static_cast<double>(GOurs.Memory), static_cast<double>(GQt.Memory));
  reporter.PrintRatio("user.fetch_forward_declared_vs_qt", "OursDeclaredForward", "QtForward");
  ratio("user.walk_backward_declared_vs_qt", GOursDeclared.BackwardTime, GQt.BackwardTime);
  ratio("user.memory_declared_vs_qt", static_cast<double>(GOursDeclared.Memory),
        static_cast<double>(GQt.Memory));
  reporter.PrintRatio("user.small_query_vs_qt", "OursSmall", "QtSmall");
  // The figures behind the ratios: a run's milliseconds over a million rows
  // are nanoseconds a row; over 10,000 queries, tenths of microseconds each.
  std::printf("info: walk back ns/row: ours %.0f, declared %.0f, Qt %.0f\n",
              GOurs.BackwardTime * 1e9 / kRows, GOursDeclared.BackwardTime * 1e9 / kRows,
              GQt.BackwardTime * 1e9 / kRows);
  std::printf("info: bytes/row cached: ours %.0f, declared %.0f, Qt %.0f\n",
              static_cast<double>(GOurs.Memory) / kRows,
              static_cast<double>(GOursDeclared.Memory) / kRows,
              static_cast<double>(GQt.Memory) / kRows);
  return 0;
}
