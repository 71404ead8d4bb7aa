// Editing cached records and the update log, through a component over
// SQLite: status transitions, old values, cancel and revert, refresh, the
// status filter, record numbers after inserts and deletes.
#include <gtest/gtest.h>

#include <cstring>

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/resources/QVLConsts.h"
#include "tests/EngineTestSupport.h"

using namespace qvl;
using namespace qvl::test;

namespace {

class Editing : public ::testing::Test {
 protected:
  void SetUp() override {
    db.Exec("CREATE TABLE items (id INT, name VARCHAR(10))");
    db.Exec(
        "INSERT INTO items VALUES (1, 'one'), (2, 'two'), (3, 'three'), (4, 'four'), (5, 'five')");
    ds = std::make_unique<TTestQVLDataSet>(nullptr);
    ds->SetName("Items");
    ds->SetDatabase(db);
    ds->SetCommandText("SELECT id, name FROM items ORDER BY id");
    ds->SetCachedUpdates(true);
    ds->Open();
  }
  TQVLDataSetImpl& Impl() { return TDataSetTestPeer::Engine(*ds); }
  int Id() { return ds->FieldByName("id")->GetAsInteger(); }
  std::string Name() { return ds->FieldByName("name")->GetAsString(); }
  void Goto(int Id) { ASSERT_TRUE(ds->Locate("id", Id, 0)) << Id; }
  void Rename(int Id, const std::string& Name) {
    Goto(Id);
    ds->Edit();
    ds->FieldByName("name")->SetAsString(Name);
    ds->Post();
  }
  // The update log as "id:status" in log order (M, I, D), read from the
  // records: the id is the first slot.
  std::string Log() {
    std::string out;
    if (!ds->GetUpdatesPending()) return out;
    for (TRecordBuffer r : Impl().GetUpdatedRecords()) {
      std::int32_t id;
      std::memcpy(&id, r + kQVLRecordHeaderSize + 1, 4);
      if (!out.empty()) out += ' ';
      out += std::to_string(id) + ":" + "UMID"[r[2 * sizeof(void*)]];
    }
    return out;
  }
  // Ids and names of the visible records, first to last.
  std::string Rows() {
    std::string out;
    ds->First();
    while (!ds->Eof()) {
      if (!out.empty()) out += ' ';
      out += std::to_string(Id()) + "=" + Name();
      ds->Next();
    }
    return out;
  }
  std::vector<int> RecNos() {
    std::vector<int> out;
    ds->First();
    while (!ds->Eof()) {
      out.push_back(ds->GetRecNo());
      ds->Next();
    }
    return out;
  }

  TSQLiteDb db;
  std::unique_ptr<TTestQVLDataSet> ds;
};

}  // namespace

// ---- status transitions and the update log ------------------------------------------

TEST_F(Editing, FetchedRecordsAreUnmodifiedAndNothingIsPending) {
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  EXPECT_FALSE(ds->GetUpdatesPending());
  EXPECT_EQ(Log(), "");
}

TEST_F(Editing, PostingAChangedEditLogsTheRecordWithItsBackupAsOldValues) {
  Rename(2, "deux");
  EXPECT_EQ(ds->UpdateStatus(), usModified);
  EXPECT_EQ(Log(), "2:M");
  EXPECT_EQ(ds->FieldByName("name")->GetOldValue(), Variant("two"));
  EXPECT_EQ(ds->FieldByName("name")->GetNewValue(), Variant("deux"));
}

TEST_F(Editing, PostingAnUnchangedEditLogsNothing) {
  Goto(2);
  ds->Edit();
  ds->Post();
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  EXPECT_FALSE(ds->GetUpdatesPending());
}

TEST_F(Editing, EditingTwiceKeepsOneEntryAndTheFetchedValuesAsOld) {
  Rename(2, "deux");
  Rename(4, "quatre");
  Rename(2, "zwei");
  EXPECT_EQ(Log(), "2:M 4:M");
  Goto(2);
  EXPECT_EQ(ds->FieldByName("name")->GetOldValue(), Variant("two"));
  EXPECT_EQ(Name(), "zwei");
}

TEST_F(Editing, OldValuesDuringAnEditComeFromTheBackup) {
  Goto(3);
  ds->Edit();
  ds->FieldByName("name")->SetAsString("drei");
  EXPECT_EQ(ds->FieldByName("name")->GetOldValue(), Variant("three"));
  ds->Cancel();
  EXPECT_EQ(Name(), "three");
  EXPECT_FALSE(ds->GetUpdatesPending());
}

