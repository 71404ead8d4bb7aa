// Writing changes back, on SQLite and PostgreSQL through the components: the
// ways a record is written (OnUpdateRecord, the update object, generated
// SQL) and what OnUpdateError makes of a failure, the update object's
// statements and parameters, the rows-affected check, transactions, posting
// without cached updates, and faults halfway through an apply.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <string>

#include "qvl/components/QVLDataSet.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/DBConsts.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/resources/QVLConsts.h"
#include "qvl/sql/QVLSQLProcessor.h"
#include "qvl/update/QVLUpdateSQL.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;

namespace {

// The exception's class and message, or "no error".
std::string Outcome(const std::function<void()>& F) {
  try {
    F();
  } catch (const EAbort& e) {
    return "abort: " + e.Message();
  } catch (const EDatabaseError& e) {
    return "database: " + e.Message();
  } catch (const Exception& e) {
    return "other: " + e.Message();
  }
  return "no error";
}

// Whether a message is a CHECK constraint's, as either database words it.
bool IsCheckViolation(std::string Message) {
  for (char& c : Message) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return Message.find("check constraint") != std::string::npos;
}

class ApplyUpdates : public qvl::test::SQLLayerTest {
 protected:
  void SetUp() override {
    SQLLayerTest::SetUp();
    if (HasFatalFailure()) return;
    Exec(
        "CREATE TABLE items (id INT PRIMARY KEY, name VARCHAR(20) NOT NULL, qty INT CHECK (qty >= "
        "0))");
    Reset();
    Upd = std::make_unique<TQVLUpdateSQL>();
    Upd->GetModifySQL().SetText("UPDATE items SET name = :name, qty = :qty WHERE id = :OLD_id");
    Upd->GetInsertSQL().SetText("INSERT INTO items (id, name, qty) VALUES (:id, :name, :qty)");
    Upd->GetDeleteSQL().SetText("DELETE FROM items WHERE id = :OLD_id");
    Q = std::make_unique<TQVLQuery>();
    Q->SetSQLConnection(Conn.get());
    Q->SQL().SetText("SELECT id, name, qty FROM items ORDER BY id");
    Q->SetCachedUpdates(true);
    Q->SetUpdateObject(Upd.get());
    Q->Open();
  }
  void TearDown() override {
    Q.reset();
    Upd.reset();
    SQLLayerTest::TearDown();
  }
  void Reset() {
    if (Q) Q->Close();
    Exec("DELETE FROM items");
    Exec("INSERT INTO items VALUES (1, 'one', 10), (2, 'two', 20), (3, 'three', 30)");
    if (Q) Q->Open();
  }
  // The table's rows as the server has them.
  std::string Server() {
    auto q = Query("SELECT id, name, qty FROM items ORDER BY id");
    std::string out;
    for (q->Open(); !q->Eof(); q->Next())
      out += (out.empty() ? "" : " ") + q->FieldByName("id")->GetAsString() + "=" +
             q->FieldByName("name")->GetAsString() + "/" + q->FieldByName("qty")->GetAsString();
    return out;
  }
  // Every cached record with its status, deleted ones too; ends on the first.
  std::string Cache() {
    const TUpdateStatusSet saved = Q->GetStatusFilter();
    Q->SetStatusFilter(0x0F);
    std::string out;
    for (; !Q->Eof(); Q->Next())
      out += (out.empty() ? "" : " ") + Q->FieldByName("id")->GetAsString() + "=" +
             Q->FieldByName("name")->GetAsString() + "/" + Q->FieldByName("qty")->GetAsString() +
             ":" + "UMID"[Q->UpdateStatus()];
    Q->SetStatusFilter(saved);
    return out;
  }
  void Set(int Id, const std::string& Name, int Qty) {
    ASSERT_TRUE(Q->Locate("id", Id, 0)) << Id;
    Q->Edit();
    Q->FieldByName("name")->SetAsString(Name);
    Q->FieldByName("qty")->SetAsInteger(Qty);
    Q->Post();
  }

