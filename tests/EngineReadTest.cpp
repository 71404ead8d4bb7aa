// The record cache engine's read side, through a component over SQLite:
// lazy reading and counts, page sizes, unidirectional reading, filters,
// record numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/EngineTestSupport.h"

using namespace qvl;
using namespace qvl::test;

namespace {

class EngineRead : public ::testing::Test {
 protected:
  // Rows 1..N of items(id, name, amount); name is "n<id>".
  void Fill(int N) {
    db.Exec("CREATE TABLE items (id INTEGER, name VARCHAR(10), amount REAL)");
    if (N == 0) return;
    db.Exec("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
            std::to_string(N) + ") INSERT INTO items SELECT x, 'n' || x, x * 1.5 FROM c");
  }
  std::unique_ptr<TTestQVLDataSet> Make(
      const std::string& SQL = "SELECT id, name, amount FROM items ORDER BY id") {
    auto ds = std::make_unique<TTestQVLDataSet>(nullptr);
    ds->SetName("Items");
    ds->SetDatabase(db);
    ds->SetCommandText(SQL);
    // Calculated fields are computed once per row read: counting the calls
    // counts the rows read.
    ds->SetOnCalcFields([this](TDataSet*) { ++rowsRead; });
    return ds;
  }
  static int Id(TDataSet& ds) { return ds.FieldByName("id")->GetAsInteger(); }

  TSQLiteDb db;
  int rowsRead = 0;
};

}  // namespace

// ---- lazy reading and counts -----------------------------------------------------

TEST_F(EngineRead, EmptyResultIsAllReadAfterTheFirstMove) {
  Fill(0);
  auto ds = Make();
  ds->Open();
  EXPECT_TRUE(ds->Eof());
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_EQ(ds->GetRecordCount(), 0);
  EXPECT_TRUE(ds->IsSequenced());
  EXPECT_EQ(ds->GetRecNo(), -1);
}

TEST_F(EngineRead, EachForwardStepPastTheLastRowReadsOneRow) {
  Fill(10);
  auto ds = Make();
  ds->Open();
  EXPECT_EQ(rowsRead, 1) << "a one-buffer window needs one row";
  EXPECT_EQ(ds->GetRecordCount(), -1);
  EXPECT_FALSE(ds->IsSequenced());
  ds->Next();
  ds->Next();
  EXPECT_EQ(rowsRead, 3);
  EXPECT_EQ(Id(*ds), 3);
  ds->Prior();
  ds->Prior();
  EXPECT_EQ(Id(*ds), 1);
  EXPECT_EQ(rowsRead, 3) << "moving back reads nothing";
  ds->Next();
  EXPECT_EQ(rowsRead, 3) << "rows already read are not read again";
  ds->Last();
  EXPECT_EQ(rowsRead, 10);
  EXPECT_EQ(ds->GetRecordCount(), 10);
  EXPECT_TRUE(ds->IsSequenced());
  EXPECT_EQ(Id(*ds), 10);
}

TEST_F(EngineRead, WithoutFetchOnDemandOpenReadsEverythingAndStandsOnTheFirstRow) {
  Fill(6);
  auto ds = Make();
  ds->SetFetchOnDemand(false);
  ds->Open();
  EXPECT_EQ(rowsRead, 6);
  EXPECT_TRUE(ds->IsSequenced());
  EXPECT_EQ(Id(*ds), 1);
  EXPECT_TRUE(ds->Bof());
}

TEST_F(EngineRead, SwitchingFetchOnDemandOffWhileOpenReadsTheRestAtOnce) {
  Fill(6);
  auto ds = Make();
  ds->Open();
  ds->Next();
  ASSERT_EQ(rowsRead, 2);
  ds->SetFetchOnDemand(false);
  EXPECT_EQ(rowsRead, 6);
  EXPECT_EQ(ds->GetRecordCount(), 6);
  EXPECT_EQ(Id(*ds), 2) << "the active record stays";
  ds->Next();
  EXPECT_EQ(Id(*ds), 3) << "the host re-positions the engine before moving on";
  ds->SetFetchOnDemand(true);
  EXPECT_TRUE(ds->GetFetchOnDemand());
}

