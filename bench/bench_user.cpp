// Reading as applications read: a TQVLQuery with the driver's default fields
// over the 1,000,000-row, 8-column bench table, scrolled with Next and Prior
// and read through IsNull and the typed accessors, against Qt's QSqlQuery
// (cached, next()/previous() and value(i) converted to the same C++ types;
// the blob shared on both sides: GetBlobData, QByteArray),
// alternating in one run. Both sides sum the same checksum over the values
// they read; the run fails when the sums differ. Prints, ours over Qt's:
//   ratio user.fetch_forward_vs_qt = VALUE   open and read every row forward
//   ratio user.walk_backward_vs_qt = VALUE   then every row again, last to first
//   ratio user.memory_vs_qt = VALUE          heap held with the whole result cached
// Times are the thread's CPU time, the best of a few runs of each.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QCoreApplication>
#include <QDate>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
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
std::unique_ptr<bench::TBenchTable> GTable;

struct TSide {
  std::uint64_t Forward = 0, Backward = 0;  // checksums of the last run
  double ForwardTime = 0, BackwardTime = 0;
  std::size_t Memory = 0;  // least heap held with the result cached
};
TSide GOurs, GQt;

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
        Data(D.Fields()[6]),
        Opt(D.Fields()[7]) {}
  std::uint64_t Row() const {
    const std::string str = Str->GetAsString();
    const TBlobByteData data = static_cast<TBlobField*>(Data)->GetBlobData();
    return Fold(Id->GetAsLargeInt(), I32->GetAsInteger(), I64->GetAsLargeInt(), Dbl->GetAsFloat(),
                str.size(), str[8], DatePart(Day->GetAsDateTime()), data.Length(), data.Data()[15],
                Opt->IsNull() ? 0 : Opt->GetAsInteger());
  }
  TField *Id, *I32, *I64, *Dbl, *Str, *Day, *Data, *Opt;
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

void Ours(benchmark::State& State) {
  for (auto _ : State) {
    const std::size_t heap0 = HeapInUse();
    const double t0 = bench::ThreadCpuNow();
    TSQLConnection db(nullptr);
    bench::SetUpSQLite(db, GTable->Path());
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
    GOurs = {sum, back, t1 - t0, t2 - t1, GOurs.Memory == 0 ? heap : std::min(GOurs.Memory, heap)};
    State.SetIterationTime(t1 - t0);
    State.counters["backward_ms"] = (t2 - t1) * 1e3;
  }
}

void Qt(benchmark::State& State) {
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
    GQt = {sum, back, t1 - t0, t2 - t1, GQt.Memory == 0 ? heap : std::min(GQt.Memory, heap)};
    State.SetIterationTime(t1 - t0);
    State.counters["backward_ms"] = (t2 - t1) * 1e3;
  }
}

// The backward walks' best times, kept beside the reporter's forward ones.
double GOursBackward = 1e9, GQtBackward = 1e9;
void OursRun(benchmark::State& State) {
  Ours(State);
  GOursBackward = std::min(GOursBackward, GOurs.BackwardTime);
}
void QtRun(benchmark::State& State) {
  Qt(State);
  GQtBackward = std::min(GQtBackward, GQt.BackwardTime);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GTable = std::make_unique<bench::TBenchTable>(kRows);
  bench::RegisterAlternating({{"QtForward", QtRun}, {"OursForward", OursRun}}, 3);
  bench::TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  GTable.reset();
  if (GOurs.Forward != GQt.Forward || GOurs.Backward != GQt.Backward ||
      GOurs.Forward != GOurs.Backward) {
    std::fprintf(stderr, "checksums differ: ours %llu/%llu, Qt's %llu/%llu\n",
                 static_cast<unsigned long long>(GOurs.Forward),
                 static_cast<unsigned long long>(GOurs.Backward),
                 static_cast<unsigned long long>(GQt.Forward),
                 static_cast<unsigned long long>(GQt.Backward));
    return 1;
  }
  reporter.PrintRatio("user.fetch_forward_vs_qt", "OursForward", "QtForward");
  std::printf("ratio user.walk_backward_vs_qt = %.3f\n", GOursBackward / GQtBackward);
  std::printf("ratio user.memory_vs_qt = %.3f\n",
              static_cast<double>(GOurs.Memory) / static_cast<double>(GQt.Memory));
  return 0;
}