  std::unique_ptr<TQVLUpdateSQL> Upd;
  std::unique_ptr<TQVLQuery> Q;
};

QVL_SQL_LAYER_SUITE(ApplyUpdates);

const char* const Fetched = "1=one/10 2=two/20 3=three/30";

TEST_P(ApplyUpdates, OnUpdateRecordAnswersEachRecord) {
  struct Case {
    TUpdateAction Action;  // answered on the first call; uaApplied after a retry
    const char* Outcome;
    const char* Server;
    const char* Cache;
    int Calls;
  };
  const Case cases[] = {
      {uaFail, "no error", "1=one/10 2=uno/11 3=three/30", "1=one/10:U 2=uno/11:U 3=three/30:U", 1},
      {uaAbort, "abort: Operation aborted", Fetched, "1=one/10:U 2=uno/11:M 3=three/30:U", 1},
      {uaSkip, "no error", Fetched, "1=one/10:U 2=uno/11:M 3=three/30:U", 1},
      {uaRetry, "no error", Fetched, "1=one/10:U 2=uno/11:U 3=three/30:U", 2},
      {uaApplied, "no error", Fetched, "1=one/10:U 2=uno/11:U 3=three/30:U", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Action);
    Reset();
    int calls = 0;
    Q->SetOnUpdateRecord([&](TDataSet* DataSet, TUpdateKind Kind, TUpdateAction& Action) {
      EXPECT_EQ(DataSet, Q.get());
      EXPECT_EQ(Kind, ukModify);
      EXPECT_EQ(Q->FieldByName("name")->GetOldValue().AsString(), "two")
          << "the record being applied";
      Action = ++calls == 1 ? c.Action : uaApplied;
    });
    Set(2, "uno", 11);
    EXPECT_EQ(Outcome([&] { Q->ApplyUpdates(); }), c.Outcome);
    EXPECT_EQ(calls, c.Calls);
    EXPECT_EQ(Server(), c.Server);
    EXPECT_EQ(Cache(), c.Cache);
  }
}

TEST_P(ApplyUpdates, OnUpdateErrorAnswersADatabaseError) {
  struct Case {
    TUpdateAction Action;
    const char* Outcome;  // "" for the server's own message
    const char* Cache;
    int Tries;
  };
  const Case cases[] = {
      {uaFail, "", "1=one/10:U 2=two/-1:M 3=three/30:U", 1},
      {uaAbort, "abort: Operation aborted", "1=one/10:U 2=two/-1:M 3=three/30:U", 1},
      {uaSkip, "no error", "1=one/10:U 2=two/-1:M 3=three/30:U", 1},
      {uaRetry, "no error", "1=one/10:U 2=two/-1:U 3=three/30:U", 2},
      {uaApplied, "no error", "1=one/10:U 2=two/-1:U 3=three/30:U", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Action);
    Reset();
    int tries = 0, errors = 0;
    Q->SetOnUpdateRecord([&](TDataSet*, TUpdateKind, TUpdateAction&) { ++tries; });
    Q->SetOnUpdateError(
        [&](TDataSet* DataSet, EDatabaseError& E, TUpdateKind Kind, TUpdateAction& Action) {
          EXPECT_EQ(DataSet, Q.get());
          EXPECT_EQ(Kind, ukModify);
          EXPECT_TRUE(IsCheckViolation(E.what())) << E.what();
          Action = ++errors == 1 ? c.Action : uaApplied;
        });
    Set(2, "two", -1);
    const std::string outcome = Outcome([&] { Q->ApplyUpdates(); });
    if (*c.Outcome == '\0')
      EXPECT_TRUE(IsCheckViolation(outcome)) << outcome;
    else
      EXPECT_EQ(outcome, c.Outcome);
    EXPECT_EQ(tries, c.Tries) << "a retry runs OnUpdateRecord and the update object again";
    EXPECT_EQ(Server(), Fetched);
    EXPECT_EQ(Cache(), c.Cache);
  }
}

// A handler that counts the record as applied and then fails has not
// applied it: with no OnUpdateError the failure ends the apply.
TEST_P(ApplyUpdates, AHandlerThatFailsAfterAnsweringAppliedAppliesNothing) {
  Q->SetOnUpdateRecord([](TDataSet*, TUpdateKind, TUpdateAction& Action) {
    Action = uaApplied;
    DatabaseError("handler failed");
  });
  Set(2, "dos", 22);
  EXPECT_EQ(Outcome([&] { Q->ApplyUpdates(); }), "database: handler failed");
  EXPECT_EQ(Server(), Fetched);
  EXPECT_EQ(Cache(), "1=one/10:U 2=dos/22:M 3=three/30:U");
}

TEST_P(ApplyUpdates, ErrorsThatAreNotDatabaseErrorsBypassOnUpdateError) {
  int errors = 0;
  Q->SetOnUpdateError([&](TDataSet*, EDatabaseError&, TUpdateKind, TUpdateAction& Action) {
    ++errors;
    Action = uaSkip;
  });
  Q->SetOnUpdateRecord(
      [](TDataSet*, TUpdateKind, TUpdateAction&) { throw EConvertError("'x' is not a number"); });
  Set(1, "uno", 11);
  EXPECT_EQ(Outcome([&] { Q->ApplyUpdates(); }), "other: 'x' is not a number");
  Q->SetOnUpdateRecord(nullptr);
  Upd->GetModifySQL().SetText("UPDATE items SET name = :name #if WHERE id = :OLD_id");
  EXPECT_EQ(Outcome([&] { Q->ApplyUpdates(); }).substr(0, 7), "other: ") << "a macro SQL error";
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Cache(), "1=uno/11:M 2=two/20:U 3=three/30:U");
}