TEST_F(EngineRead, ServerCursorGoesAtTheEndWhileTheCacheStays) {
  Fill(3);
  auto ds = Make();
  ds->Open();
  EXPECT_TRUE(ds->TCustomSQLDataSet::IsCursorOpen());
  ds->Last();
  EXPECT_FALSE(ds->TCustomSQLDataSet::IsCursorOpen()) << "freed once the last row was read";
  EXPECT_TRUE(ds->IsCursorOpen());
  ds->First();
  EXPECT_EQ(Id(*ds), 1);
}

TEST_F(EngineRead, ClosedDataSetHasNoCountOrNumber) {
  Fill(1);
  auto ds = Make();
  EXPECT_EQ(Error([&] { ds->GetRecordCount(); }),
            "Items: Cannot perform this operation on a closed dataset");
  EXPECT_EQ(Error([&] { ds->GetRecNo(); }),
            "Items: Cannot perform this operation on a closed dataset");
  EXPECT_FALSE(ds->IsSequenced());
}

// ---- page sizes ---------------------------------------------------------------------------

TEST_F(EngineRead, RecordsComeFromPagesOfPageSizeRecords) {
  Fill(40);
  auto ds = Make();
  EXPECT_EQ(ds->GetPageSize(), 32);
  ds->Open();
  ds->Last();
  EXPECT_EQ(TDataSetTestPeer::Allocator(TDataSetTestPeer::Engine(*ds))->PageCount(), 2);
  ds->Close();
  EXPECT_EQ(TDataSetTestPeer::Allocator(TDataSetTestPeer::Engine(*ds)), nullptr);
  ds->SetPageSize(1);
  ds->Open();
  ds->Last();
  EXPECT_EQ(TDataSetTestPeer::Allocator(TDataSetTestPeer::Engine(*ds))->PageCount(), 40);
}

TEST_F(EngineRead, PageSizeZeroFailsABidirectionalOpenOnly) {
  Fill(3);
  auto ds = Make();
  ds->SetPageSize(0);
  EXPECT_EQ(Error([&] { ds->Open(); }), "Page size must be more then 0");
  EXPECT_FALSE(ds->GetActive());
  ds->SetUniDirectional(true);
  ds->Open();
  EXPECT_EQ(Id(*ds), 1);
}

TEST_F(EngineRead, PageSizeAndDirectionChangeOnlyWhileClosed) {
  Fill(1);
  auto ds = Make();
  ds->Open();
  EXPECT_EQ(Error([&] { ds->SetPageSize(8); }),
            "Items: Cannot perform this operation on an open dataset");
  EXPECT_EQ(Error([&] { ds->SetUniDirectional(true); }),
            "Items: Cannot perform this operation on an open dataset");
  EXPECT_EQ(ds->GetPageSize(), 32);
  EXPECT_FALSE(ds->GetUniDirectional());
}

// ---- unidirectional reading ------------------------------------------------------------------

TEST_F(EngineRead, UnidirectionalKeepsOneRecordNumberedByRowsRead) {
  Fill(5);
  auto ds = Make();
  ds->SetUniDirectional(true);
  ds->Open();
  ds->Next();
  ds->Next();
  EXPECT_EQ(Id(*ds), 3);
  EXPECT_EQ(ds->GetRecNo(), 3);
  EXPECT_EQ(ds->GetRecordCount(), -1);
  EXPECT_EQ(TDataSetTestPeer::Allocator(TDataSetTestPeer::Engine(*ds))->PageCount(), 1)
      << "one record, reused for every row";
  ds->Next();
  ds->Next();
  ds->Next();
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->GetRecordCount(), 5);
  EXPECT_EQ(Error([&] { ds->Prior(); }),
            "Items: Operation not allowed on a unidirectional dataset");
}

TEST_F(EngineRead, UnidirectionalFirstReadsOnFromTheServerCursor) {
  Fill(5);
  auto ds = Make();
  ds->SetUniDirectional(true);
  ds->Open();
  const int executions = ds->Executions();
  ds->Next();
  ds->First();
  EXPECT_EQ(Id(*ds), 3) << "the next row of the same cursor";
  EXPECT_EQ(ds->GetRecNo(), 1) << "in a new record";
  EXPECT_EQ(ds->Executions(), executions) << "the query is not executed again";
}