TEST_F(Editing, InsertedRecordsAreLoggedAndStayInsertedWhenEdited) {
  Goto(3);
  ds->Insert();
  EXPECT_EQ(ds->UpdateStatus(), usInserted);
  ds->FieldByName("id")->SetAsInteger(30);
  ds->FieldByName("name")->SetAsString("thirty");
  ds->Post();
  EXPECT_EQ(Log(), "30:I");
  ds->Edit();
  ds->FieldByName("name")->SetAsString("trente");
  ds->Post();
  EXPECT_EQ(ds->UpdateStatus(), usInserted);
  EXPECT_EQ(Log(), "30:I");
  EXPECT_EQ(Rows(), "1=one 2=two 30=trente 3=three 4=four 5=five");
}

TEST_F(Editing, CancellingAnInsertGoesBackToTheRecordBeforeIt) {
  for (int id : {1, 3, 5}) {
    SCOPED_TRACE(id);
    Goto(id);
    ds->Insert();
    ds->FieldByName("id")->SetAsInteger(30);
    ds->FieldByName("name")->SetAsString("thirty");
    ds->Cancel();
    EXPECT_EQ(Id(), id);
    ds->Prior();
    EXPECT_EQ(Id(), id == 1 ? 1 : id - 1);
    EXPECT_EQ(Log(), "");
  }
  EXPECT_EQ(Rows(), "1=one 2=two 3=three 4=four 5=five");
}

TEST_F(Editing, UpdateStatusOfAClosedDataSetRaises) {
  ds->Close();
  try {
    ds->UpdateStatus();
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), std::string("Items: ") + SDataSetClosed);
  }
}

TEST_F(Editing, DeletingAnUnmodifiedRecordHidesItButKeepsItCounted) {
  Goto(2);
  ds->Delete();
  EXPECT_EQ(Log(), "2:D");
  EXPECT_EQ(Id(), 3) << "the next visible record";
  EXPECT_EQ(Rows(), "1=one 3=three 4=four 5=five");
  ds->Last();
  EXPECT_EQ(ds->GetRecordCount(), 5);
  EXPECT_EQ(ds->GetRecNo(), 5);
}

TEST_F(Editing, DeletingAModifiedRecordKeepsItsPlaceAndTheFetchedValues) {
  Rename(2, "deux");
  Rename(4, "quatre");
  Goto(2);
  ds->Delete();
  EXPECT_EQ(Log(), "2:D 4:M");
  ds->SetStatusFilter(UpdateStatusBit(usDeleted));
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(ds->FieldByName("name")->GetOldValue(), Variant("two"));
}