TEST_P(ApplyUpdates, StatementParametersComeFromNewAndOldValues) {
  // OLD_ in capitals only; a duplicate parameter is filled twice; a field
  // that did not change is written as it stands, not as null.
  Upd->GetModifySQL().SetText(
      "UPDATE items SET name = :name || '/' || :old_id || '/' || :name, qty = :qty WHERE id = "
      ":OLD_id");
  Q->Close();
  Q->SQL().SetText("SELECT id, name, qty, id + 100 AS old_id FROM items ORDER BY id");
  Q->Open();
  Set(1, "uno", 10);
  ASSERT_TRUE(Q->Locate("id", 2, 0));
  Q->Edit();
  Q->FieldByName("name")->SetAsString("dos");
  Q->Post();
  Q->Append();
  Q->FieldByName("id")->SetAsInteger(4);
  Q->FieldByName("name")->SetAsString("four");
  Q->Post();
  Upd->GetInsertSQL().SetText(
      "INSERT INTO items (id, name, qty) VALUES (:id, :name || :OLD_name, :OLD_qty)");
  Q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=uno/101/uno/10 2=dos/102/dos/20 3=three/30 4=fourfour/");
}

TEST_P(ApplyUpdates, RowsAffectedAreChecked) {
  struct Case {
    TQVLRecordUpdateOptions Options;
    const char* Where;  // of the UPDATE: no row, one row or two rows
    const char* Outcome;
  };
  const std::string changed = std::string("database: ") + SRecordChanged;
  const std::string tooMany = std::string("database: ") + STooManyRecordsModified;
  const Case cases[] = {
      {uoCheckRowsAffected, "id = -1", changed.c_str()},
      {0, "id = -1", "no error"},
      {uoCheckRowsAffected, "id = :OLD_id", "no error"},
      {uoCheckRowsAffected, "id >= :OLD_id", tooMany.c_str()},
      {uoCheckRowsAffected | uoAllowMultiRecordUpdates, "id >= :OLD_id", "no error"},
      {uoAllowMultiRecordUpdates, "id >= :OLD_id", "no error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Where);
    Reset();
    Q->SetUpdateOptions(c.Options | uoUpdateInTransaction);
    Upd->GetModifySQL().SetText(std::string("UPDATE items SET qty = :qty WHERE ") + c.Where);
    Set(2, "two", 5);
    EXPECT_EQ(Outcome([&] { Q->ApplyUpdates(); }), c.Outcome);
    EXPECT_EQ(Q->GetUpdatesPending(), std::string(c.Outcome) != "no error");
  }
}

TEST_P(ApplyUpdates, TransactionsOwnAlreadyOpenOrNone) {
  // Record 2 of 3 breaks a constraint. In a transaction nothing reaches the
  // server and nothing changes in the cache; outside any transaction the
  // record written first is final on both sides. Applying again after the
  // cause is removed writes each record once.
  struct Case {
    bool Option, ApplicationTransaction;
    const char* ServerAfterFailure;
    const char* CacheAfterFailure;
  };
  const Case cases[] = {
      {true, false, Fetched, "1=uno/11:M 2=dos/-1:M 3=tres/33:M"},
      {true, true, Fetched, "1=uno/11:M 2=dos/-1:M 3=tres/33:M"},
      {false, false, "1=uno/11 2=two/20 3=three/30", "1=uno/11:U 2=dos/-1:M 3=tres/33:M"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Option) + std::to_string(c.ApplicationTransaction));
    Reset();
    Q->SetUpdateOptions(c.Option ? kQVLAllRecordUpdateOptions
                                 : static_cast<TQVLRecordUpdateOptions>(kQVLAllRecordUpdateOptions &
                                                                        ~uoUpdateInTransaction));
    Set(1, "uno", 11);
    Set(2, "dos", -1);
    Set(3, "tres", 33);
    ASSERT_TRUE(Q->Locate("id", 3, 0));
    if (c.ApplicationTransaction) Conn->StartTransaction();
    EXPECT_TRUE(IsCheckViolation(Outcome([&] { Q->ApplyUpdates(); })));
    EXPECT_EQ(Conn->InTransaction(), c.ApplicationTransaction)
        << "the application's transaction is its own";
    if (c.ApplicationTransaction) Conn->Rollback();
    EXPECT_EQ(Server(), c.ServerAfterFailure);
    EXPECT_EQ(Q->FieldByName("id")->GetAsInteger(), 3) << "the position is where it was";
    EXPECT_EQ(Cache(), c.CacheAfterFailure);
    Set(2, "dos", 22);
    Q->ApplyUpdates();
    EXPECT_EQ(Server(), "1=uno/11 2=dos/22 3=tres/33");
    EXPECT_EQ(Cache(), "1=uno/11:U 2=dos/22:U 3=tres/33:U");
  }
}