TEST_F(EngineRead, UnidirectionalCalculatedSlotsKeepWhatTheCalculationLeaves) {
  Fill(3);
  auto ds = Make();
  auto calc = std::make_unique<TIntegerField>();
  calc->SetFieldName("odd");
  calc->SetFieldKind(fkCalculated);
  ds->Fields().Add(std::move(calc));
  ds->SetOnCalcFields([](TDataSet* d) {
    int id = d->FieldByName("id")->GetAsInteger();
    if (id % 2 == 1) d->FieldByName("odd")->SetAsInteger(id * 100);
  });
  ds->SetUniDirectional(true);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("odd")->GetAsInteger(), 100);
  ds->Next();
  EXPECT_EQ(ds->FieldByName("odd")->GetAsInteger(), 100) << "row 2 assigned nothing";
  ds->Next();
  EXPECT_EQ(ds->FieldByName("odd")->GetAsInteger(), 300);
}

// ---- calculated fields ---------------------------------------------------------------------

TEST_F(EngineRead, CalculatedFieldsAreComputedOnceWhenTheRowIsRead) {
  Fill(4);
  auto ds = Make();
  auto calc = std::make_unique<TFloatField>();
  calc->SetFieldName("twice");
  calc->SetFieldKind(fkCalculated);
  ds->Fields().Add(std::move(calc));
  int calls = 0;
  ds->SetOnCalcFields([&](TDataSet* d) {
    ++calls;
    d->FieldByName("twice")->SetAsFloat(d->FieldByName("amount")->GetAsFloat() * 2);
  });
  ds->Open();
  ds->Last();
  ds->First();
  ds->Next();
  EXPECT_EQ(calls, 4) << "the host's own fetch computes nothing; scrolling computes nothing";
  EXPECT_DOUBLE_EQ(ds->FieldByName("twice")->GetAsFloat(), 6.0);
  // Outside a fetch the step computes as the base dataset does.
  TDataSetTestPeer::GetCalcFields(*ds, TDataSetTestPeer::ActiveBuffer(*ds));
  EXPECT_EQ(calls, 5);
}

// ---- filters ---------------------------------------------------------------------------------

TEST_F(EngineRead, EachRecordReachesTheFilterAcceptedSoAHandlerMayOnlyReject) {
  Fill(7);
  auto ds = Make();
  ds->SetOnFilterRecord([](TDataSet* d, bool& Accept) {
    if (d->FieldByName("id")->GetAsInteger() % 3 == 0) Accept = false;
  });
  ds->SetFiltered(true);
  ds->Open();
  std::vector<int> ids;
  for (; !ds->Eof(); ds->Next()) ids.push_back(Id(*ds));
  EXPECT_EQ(ids, (std::vector<int>{1, 2, 4, 5, 7}));
}

TEST_F(EngineRead, AFilterRejectingEverythingReadsTheWholeResult) {
  Fill(7);
  auto ds = Make();
  ds->SetOnFilterRecord([](TDataSet*, bool& Accept) { Accept = false; });
  ds->SetFiltered(true);
  ds->Open();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_EQ(rowsRead, 7);
  EXPECT_EQ(ds->GetRecordCount(), 7) << "hidden records still count";
}

TEST_F(EngineRead, TheFilterSeesTheCandidateAndCurrentOnARejectedRecordIsAnError) {
  Fill(5);
  auto ds = Make();
  bool rejectTwo = false;
  std::vector<int> seen;
  ds->SetOnFilterRecord([&](TDataSet* d, bool& Accept) {
    int id = d->FieldByName("id")->GetAsInteger();
    seen.push_back(id);
    Accept = !(rejectTwo && id == 2) && id != 4;
  });
  ds->SetFiltered(true);
  ds->Open();
  ds->Next();
  ds->Next();
  ds->Next();
  EXPECT_EQ(Id(*ds), 5) << "4 is skipped";
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
  ds->First();
  ds->Next();
  ASSERT_EQ(Id(*ds), 2);
  rejectTwo = true;
  TDataSetTestPeer::UpdateCursorPos(*ds);
  EXPECT_EQ(TDataSetTestPeer::Engine(*ds).GetRecord(gmCurrent), grError);
  EXPECT_EQ(ds->GetState(), dsBrowse);
}

