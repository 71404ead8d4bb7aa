// A Qt table model over a 1,000,000-row SQLite result: ours (a TQVLQuery with
// the driver's default fields behind TQVLDataSetModel) against Qt's
// QSqlQueryModel over the same query, alternating in one run. Each side opens
// the query, calls fetchMore until canFetchMore is false, then reads data()
// of every cell; both count the cells that are not null, and the run fails
// when the counts differ. Prints
//   ratio qtmodel.fetch_and_read = VALUE
// ours over Qt's (lower is better). Times are the thread's CPU time, the best
// of a few runs of each.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <cstdio>
#include <memory>

#include "bench/BenchEngineTable.h"
#include "bench/BenchSupport.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/qt/QVLDataSetModel.h"

using namespace qvl;

namespace {

constexpr int kRows = 1000000;
std::unique_ptr<bench::TBenchTable> GTable;
std::int64_t GOursCells = -1, GQtCells = -1;

// Every cell's data(), counting those that hold a value.
std::int64_t ReadEveryCell(const QAbstractItemModel& Model) {
  std::int64_t cells = 0;
  const int rows = Model.rowCount(), columns = Model.columnCount();
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) cells += Model.data(Model.index(r, c)).isNull() ? 0 : 1;
  return cells;
}

void Check(benchmark::State& State, const QAbstractItemModel& Model, std::int64_t Cells,
           std::int64_t& Keep) {
  if (Model.rowCount() != kRows) State.SkipWithError("wrong row count");
  if (Keep >= 0 && Keep != Cells) State.SkipWithError("a different cell count than the run before");
  Keep = Cells;
}

void OursFetchAndRead(benchmark::State& State) {
  for (auto _ : State) {
    const double t0 = bench::ThreadCpuNow();
    std::int64_t cells;
    {
      TSQLConnection db(nullptr);
      bench::SetUpSQLite(db, GTable->Path());
      TQVLQuery query(nullptr);
      query.SetSQLConnection(&db);
      query.SQL().SetText(bench::kBenchSelect);
      query.Open();
      TQVLDataSetModel model;
      model.SetDataSet(&query);
      while (model.canFetchMore({})) model.fetchMore({});
      cells = ReadEveryCell(model);
      Check(State, model, cells, GOursCells);
      model.SetDataSet(nullptr);
    }
    State.SetIterationTime(bench::ThreadCpuNow() - t0);
  }
}

void QtFetchAndRead(benchmark::State& State) {
  for (auto _ : State) {
    const double t0 = bench::ThreadCpuNow();
    {
      QSqlDatabase db =
          QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
      db.setDatabaseName(QString::fromStdString(GTable->Path()));
      if (!db.open()) State.SkipWithError("QSQLITE did not open");
      QSqlQueryModel model;
      model.setQuery(QSqlQuery(QString::fromLatin1(bench::kBenchSelect), db));
      while (model.canFetchMore()) model.fetchMore();
      Check(State, model, ReadEveryCell(model), GQtCells);
      model.clear();
      db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    State.SetIterationTime(bench::ThreadCpuNow() - t0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GTable = std::make_unique<bench::TBenchTable>(kRows);
  bench::RegisterAlternating(
      {{"QtFetchAndRead", QtFetchAndRead}, {"OursFetchAndRead", OursFetchAndRead}}, 3);
  bench::TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  GTable.reset();
  if (GOursCells != GQtCells) {
    std::fprintf(stderr, "cells with a value: ours %lld, Qt's %lld\n",
                 static_cast<long long>(GOursCells), static_cast<long long>(GQtCells));
    return 1;
  }
  reporter.PrintRatio("qtmodel.fetch_and_read", "OursFetchAndRead", "QtFetchAndRead");
  return 0;
}