TEST_P(ApplyUpdates, EventsAndTheEmptyLog) {
  std::string events;
  Q->SetBeforeApplyUpdates(
      [&](TObject* Sender) { events += Sender == Q.get() ? "before " : "? "; });
  Q->SetAfterApplyUpdates([&](TObject* Sender) { events += Sender == Q.get() ? "after " : "? "; });
  Q->ApplyUpdates();
  EXPECT_EQ(events, "") << "nothing pending: no event, no transaction";
  ASSERT_TRUE(Q->Locate("id", 3, 0));
  Q->Delete();
  ASSERT_TRUE(Q->Locate("id", 1, 0));
  Q->Edit();
  Q->FieldByName("qty")->SetAsInteger(1);  // posted by ApplyUpdates
  Q->ApplyUpdates();
  EXPECT_EQ(events, "before after ");
  EXPECT_EQ(Server(), "1=one/1 2=two/20");
  EXPECT_EQ(Q->FieldByName("id")->GetAsInteger(), 1);
  EXPECT_EQ(Q->GetRecordCount(), 2);
}

TEST_P(ApplyUpdates, AFailedApplyLeavesBrowsingAndEditingAsBefore) {
  Set(1, "uno", 11);
  Set(3, "tres", -3);
  ASSERT_TRUE(Q->Locate("id", 2, 0));
  EXPECT_TRUE(IsCheckViolation(Outcome([&] { Q->ApplyUpdates(); })));
  EXPECT_EQ(Q->FieldByName("name")->GetAsString(), "two");
  Q->Edit();
  Q->FieldByName("name")->SetAsString("dos");
  Q->Post();
  Q->Next();
  EXPECT_EQ(Q->FieldByName("name")->GetAsString(), "tres");
  Q->Prior();
  EXPECT_EQ(Q->FieldByName("name")->GetAsString(), "dos");
  EXPECT_EQ(Cache(), "1=uno/11:M 2=dos/20:M 3=tres/-3:M");
  Q->CancelUpdates();
  EXPECT_EQ(Cache(), "1=one/10:U 2=two/20:U 3=three/30:U");
}