TEST_F(EngineRead, AFilterThatRaisesEndsTheMoveAndRestoresTheState) {
  Fill(5);
  auto ds = Make();
  ds->SetOnFilterRecord([](TDataSet* d, bool& Accept) {
    if (d->FieldByName("id")->GetAsInteger() == 3) throw EConvertError("bad row");
    Accept = true;
  });
  ds->SetFiltered(true);
  ds->Open();
  ds->Next();
  ds->Next();
  EXPECT_EQ(Id(*ds), 2);
  EXPECT_TRUE(ds->Eof()) << "the failed step reads as the end";
  EXPECT_EQ(ds->GetState(), dsBrowse);
}

TEST_F(EngineRead, ChangingFilteredRefreshesAndSettingItAgainDoesNot) {
  Fill(4);
  auto ds = Make();
  ds->SetOnFilterRecord(
      [](TDataSet* d, bool& Accept) { Accept = d->FieldByName("id")->GetAsInteger() > 2; });
  ds->Open();
  const int opened = ds->Executions();
  ds->SetFiltered(false);
  EXPECT_EQ(ds->Executions(), opened);
  ds->SetFiltered(true);
  EXPECT_EQ(ds->Executions(), opened + 1);
  EXPECT_EQ(Id(*ds), 3);
  ds->SetFiltered(false);
  EXPECT_EQ(ds->Executions(), opened + 2);
  EXPECT_EQ(Id(*ds), 3) << "back to the record number, which no filter hides now";
  ds->First();
  EXPECT_EQ(Id(*ds), 1);
}

namespace {
struct TThreshold {
  int Min;
  void operator()(TDataSet* D, bool& Accept) const {
    Accept = D->FieldByName("id")->GetAsInteger() >= Min;
  }
};
}  // namespace

TEST_F(EngineRead, AHandlerWithTheSameCodeDoesNotRefresh) {
  Fill(4);
  auto ds = Make();
  ds->SetOnFilterRecord(TThreshold{2});
  ds->SetFiltered(true);
  ds->Open();
  const int opened = ds->Executions();
  EXPECT_EQ(Id(*ds), 2);
  ds->SetOnFilterRecord(TThreshold{3});
  EXPECT_EQ(ds->Executions(), opened) << "same code, another object";
  ds->SetOnFilterRecord([](TDataSet*, bool& Accept) { Accept = true; });
  EXPECT_EQ(ds->Executions(), opened + 1);
  ds->First();
  EXPECT_EQ(Id(*ds), 1);
}

// ---- record numbers ------------------------------------------------------------------------

TEST_F(EngineRead, SetRecNoCountsVisibleRecordsWhileRecNoCountsTheChain) {
  Fill(6);
  auto ds = Make();
  ds->SetOnFilterRecord(
      [](TDataSet* d, bool& Accept) { Accept = d->FieldByName("id")->GetAsInteger() != 2; });
  ds->SetFiltered(true);
  ds->Open();
  ds->SetRecNo(3);
  EXPECT_EQ(Id(*ds), 4);
  EXPECT_EQ(ds->GetRecNo(), 4);
}

TEST_F(EngineRead, SetRecNoToTheCurrentNumberDoesNotScroll) {
  Fill(6);
  auto ds = Make();
  int scrolls = 0;
  ds->SetBeforeScroll([&](TDataSet*) { ++scrolls; });
  ds->SetAfterScroll([&](TDataSet*) { ++scrolls; });
  ds->Open();
  scrolls = 0;
  ds->SetRecNo(1);
  EXPECT_EQ(scrolls, 0);
  ds->SetRecNo(5);
  EXPECT_EQ(scrolls, 2);
  EXPECT_EQ(Id(*ds), 5);
  EXPECT_EQ(ds->GetRecNo(), 5);
  ds->SetRecNo(99);
  EXPECT_EQ(Id(*ds), 6) << "past the end: the last record";
}