TEST_F(Editing, DeletingAnInsertedRecordRemovesItFromCacheAndLog) {
  Rename(1, "un");
  Goto(3);
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(30);
  ds->Post();
  ds->Delete();
  EXPECT_EQ(Log(), "1:M");
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(Rows(), "1=un 2=two 3=three 4=four 5=five");
  EXPECT_EQ(RecNos(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(Editing, DeletedRecordsCanBeNeitherEditedNorDeleted) {
  Goto(2);
  ds->Delete();
  ds->SetStatusFilter(UpdateStatusBit(usDeleted));
  EXPECT_EQ(Rows(), "2=two") << "only deleted records show";
  ds->First();
  EXPECT_EQ(Error([&] { ds->Edit(); }), "Cannot update deleted record");
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_EQ(Error([&] { ds->Delete(); }), "Cannot delete already deleted record");
  EXPECT_EQ(Log(), "2:D");
}

TEST_F(Editing, StatusFilterChoosesWhatBrowsingShows) {
  Rename(1, "un");
  Goto(3);
  ds->Delete();
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(40);
  ds->Post();
  ds->SetStatusFilter(UpdateStatusBit(usModified) | UpdateStatusBit(usInserted));
  EXPECT_EQ(Rows(), "1=un 40=");
  ds->SetStatusFilter(UpdateStatusBit(usUnmodified));
  EXPECT_EQ(Rows(), "2=two 4=four 5=five");
  ds->SetStatusFilter(0);
  EXPECT_EQ(Rows(), "1=un 2=two 40= 4=four 5=five");
}

TEST_F(Editing, SettingTheStatusFilterMovesToTheFirstRecord) {
  Goto(4);
  ds->SetStatusFilter(UpdateStatusBit(usUnmodified));
  EXPECT_EQ(Id(), 1);
  Goto(4);
  ds->SetStatusFilter(UpdateStatusBit(usUnmodified));
  EXPECT_EQ(Id(), 4) << "the same filter again changes nothing";
}

// ---- cancel, revert, refresh ----------------------------------------------------------

TEST_F(Editing, CancelUpdatesRestoresEveryRecordLastChangeFirst) {
  Rename(1, "un");
  Rename(1, "eins");
  Goto(2);
  ds->Delete();
  Goto(4);
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(35);
  ds->Post();
  Rename(5, "cinq");
  Goto(5);
  ds->Delete();
  ASSERT_EQ(Log(), "1:M 2:D 35:I 5:D");
  ds->CancelUpdates();
  EXPECT_FALSE(ds->GetUpdatesPending());
  EXPECT_EQ(Rows(), "1=one 2=two 3=three 4=four 5=five");
  EXPECT_EQ(RecNos(), (std::vector<int>{1, 2, 3, 4, 5}));
  ds->First();
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
}

TEST_F(Editing, CancelUpdatesDropsAPendingEditFirst) {
  Goto(2);
  ds->Edit();
  ds->FieldByName("name")->SetAsString("x");
  ds->CancelUpdates();
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_EQ(Name(), "two");
}

TEST_F(Editing, RevertRecordUndoesTheActiveRecordsChangeOnly) {
  Rename(1, "un");
  Rename(3, "trois");
  Goto(3);
  ds->RevertRecord();
  EXPECT_EQ(Name(), "three");
  EXPECT_EQ(ds->UpdateStatus(), usUnmodified);
  EXPECT_EQ(Log(), "1:M");
}

TEST_F(Editing, RevertRecordWithoutAPendingChangeOnlyCancelsTheEdit) {
  Rename(1, "un");
  Goto(2);
  ds->Edit();
  ds->FieldByName("name")->SetAsString("x");
  ds->RevertRecord();
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_EQ(Name(), "two");
  EXPECT_EQ(Log(), "1:M");
}

TEST_F(Editing, RevertingAnInsertedRecordRemovesIt) {
  Goto(2);
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(15);
  ds->Post();
  ds->RevertRecord();
  EXPECT_FALSE(ds->GetUpdatesPending());
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(RecNos(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(Editing, ScrollHandlersAfterARolledBackInsertSeeNoRecord) {
  Goto(2);
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(15);
  ds->Post();
  std::string seen;
  ds->SetBeforeScroll([&](TDataSet* d) {
    seen = d->FieldByName("id")->IsNull() ? "none" : d->FieldByName("id")->GetAsString();
  });
  ds->CancelUpdates();
  EXPECT_EQ(seen, "none") << "the inserted record is gone, and never read again";
  EXPECT_EQ(Id(), 2);
}

TEST_F(Editing, TurningCachedUpdatesOffRollsBackPendingChanges) {
  Rename(2, "deux");
  Goto(4);
  ds->Delete();
  ds->SetCachedUpdates(false);
  EXPECT_FALSE(ds->GetUpdatesPending());
  EXPECT_EQ(Rows(), "1=one 2=two 3=three 4=four 5=five");
  ds->Close();
  ds->SetCachedUpdates(true);
  ds->SetCachedUpdates(false);
  EXPECT_FALSE(ds->GetCachedUpdates());
}

TEST_F(Editing, RefreshDropsPendingChangesAndKeepsTheRecordNumber) {
  Rename(2, "deux");
  Goto(1);
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(0);
  ds->Post();
  Goto(3);
  ASSERT_EQ(ds->GetRecNo(), 4);
  ds->Refresh();
  EXPECT_FALSE(ds->GetUpdatesPending());
  EXPECT_EQ(Id(), 4) << "by number, not by identity";
  EXPECT_EQ(Rows(), "1=one 2=two 3=three 4=four 5=five");
}

TEST_F(Editing, FailedOneCallInsertsFreeTheirRecordsAtOnce) {
  ds->Close();
  ds->SetPageSize(2);
  ds->Open();
  ds->Last();
  ds->First();
  const int pages = TDataSetTestPeer::Allocator(Impl())->PageCount();
  ds->SetBeforePost([](TDataSet*) { throw EDatabaseError("refused"); });
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(Error([&] { ds->InsertRecord({Variant(10 + i), Variant("new")}); }), "refused");
    EXPECT_EQ(Error([&] { ds->AppendRecord({Variant(60 + i), Variant("new")}); }), "refused");
  }
  EXPECT_EQ(TDataSetTestPeer::Allocator(Impl())->PageCount(), pages) << "no failed record is kept";
  EXPECT_EQ(ds->GetState(), dsBrowse);
  EXPECT_EQ(Id(), 1);
  EXPECT_EQ(Rows(), "1=one 2=two 3=three 4=four 5=five");
  EXPECT_EQ(Log(), "");
}

// ---- record numbers after inserts and deletes -----------------------------------------

TEST_F(Editing, AppendAndInsertNumberTheNewRecordAndRenumberTheRest) {
  ds->Next();  // rows 1, 2 read; the rest not yet
  ds->AppendRecord({Variant(6), Variant("six")});
  EXPECT_EQ(ds->GetRecNo(), 6) << "the former count plus one";
  EXPECT_EQ(Id(), 6);
  Goto(3);
  ds->InsertRecord({Variant(25), Variant("x")});
  EXPECT_EQ(ds->GetRecNo(), 3) << "the number of the record it went before";
  EXPECT_EQ(Id(), 25);
  EXPECT_EQ(Rows(), "1=one 2=two 25=x 3=three 4=four 5=five 6=six");
  EXPECT_EQ(RecNos(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(Log(), "6:I 25:I");
}

TEST_F(Editing, InsertingBeforeRowsNotYetReadKeepsNumbersExact) {
  // One-buffer window: only row 1 has been read.
  ds->Insert();
  ds->FieldByName("id")->SetAsInteger(0);
  ds->Post();
  EXPECT_EQ(ds->GetRecNo(), 1);
  EXPECT_EQ(ds->GetRecordCount(), -1);
  EXPECT_EQ(RecNos(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(ds->GetRecordCount(), 6);
}

TEST_F(Editing, AppliedDeleteOfARecordWhoseSuccessorIsUnreadLetsFetchingGoOn) {
  ds->Next();
  ds->Next();
  ASSERT_EQ(Id(), 3);  // rows 1..3 read; row 3 has no successor yet
  TDataSetTestPeer::UpdateCursorPos(*ds);
  Impl().InternalDelete();  // logged, still linked
  TRecordBuffer deleted = Impl().GetUpdatedRecords().at(0);
  Impl().InternalFirst();  // not the current record when it is committed
  Impl().CommitUpdate(deleted);
  Impl().GetUpdatedRecords().clear();
  TDataSetTestPeer::CursorPosChanged(*ds);
  EXPECT_EQ(Rows(), "1=one 2=two 4=four 5=five");
  EXPECT_EQ(RecNos(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(ds->GetRecordCount(), 4);
}

// ---- writing without cached updates -------------------------------------------------------

TEST_F(Editing, WithoutCachedUpdatesAQueryWithNoWayToWriteIsReadOnly) {
  ds->Close();
  ds->SetCachedUpdates(false);
  ds->SetCommandText("SELECT i.id, i.name FROM items i JOIN items j ON j.id = i.id ORDER BY i.id");
  ds->Open();
  EXPECT_FALSE(ds->GetCanModify()) << "no table to write to, no update object, no cached updates";
  EXPECT_EQ(Error([&] { ds->Edit(); }), "Items: Cannot modify a read-only dataset");
}

TEST_F(Editing, CachedUpdatesMakeAnyBidirectionalDataSetModifiable) {
  struct TCase {
    const char* SQL;
    bool Cached, CanModify;
  } cases[] = {
      {"SELECT id, name FROM items", false, true},  // a table: automatic update SQL
      {"SELECT i.id, i.name FROM items i JOIN items j ON j.id = i.id", false, false},
      {"SELECT i.id, i.name FROM items i JOIN items j ON j.id = i.id", true, true},
  };
  for (const TCase& c : cases) {
    ds->Close();
    ds->SetCachedUpdates(c.Cached);
    ds->SetCommandText(c.SQL);
    ds->Open();
    EXPECT_EQ(ds->GetCanModify(), c.CanModify) << c.SQL << " cached: " << c.Cached;
  }
  ds->Edit();
  ds->FieldByName("name")->SetAsString("uno");
  ds->Post();
  EXPECT_EQ(Log(), "1:M") << "a join with cached updates logs its changes";
}

TEST_F(Editing, UnidirectionalDataSetsCannotBeModified) {
  TQVLTable table;
  table.SetSQLConnection(&db.Connection());
  table.SetTableName("items");
  table.SetCachedUpdates(true);
  table.SetUniDirectional(true);
  table.Open();
  EXPECT_FALSE(table.GetCanModify());
}