TEST_P(ApplyUpdates, WithoutCachedUpdatesEachPostIsWrittenAtOnce) {
  Q->SetCachedUpdates(false);
  int before = 0, after = 0;
  Q->SetBeforeApplyUpdates([&](TObject*) { ++before; });
  Q->SetAfterApplyUpdates([&](TObject*) { ++after; });
  Set(1, "uno", 11);
  Q->Append();
  Q->FieldByName("id")->SetAsInteger(4);
  Q->FieldByName("name")->SetAsString("four");
  Q->Post();
  ASSERT_TRUE(Q->Locate("id", 2, 0));
  Q->Delete();
  EXPECT_EQ(Server(), "1=uno/11 3=three/30 4=four/");
  EXPECT_EQ(Cache(), "1=uno/11:U 3=three/30:U 4=four/:U");
  EXPECT_EQ(before, 3);
  EXPECT_EQ(after, 3);
  EXPECT_FALSE(Q->GetUpdatesPending());

  // A failure, and a change that nothing writes, leave the edit open.
  ASSERT_TRUE(Q->Locate("id", 3, 0));
  Q->Edit();
  Q->FieldByName("qty")->SetAsInteger(-1);
  EXPECT_TRUE(IsCheckViolation(Outcome([&] { Q->Post(); })));
  EXPECT_EQ(Q->GetState(), dsEdit);
  Q->FieldByName("qty")->SetAsInteger(3);
  Q->SetOnUpdateRecord([](TDataSet*, TUpdateKind, TUpdateAction& Action) { Action = uaSkip; });
  EXPECT_EQ(Outcome([&] { Q->Post(); }), std::string("database: ") + SCannotSkipUpdate);
  EXPECT_EQ(Q->GetState(), dsEdit);
  Q->SetOnUpdateRecord(nullptr);
  Q->Post();
  EXPECT_EQ(Server(), "1=uno/11 3=three/3 4=four/");
  EXPECT_EQ(after, 4);
}