TEST_F(EngineRead, RefreshReadsAgainAndReturnsToTheRecordNumber) {
  Fill(5);
  auto ds = Make();
  ds->Open();
  ds->MoveBy(3);
  db.Exec("UPDATE items SET name = 'changed' WHERE id = 4");
  const int before = ds->Executions();
  ds->Refresh();
  EXPECT_EQ(ds->Executions(), before + 1);
  EXPECT_EQ(Id(*ds), 4);
  EXPECT_EQ(ds->FieldByName("name")->GetAsString(), "changed");
  EXPECT_EQ(ds->GetRecordCount(), -1) << "the cache was dropped";
}

TEST_F(EngineRead, RefreshAfterReadingToTheEndKeepsTheActiveRecordOnItsRowOfTheView) {
  Fill(60);
  auto ds = Make();
  TWindowLink grid(20);
  grid.SetDataSet(ds.get());
  ds->Open();
  ds->Last();
  ds->First();
  ds->MoveBy(25);
  ds->MoveBy(-10);
  ASSERT_EQ(grid.GetActiveRecord(), 9);
  ds->Refresh();
  EXPECT_EQ(Id(*ds), 16);
  EXPECT_EQ(grid.GetActiveRecord(), 9);
  EXPECT_EQ(grid.Values("id").front(), 7);
  EXPECT_EQ(grid.Values("id").back(), 26);
}

// ---- scrolling a view ---------------------------------------------------------------------

// A grid of 20 rows over 50: moves by one and by more than the window, both
// ways, from its middle and its edges.
TEST_F(EngineRead, ScrollingAViewBothWaysKeepsItsRowsAndActiveRow) {
  Fill(50);
  auto ds = Make();
  TWindowLink grid(20);
  grid.SetDataSet(ds.get());
  ds->Open();
  const struct {
    int Distance, Moved, Id, Row, Top;
  } moves[] = {
      {10, 10, 11, 10, 1}, {-1, -1, 10, 9, 1},   {15, 15, 25, 19, 6},  {-1, -1, 24, 18, 6},
      {-25, -23, 1, 0, 1}, {30, 30, 31, 19, 12}, {-22, -22, 9, 0, 9},  {-1, -1, 8, 0, 8},
      {1, 1, 9, 1, 8},     {60, 41, 50, 19, 31}, {-3, -3, 47, 16, 31},
  };
  for (const auto& m : moves) {
    EXPECT_EQ(ds->MoveBy(m.Distance), m.Moved) << m.Distance;
    EXPECT_EQ(Id(*ds), m.Id) << m.Distance;
    EXPECT_EQ(grid.GetActiveRecord(), m.Row) << m.Distance;
    std::vector<int> rows(20);
    for (int i = 0; i < 20; ++i) rows[static_cast<std::size_t>(i)] = m.Top + i;
    EXPECT_EQ(grid.Values("id"), rows) << m.Distance;
  }
}

// ---- rows that fail to read -----------------------------------------------------------------

namespace {
const std::string kTwelve =
    "Cannot read record 2: Value 'twelve' of column 'n' is not a valid Largeint";
}

TEST_F(EngineRead, ARowThatFailsToReadIsReportedAgainAndNeverShown) {
  db.Exec("CREATE TABLE odd (id INTEGER, n INTEGER, name VARCHAR(5))");
  db.Exec("INSERT INTO odd VALUES (1, 10, 'a'), (2, 'twelve', 'b'), (3, 30, 'c')");
  auto ds = Make("SELECT id, n, name FROM odd ORDER BY id");
  ds->Open();
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(Error([&] { ds->Next(); }), kTwelve) << "the failing row is read again, not skipped";
    EXPECT_EQ(Id(*ds), 1);
    EXPECT_EQ(ds->GetRecNo(), 1);
  }
  ds->Prior();
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(ds->FieldByName("name")->GetAsString(), "a");
  EXPECT_EQ(Error([&] { ds->Last(); }), kTwelve);
  EXPECT_EQ(Error([&] { ds->Next(); }), kTwelve);
  EXPECT_EQ(ds->GetRecordCount(), -1) << "the failing row is not in the cache";
}

TEST_F(EngineRead, AFilteredReadPassesRowErrorsOnInsteadOfEndingTheData) {
  db.Exec("CREATE TABLE odd (id INTEGER, n INTEGER, name VARCHAR(5))");
  db.Exec("INSERT INTO odd VALUES (1, 10, 'a'), (2, 'twelve', 'b'), (3, 30, 'c')");
  auto ds = Make("SELECT id, n, name FROM odd ORDER BY id");
  ds->SetOnFilterRecord([](TDataSet*, bool& Accept) { Accept = true; });
  ds->SetFiltered(true);
  ds->Open();
  EXPECT_EQ(Error([&] { ds->Next(); }), kTwelve);
  EXPECT_FALSE(ds->Eof()) << "an error is not the end of the data";
  EXPECT_EQ(Id(*ds), 1);
  EXPECT_EQ(ds->GetState(), dsBrowse);
}

// ---- invariant checks -------------------------------------------------------------------------

namespace {

// Header fields of a record, by the engine's documented layout (unaligned).
TRecordBuffer PriorOf(TRecordBuffer Record) {
  TRecordBuffer prior;
  std::memcpy(&prior, Record + sizeof(void*), sizeof prior);
  return prior;
}
void SetPriorOf(TRecordBuffer Record, TRecordBuffer Prior) {
  std::memcpy(Record + sizeof(void*), &Prior, sizeof Prior);
}
void SetStatusOf(TRecordBuffer Record, TUpdateStatus Status) {
  Record[2 * sizeof(void*)] = Status;
}
void SetRecNoOf(TRecordBuffer Record, std::int32_t No) {
  std::memcpy(Record + 3 * sizeof(void*) + 1, &No, sizeof No);
}

}  // namespace

TEST_F(EngineRead, InvariantChecksNameTheFirstBrokenInvariant) {
  Fill(4);
  auto ds = Make();
  ds->Open();
  ds->Last();
  ds->First();
  ds->Next();
  TQVLDataSetImpl& engine = TDataSetTestPeer::Engine(*ds);
  TRecordBuffer two = TDataSetTestPeer::CellRecord(TDataSetTestPeer::ActiveBuffer(*ds));
  ds->Next();
  TRecordBuffer three = TDataSetTestPeer::CellRecord(TDataSetTestPeer::ActiveBuffer(*ds));
  EXPECT_EQ(engine.InvariantFault(), "");
  EXPECT_EQ(ds->InvariantFault(), "");
  struct TCase {
    std::function<void()> Break, Mend;
    std::string Fault;
  };
  TRecordBuffer savedPrior = PriorOf(three);
  const TCase cases[] = {
      {[&] { SetPriorOf(three, three); }, [&] { SetPriorOf(three, savedPrior); },
       "record 3 of the chain: its Prior does not point back"},
      {[&] { SetRecNoOf(two, 7); }, [&] { SetRecNoOf(two, 2); },
       "record 2 of the chain is numbered 7"},
      {[&] { SetStatusOf(two, usInserted); }, [&] { SetStatusOf(two, usUnmodified); },
       "record 2 is changed but not in the update log"},
      {[&] { SetStatusOf(two, usModified); }, [&] { SetStatusOf(two, usUnmodified); },
       "record 2 is modified but has no old values"},
  };
  for (const TCase& c : cases) {
    c.Break();
    EXPECT_EQ(engine.InvariantFault(), c.Fault);
    c.Mend();
    EXPECT_EQ(engine.InvariantFault(), "");
  }
  TDataSetTestPeer::SetActiveRecord(*ds, 5);
  EXPECT_EQ(ds->InvariantFault(), "active record 5 outside the window's 1 records");
  TDataSetTestPeer::SetActiveRecord(*ds, 0);
#ifndef NDEBUG
  // Debug builds (the sanitizer build among them) check at every operation.
  SetRecNoOf(two, 7);
  EXPECT_DEATH(
      ds->Edit(),
      "invariant broken at the start of InternalEdit: record 2 of the chain is numbered 7");
  SetRecNoOf(two, 2);
#endif
}