TEST_P(ApplyUpdates, EmptyStatementsLeaveTheirKindToGeneratedSQLOrPending) {
  // TQVLDataSet's own update object before the application gave it SQL.
  TQVLDataSet ds;
  ds.SetName("Fixed");
  ds.SetSQLConnection(Conn.get());
  ds.SetCommandText("SELECT id, name, qty FROM items ORDER BY id");
  ds.SetUpdateOptions(
      static_cast<TQVLRecordUpdateOptions>(kQVLAllRecordUpdateOptions & ~uoAllowAutomaticUpdate));
  ds.Open();
  ASSERT_EQ(ds.GetUpdateObject()->GetName(), "InternalUpdateObject");
  EXPECT_EQ(ds.GetUpdateObject()->GetOwner(), &ds);
  ds.Edit();
  ds.FieldByName("qty")->SetAsInteger(1);
  EXPECT_EQ(Outcome([&] { ds.Post(); }), std::string("database: ") + SCannotSkipUpdate);
  EXPECT_EQ(ds.GetState(), dsEdit);
  ds.Cancel();
  ds.SetCachedUpdates(true);
  ds.Delete();
  ds.GetUpdateObject()->GetModifySQL().SetText("  ");
  ds.Edit();
  ds.FieldByName("qty")->SetAsInteger(2);
  ds.Post();
  EXPECT_EQ(Outcome([&] { ds.ApplyUpdates(); }), "no error");
  EXPECT_TRUE(ds.GetUpdatesPending()) << "nothing could write them";
  EXPECT_EQ(Server(), Fetched);
  ds.GetUpdateObject()->GetDeleteSQL().SetText("DELETE FROM items WHERE id = :OLD_id");
  ds.ApplyUpdates();
  EXPECT_EQ(Server(), "2=two/20 3=three/30");
  EXPECT_TRUE(ds.GetUpdatesPending()) << "the modify has still no statement";
}

TEST_P(ApplyUpdates, TheUpdateObjectLinkAndItsProcessor) {
  // Replacing the update object unlinks the old one; destroying either side
  // clears the other's link.
  EXPECT_EQ(Upd->GetDataSet(), Q.get());
  auto other = std::make_unique<TQVLUpdateSQL>();
  Q->SetUpdateObject(other.get());
  EXPECT_EQ(Upd->GetDataSet(), nullptr);
  EXPECT_EQ(other->GetDataSet(), Q.get());
  other.reset();
  EXPECT_EQ(Q->GetUpdateObject(), nullptr);
  Q->SetUpdateObject(Upd.get());
  auto kept = std::make_unique<TQVLUpdateSQL>();
  {
    TQVLQuery temporary;
    temporary.SetUpdateObject(kept.get());
    EXPECT_EQ(kept->GetDataSet(), &temporary);
  }
  EXPECT_EQ(kept->GetDataSet(), nullptr);

  // The statements' processor, and the dataset's once it is destroyed.
  Upd->GetModifySQL().SetText(
      "UPDATE items SET name = #if (UP) upper(:name) #else :name #endif WHERE id = :OLD_id");
  TStringList lines;
  lines.SetText(Upd->GetModifySQL().GetText());
  Upd->SetModifySQL(lines);
  lines.SetText("DELETE FROM items");
  EXPECT_EQ(Upd->GetSQL(ukModify), Upd->GetModifySQL().GetText()) << "the lines were copied";
  auto processor = std::make_unique<TQVLSQLProcessor>(nullptr);
  processor->GetMacros().SetText("UP");
  Upd->SetSQLProcessor(processor.get());
  Set(1, "uno", 10);
  Q->ApplyUpdates();
  processor->GetMacros().Delete(0);
  Set(2, "dos", 20);
  Q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=UNO/10 2=dos/20 3=three/30") << "the macros changed";
  processor.reset();
  EXPECT_EQ(Upd->GetSQLProcessor(), nullptr);
  Set(2, "two", 20);
  Q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=UNO/10 2=two/20 3=three/30");

  // Between applies the statement changes a line at a time, and by its line break.
  TStrings& modify = Upd->GetModifySQL();
  modify.SetText("UPDATE items SET name = :name || '!' WHERE id = :OLD_id");
  Set(1, "uno", 10);
  Q->ApplyUpdates();
  modify.Put(0, "UPDATE items SET name = :name || '");
  modify.Add("' WHERE id = :OLD_id");
  Set(3, "tres", 30);
  Q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=uno!/10 2=two/20 3=tres\n/30");
  modify.SetLineBreak(" ");
  Set(1, "one", 10);
  Q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=one /10 2=two/20 3=tres\n/30");
}

// Generated statements are kept per shape of record (fields assigned, old
// values null): each record must still get the statement its own values ask
// for, and a reopened query on another table none of the old table's.
TEST_P(ApplyUpdates, GeneratedStatementsFollowEachRecord) {
  Exec("INSERT INTO items VALUES (4, 'four', NULL), (5, 'five', 50)");
  Exec("CREATE TABLE other (id INT PRIMARY KEY, name VARCHAR(20) NOT NULL, qty INT)");
  Exec("INSERT INTO other VALUES (1, 'one', 10)");
  Q->SetUpdateObject(nullptr);
  Q->SetUpdateMode(upWhereAll);
  Q->Close();
  Q->Open();
  struct TChange {
    int Id;
    const char* Name;  // null: unchanged
    int Qty;           // -1: set to null, 0: unchanged
  };
  const TChange changes[] = {
      {1, "uno", 0},     // the text only
      {2, nullptr, -1},  // the number to null
      {3, "three", 33},  // the text changed back: only the number
      {4, "vier", 0},    // an old null compared with "is null"
      {5, nullptr, 0},   // changed and changed back: nothing to write
  };
  auto apply = [&](int Round) {
    for (const TChange& c : changes) {
      ASSERT_TRUE(Q->Locate("id", c.Id, 0)) << c.Id;
      Q->Edit();
      if (c.Name != nullptr) Q->FieldByName("name")->SetAsString(c.Name + std::to_string(Round));
      if (c.Name != nullptr && c.Id == 3) Q->FieldByName("name")->SetAsString("three");
      if (c.Qty > 0) Q->FieldByName("qty")->SetAsInteger(c.Qty + Round);
      if (c.Qty < 0) Q->FieldByName("qty")->Clear();
      if (c.Id == 5) Q->FieldByName("qty")->SetAsInteger(51);
      if (c.Id == 5) Q->FieldByName("qty")->SetAsInteger(50);
      Q->Post();
    }
    Q->Append();
    Q->FieldByName("id")->SetAsInteger(10 + Round);
    Q->FieldByName("name")->SetAsString("new");
    if (Round == 2) Q->FieldByName("qty")->SetAsInteger(7);
    Q->Post();
    Q->ApplyUpdates();
  };
  apply(1);
  EXPECT_EQ(Server(), "1=uno1/10 2=two/ 3=three/34 4=vier1/ 5=five/50 11=new/");
  // The same shapes again, with other values; the null qty of 2 now old.
  apply(2);
  EXPECT_EQ(Server(), "1=uno2/10 2=two/ 3=three/35 4=vier2/ 5=five/50 11=new/ 12=new/7");
  EXPECT_FALSE(Q->GetUpdatesPending());

  Q->Close();
  Q->SQL().SetText("SELECT id, name, qty FROM other ORDER BY id");
  Q->Open();
  Q->Edit();
  Q->FieldByName("name")->SetAsString("uno3");
  Q->Post();
  Q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=uno2/10 2=two/ 3=three/35 4=vier2/ 5=five/50 11=new/ 12=new/7");
  auto other = Query("SELECT name FROM other");
  other->Open();
  EXPECT_EQ(other->Fields()[0]->GetAsString(), "uno3");
}

// A number is left out of a generated UPDATE only when it surely holds its
// old value; a changed one is written, alone or with other fields.
TEST_P(ApplyUpdates, GeneratedUpdatesWriteChangedFloatsOnly) {
  Exec("CREATE TABLE floats (id INT PRIMARY KEY, x DOUBLE PRECISION, n INT)");
  Exec("INSERT INTO floats VALUES (1, 1.5, 1), (2, 2.5, 2), (3, 3.5, 3), (4, 4.5, 4)");
  Q->Close();
  Q->SetUpdateObject(nullptr);
  Q->SetUpdateMode(upWhereAll);
  Q->SQL().SetText("SELECT id, x, n FROM floats ORDER BY id");
  Q->Open();
  ASSERT_EQ(Q->FieldByName("x")->GetDataType(), ftFloat);
  const struct {
    double X;  // 0: unchanged
    int N;     // 0: unchanged
  } changes[] = {{1.75, 0}, {0, 20}, {3.25, 30}, {4.5, 0}};
  for (const auto& c : changes) {
    Q->Edit();
    if (c.X != 0) Q->FieldByName("x")->SetAsFloat(c.X);
    if (c.N != 0) Q->FieldByName("n")->SetAsInteger(c.N);
    Q->Post();
    Q->Next();
  }
  Q->ApplyUpdates();
  EXPECT_FALSE(Q->GetUpdatesPending());
  auto rows = Query("SELECT id, x, n FROM floats ORDER BY id");
  rows->Open();
  std::string out;
  for (; !rows->Eof(); rows->Next())
    out += rows->Fields()[0]->GetAsString() + "=" + rows->Fields()[1]->GetAsString() + "/" +
           rows->Fields()[2]->GetAsString() + " ";
  EXPECT_EQ(out, "1=1.75/1 2=2.5/20 3=3.25/30 4=4.5/4 ");
}

// The update object's statement keeps which field each parameter names;
// a reopen with the fields in another order must not shift its values.
TEST_P(ApplyUpdates, ParametersFollowFieldsReordered) {
  auto edit = [&](int Id, const char* Name, int Qty) {
    ASSERT_TRUE(Q->Locate("id", Id, 0));
    Q->Edit();
    Q->FieldByName("name")->SetAsString(Name);
    Q->FieldByName("qty")->SetAsInteger(Qty);
    Q->Post();
    Q->ApplyUpdates();
  };
  edit(1, "uno", 11);
  Q->Close();
  Q->SQL().SetText("SELECT qty, id, name FROM items ORDER BY id");
  Q->Open();
  edit(2, "dos", 22);
  EXPECT_EQ(Server(), "1=uno/11 2=dos/22 3=three/30");
}

TEST_P(ApplyUpdates, CanModify) {
  EXPECT_TRUE(Q->GetCanModify()) << "an update object";
  Q->SetUpdateObject(nullptr);
  EXPECT_TRUE(Q->GetCanModify()) << "a table generated SQL can write to";
  Q->SetUpdateOptions(uoCheckRowsAffected);
  EXPECT_TRUE(Q->GetCanModify()) << "cached updates";
  Q->SetCachedUpdates(false);
  EXPECT_FALSE(Q->GetCanModify());
  Q->SetUpdateObject(Upd.get());
  Q->Close();
  Q->SetUniDirectional(true);
  Q->SetCachedUpdates(true);
  Q->Open();
  EXPECT_FALSE(Q->GetCanModify()) << "unidirectional, whatever else";
}

TEST_P(ApplyUpdates, PSUpdateRecordAppliesThroughTheEngine) {
  Set(1, "uno", 11);
  TUpdateKind seen = ukDelete;
  TDataSet* seenDataSet = nullptr;
  Q->SetOnUpdateRecord([&](TDataSet* DataSet, TUpdateKind Kind, TUpdateAction&) {
    seen = Kind;
    seenDataSet = DataSet;
  });
  TSQLQuery delta;
  delta.SetSQLConnection(Conn.get());
  EXPECT_TRUE(Q->PSUpdateRecord(ukModify, &delta));
  EXPECT_EQ(seen, ukModify);
  EXPECT_EQ(seenDataSet, &delta);
  EXPECT_EQ(Server(), "1=uno/11 2=two/20 3=three/30");
}

TEST(UpdateSQLStatements, IndexesOutsideTheThreeKindsRaise) {
  TQVLUpdateSQL update;
  TStringList lines;
  for (int index : {-1, 3}) {
    const std::string message = "List index out of bounds (" + std::to_string(index) + ")";
    try {
      update.GetSQLIndex(index);
      ADD_FAILURE() << index;
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), message);
    }
    try {
      update.SetSQLIndex(index, lines);
      ADD_FAILURE() << index;
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

}  // namespace
