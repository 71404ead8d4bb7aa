// Generated SQL and the faults an apply meets on real servers: updates lost
// to another connection, connections that die or find the database locked,
// a query still being read on the same connection, and values that must
// match themselves under where all.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "qvl/components/QVLQuery.h"
#include "qvl/components/QVLTable.h"
#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/resources/QVLConsts.h"
#include "qvl/update/QVLUpdateSQL.h"
#include "tests/SQLLayerTestSupport.h"
#include "tests/support/ErrorMessage.h"

using namespace qvl;

namespace {

class ApplyReliability : public qvl::test::SQLLayerTest {
 protected:
  void SetUp() override {
    SQLLayerTest::SetUp();
    if (HasFatalFailure()) return;
    Exec("CREATE TABLE items (id INT PRIMARY KEY, name VARCHAR(20), qty INT CHECK (qty >= 0))");
    Exec("INSERT INTO items VALUES (1, 'one', 10), (2, 'two', 20), (3, 'three', 30)");
  }
  std::unique_ptr<TQVLQuery> Items(TSQLConnection* C = nullptr, bool Cached = true) {
    auto q = std::make_unique<TQVLQuery>();
    q->SetSQLConnection(C != nullptr ? C : Conn.get());
    q->SQL().SetText("SELECT id, name, qty FROM items ORDER BY id");
    q->SetCachedUpdates(Cached);
    q->Open();
    return q;
  }
  std::string Server() {
    auto q = Query("SELECT id, name, qty FROM items ORDER BY id");
    std::string out;
    for (q->Open(); !q->Eof(); q->Next())
      out += (out.empty() ? "" : " ") + q->FieldByName("id")->GetAsString() + "=" +
             q->FieldByName("name")->GetAsString() + "/" + q->FieldByName("qty")->GetAsString();
    return out;
  }
  static void Set(TQVLQuery& Q, int Id, const std::string& Name) {
    ASSERT_TRUE(Q.Locate("id", Id, 0)) << Id;
    Q.Edit();
    Q.FieldByName("name")->SetAsString(Name);
    Q.Post();
  }
  // The pending records as "id:status", in log order.
  static std::string Pending(TQVLQuery& Q) {
    std::string out;
    if (!Q.GetUpdatesPending()) return out;
    const TUpdateStatusSet saved = Q.GetStatusFilter();
    Q.SetStatusFilter(UpdateStatusBit(usModified) | UpdateStatusBit(usInserted) |
                      UpdateStatusBit(usDeleted));
    for (; !Q.Eof(); Q.Next())
      out += (out.empty() ? "" : " ") + Q.FieldByName("id")->GetAsString() + "=" +
             Q.FieldByName("name")->GetAsString() + ":" + "UMID"[Q.UpdateStatus()];
    Q.SetStatusFilter(saved);
    return out;
  }
};

QVL_SQL_LAYER_SUITE(ApplyReliability);

TEST_P(ApplyReliability, GeneratedSQLWritesWhatNothingElseWrote) {
  // An update object without DELETE and INSERT: those are generated, and the
  // object stays linked.
  auto q = Items();
  TQVLUpdateSQL upd;
  upd.GetModifySQL().SetText("UPDATE items SET name = upper(:name) WHERE id = :OLD_id");
  q->SetUpdateObject(&upd);
  Set(*q, 1, "uno");
  ASSERT_TRUE(q->Locate("id", 2, 0));
  q->Delete();
  q->Append();
  q->FieldByName("id")->SetAsInteger(4);
  q->FieldByName("name")->SetAsString("four");
  q->Post();
  q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=UNO/10 3=three/30 4=four/");
  EXPECT_EQ(Pending(*q), "");
  EXPECT_EQ(q->GetUpdateObject(), &upd);

  // Without cached updates and without an update object, each post is
  // written at once by generated SQL.
  TQVLTable table;
  table.SetSQLConnection(Conn.get());
  table.SetTableName("items");
  table.Open();
  ASSERT_TRUE(table.Locate("id", 1, 0));
  table.Edit();
  table.FieldByName("qty")->SetAsInteger(11);
  table.Post();
  table.Delete();
  EXPECT_EQ(Server(), "3=three/30 4=four/");
  // A record changed back to its old values sends nothing: its row is gone,
  // so a statement would fail the rows-affected check.
  table.SetCachedUpdates(true);
  ASSERT_TRUE(table.Locate("id", 3, 0));
  table.Edit();
  table.FieldByName("qty")->SetAsInteger(33);
  table.Post();
  table.Edit();
  table.FieldByName("qty")->SetAsInteger(30);
  table.Post();
  Exec("DELETE FROM items WHERE id = 3");
  table.ApplyUpdates();
  EXPECT_FALSE(table.GetUpdatesPending());
  EXPECT_EQ(Server(), "4=four/");
}

TEST_P(ApplyReliability, LostUpdatesAreReported) {
  // Two connections read the same rows. The first changes row 1 and deletes
  // row 2 and applies; the second's own changes of those rows find them
  // changed or gone.
  auto other = Db->NewConnection();
  auto first = Items(other.get());
  auto second = Items();
  // A SQLite query still being read keeps other connections from writing.
  first->Last();
  second->Last();
  Set(*first, 1, "first");
  ASSERT_TRUE(first->Locate("id", 2, 0));
  first->Delete();
  first->ApplyUpdates();
  for (int id : {1, 2}) {
    SCOPED_TRACE(id);
    second->CancelUpdates();
    Set(*second, id, "second");
    int errors = 0;
    second->SetOnUpdateError([&](TDataSet*, EDatabaseError& E, TUpdateKind Kind, TUpdateAction&) {
      ++errors;
      EXPECT_EQ(E.Message(), SRecordChanged);
      EXPECT_EQ(Kind, ukModify);
    });
    EXPECT_EQ(test::Error<EDatabaseError>([&] { second->ApplyUpdates(); }), SRecordChanged);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(Pending(*second), std::to_string(id) + "=second:M");
  }
  EXPECT_EQ(Server(), "1=first/10 3=three/30");
}

TEST_P(ApplyReliability, FaultsHalfwayLeaveEverythingAsBefore) {
  // On PostgreSQL the connection is terminated by the server at record 2 of
  // 3; on SQLite another connection holds the database locked, and then
  // lets it go.
  std::unique_ptr<TSQLConnection> applying;
  if (PG()) {
    applying = Db->NewConnection();
  } else {
    applying = std::make_unique<TSQLConnection>();
    applying->SetDriverName("SQLite");
    applying->Params().Add("Database=" + Db->File());
    applying->Params().Add("BusyTimeout=50");
  }
  auto q = Items(applying.get());
  q->Last();
  Set(*q, 1, "uno");
  Set(*q, 2, "dos");
  Set(*q, 3, "tres");
  std::string pid;
  if (PG()) {
    auto p = Query("SELECT pg_backend_pid() AS pid", applying.get());
    p->Open();
    pid = p->FieldByName("pid")->GetAsString();
  }
  q->SetOnUpdateRecord([&](TDataSet*, TUpdateKind, TUpdateAction&) {
    if (PG() && q->FieldByName("id")->GetAsInteger() == 2)
      Exec("SELECT pg_terminate_backend(" + pid + ")");
  });
  if (!PG()) Exec("BEGIN EXCLUSIVE");
  // The SQLSTATE and message of the error that ApplyUpdates raises.
  const auto state = [&] {
    try {
      q->ApplyUpdates();
    } catch (const ESQLDatabaseError& e) {
      return e.GetSQLState() + " " + e.Message();
    }
    return std::string("no error");
  };
  EXPECT_EQ(state(), PG() ? "08006 The connection to the server was lost: terminating connection "
                            "due to administrator command"
                          : "HY000 database is locked");
  if (!PG()) Exec("COMMIT");
  EXPECT_EQ(Server(), "1=one/10 2=two/20 3=three/30");
  EXPECT_EQ(Pending(*q), "1=uno:M 2=dos:M 3=tres:M");
  q->SetOnUpdateRecord(nullptr);
  ASSERT_TRUE(q->Locate("id", 2, 0));
  const TBookmark two = q->GetBookmark();
  if (PG()) {
    // Nothing goes to a lost session until the application connects again,
    // which keeps the dataset's records, bookmarks and pending updates.
    EXPECT_FALSE(applying->GetConnected());
    EXPECT_EQ(state(), std::string("08003 ") + SSessionLost);
    applying->SetConnected(true);
  }
  ASSERT_TRUE(q->GetActive());
  EXPECT_EQ(Pending(*q), "1=uno:M 2=dos:M 3=tres:M");
  q->GotoBookmark(two);
  EXPECT_EQ(q->FieldByName("name")->GetAsString(), "dos");
  q->ApplyUpdates();
  EXPECT_EQ(Server(), "1=uno/10 2=dos/20 3=tres/30");
  EXPECT_EQ(Pending(*q), "");
}

TEST_P(ApplyReliability, ApplyingWhileAQueryIsReadLazily) {
  auto rows = std::make_unique<TQVLQuery>();
  rows->SetSQLConnection(Conn.get());
  rows->SQL().SetText(
      "WITH RECURSIVE n(v) AS (SELECT 1 UNION ALL SELECT v + 1 FROM n WHERE v < 5000) SELECT v "
      "FROM n");
  rows->Open();
  for (int i = 0; i < 10; ++i) rows->Next();
  auto q = Items();
  Set(*q, 1, "uno");
  q->ApplyUpdates();
  q->SetCachedUpdates(false);
  Set(*q, 2, "dos");
  int count = 10;
  for (; !rows->Eof(); rows->Next()) ++count;
  EXPECT_EQ(count, 5000);
  EXPECT_EQ(Server(), "1=uno/10 2=dos/20 3=three/30");
}

TEST_P(ApplyReliability, FailuresAmidBatchesMeetEachErrorActionAndEveryRecordIsWrittenOnce) {
  // 1,000 records: the 3rd is refused by a trigger, the 500th breaks a
  // unique key, another user changed the last. On PostgreSQL they go in
  // batches, each failure amid records sent with it; SQLite sends them one
  // by one. Every row written is counted by a trigger, so a record written
  // twice (or undone and not written again) shows.
  struct Case {
    TUpdateAction Action;
    std::string Error;         // what ApplyUpdates raises
    std::vector<int> Calls;    // the records offered to OnUpdateError
    int Written;               // rows renamed on the server
    std::vector<int> Pending;  // left in the log
  };
  std::vector<int> every(1000);
  std::iota(every.begin(), every.end(), 1);
  const std::vector<int> failing{3, 500, 1000};
  const Case cases[] = {
      {uaFail, "blocked", {3}, 0, every},  {uaAbort, "abort", {3}, 0, every},
      {uaSkip, "", failing, 997, failing}, {uaApplied, "", failing, 997, {}},
      {uaRetry, "", failing, 1000, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Action));
    Exec("DROP TABLE IF EXISTS t");
    Exec("DROP TABLE IF EXISTS blocked");
    Exec("DROP TABLE IF EXISTS audit");
    Exec("CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(20), code VARCHAR(20) UNIQUE)");
    Exec("CREATE TABLE blocked (id INT)");
    Exec("CREATE TABLE audit (id INT)");
    Exec("INSERT INTO blocked VALUES (3)");
    if (PG()) {
      Exec("INSERT INTO t SELECT g, 'n' || g, 'c' || g FROM generate_series(1, 1000) g");
      Exec(
          "CREATE OR REPLACE FUNCTION t_block() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
          "IF EXISTS (SELECT FROM blocked WHERE id = NEW.id) THEN RAISE EXCEPTION 'blocked'; "
          "END IF; RETURN NEW; END $$;"
          "CREATE OR REPLACE FUNCTION t_audit() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
          "INSERT INTO audit VALUES (NEW.id); RETURN NEW; END $$;"
          "CREATE TRIGGER t_block BEFORE UPDATE ON t FOR EACH ROW EXECUTE FUNCTION t_block();"
          "CREATE TRIGGER t_audit AFTER UPDATE ON t FOR EACH ROW WHEN (NEW.name LIKE 'new%') "
          "EXECUTE FUNCTION t_audit()");
    } else {
      Exec(
          "INSERT INTO t WITH RECURSIVE g(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM g WHERE x < "
          "1000) SELECT x, 'n' || x, 'c' || x FROM g");
      Exec(
          "CREATE TRIGGER t_block BEFORE UPDATE ON t WHEN EXISTS (SELECT 1 FROM blocked WHERE id "
          "= NEW.id) BEGIN SELECT RAISE(ABORT, 'blocked'); END");
      Exec(
          "CREATE TRIGGER t_audit AFTER UPDATE ON t WHEN NEW.name LIKE 'new%' BEGIN INSERT INTO "
          "audit VALUES (NEW.id); END");
    }
    Exec("INSERT INTO t VALUES (1001, 'n1001', 'c500x')");
    TQVLQuery q;
    q.SetSQLConnection(Conn.get());
    q.SQL().SetText("SELECT id, name, code FROM t WHERE id <= 1000 ORDER BY id");
    q.SetCachedUpdates(true);
    q.SetUpdateMode(upWhereChanged);
    q.Open();
    for (; !q.Eof(); q.Next()) {
      q.Edit();
      q.FieldByName("name")->SetAsString("new" + q.FieldByName("id")->GetAsString());
      q.FieldByName("code")->SetAsString(q.FieldByName("code")->GetAsString() + "x");
      q.Post();
    }
    q.First();
    Db->NewConnection()->ExecuteDirect("UPDATE t SET name = 'other' WHERE id = 1000");
    std::vector<int> calls;
    q.SetOnUpdateError([&](TDataSet*, EDatabaseError&, TUpdateKind, TUpdateAction& Action) {
      const int id = q.FieldByName("id")->GetAsInteger();
      calls.push_back(id);
      Action = c.Action;
      if (c.Action != uaRetry) return;
      if (id == 3) Exec("DELETE FROM blocked");
      if (id == 500) Exec("UPDATE t SET code = 'free' WHERE id = 1001");
      if (id == 1000) Exec("UPDATE t SET name = 'n1000' WHERE id = 1000");
    });
    std::string error;
    try {
      q.ApplyUpdates();
    } catch (const EAbort&) {
      error = "abort";
    } catch (const EDatabaseError& E) {
      error = E.Message();
    }
    EXPECT_EQ(c.Error, error);
    EXPECT_EQ(c.Calls, calls);
    EXPECT_EQ(1, q.FieldByName("id")->GetAsInteger());  // where it stood
    auto server = Query(
        "SELECT (SELECT count(*) FROM t WHERE name LIKE 'new%') AS renamed, count(*) AS audited, "
        "count(DISTINCT id) AS ids FROM audit");
    server->Open();
    EXPECT_EQ(c.Written, server->FieldByName("renamed")->GetAsInteger());
    EXPECT_EQ(c.Written, server->FieldByName("audited")->GetAsInteger());
    EXPECT_EQ(c.Written, server->FieldByName("ids")->GetAsInteger());
    server.reset();
    std::string pending;
    for (int id : c.Pending)
      pending +=
          (pending.empty() ? "" : " ") + std::to_string(id) + "=new" + std::to_string(id) + ":M";
    EXPECT_EQ(pending, Pending(q));
  }
}

TEST_P(ApplyReliability, UnchangedValuesMatchThemselvesUnderWhereAll) {
  // Each row is read, one other column changed and written back with every
  // old value in the WHERE clause: a value that did not come back exactly
  // would make the row look changed by someone else.
  const std::string types =
      PG() ? "d DOUBLE PRECISION, r REAL, n NUMERIC(12,4), dt DATE, tm TIME, "
             "ts TIMESTAMP, c CHAR(5), s VARCHAR(10), b BYTEA"
           : "d DOUBLE, r REAL, n NUMERIC(12,4), dt DATE, tm TIME, ts TIMESTAMP, "
             "c CHAR(5), s VARCHAR(10), b BLOB";
  Exec("CREATE TABLE kinds (id INT PRIMARY KEY, tag INT, " + types + ")");
  const std::string blob = PG() ? "'\\x00ff'::bytea" : "x'00ff'";
  // SQLite keeps date and time text as it was given; here it is given in the
  // form the driver writes (a time of '13:45:30.25' reads, but is written
  // back as '13:45:30.250000' and no longer matches).
  const std::string time = PG() ? "'13:45:30.25'" : "'13:45:30.250000'";
  Exec("INSERT INTO kinds VALUES (1, 0, 0.1, 0.1, 12345678.1234, '2024-01-05', " + time +
       ", '2024-01-05 13:45:30.123456', 'ab', 'x  ', " + blob + ")");
  Exec(
      "INSERT INTO kinds VALUES (2, 0, 1e-300, 3.4e38, -0.0001, '0001-01-01', '00:00:00', "
      "'1999-12-31 23:59:59.999999', 'abcde', '', NULL)");
  Exec("INSERT INTO kinds (id, tag) VALUES (3, 0)");
  TQVLQuery q;
  q.SetSQLConnection(Conn.get());
  q.SQL().SetText("SELECT * FROM kinds ORDER BY id");
  q.SetCachedUpdates(true);
  q.Open();
  for (; !q.Eof(); q.Next()) {
    q.Edit();
    q.FieldByName("tag")->SetAsInteger(1);
    q.Post();
  }
  EXPECT_EQ(test::Error<EDatabaseError>([&] { q.ApplyUpdates(); }), "no error");
  auto check = Query("SELECT count(*) AS n FROM kinds WHERE tag = 1");
  check->Open();
  EXPECT_EQ(check->FieldByName("n")->GetAsInteger(), 3);
}

// Two users read the same rows; A changes a text, an unbounded varchar or a
// bytes column and applies. B's change of that column (where all, where
// changed) and B's delete (where all) then find the row changed: memo and
// blob fields take part in the WHERE clause, compared exactly, an empty
// value apart from null and a 1 MB value to its last byte.
TEST_P(ApplyReliability, ChangedTextsAndBytesAreNotOverwritten) {
  Exec(std::string("CREATE TABLE notes (id INT PRIMARY KEY, t TEXT, v VARCHAR, b ") +
       (PG() ? "BYTEA" : "BLOB") + ")");
  const std::string big = PG() ? "repeat('0', 1048576)" : "hex(zeroblob(524288))";
  const std::string bytes = PG() ? "'\\x00ff'::bytea" : "x'00ff'";
  auto other = Db->NewConnection();
  for (const std::string column : {"t", "v", "b"})
    for (TUpdateMode mode : {upWhereAll, upWhereChanged}) {
      SCOPED_TRACE(column + (mode == upWhereAll ? " where all" : " where changed"));
      Exec("DELETE FROM notes");
      Exec("INSERT INTO notes VALUES (1, '', " + big + ", " + bytes + "), (2, NULL, NULL, NULL)");
      auto open = [&](TSQLConnection* C) {
        auto q = std::make_unique<TQVLQuery>();
        q->SetSQLConnection(C);
        q->SQL().SetText("SELECT id, t, v, b FROM notes ORDER BY id");
        q->SetCachedUpdates(true);
        q->SetUpdateMode(mode);
        q->Open();
        q->Last();  // a SQLite query still being read keeps others from writing
        return q;
      };
      auto a = open(other.get()), b = open(Conn.get());
      EXPECT_EQ(b->FieldByName(column)->GetDataType(), column == "b" ? ftBlob : ftMemo);
      auto edit = [&](TQVLQuery& Q, int Id, const std::function<void(TField&)>& Change) {
        ASSERT_TRUE(Q.Locate("id", Id, 0));
        Q.Edit();
        Change(*Q.FieldByName(column));
        Q.Post();
      };
      // Row 1 changes slightly ('' to null, the last of 1 MB, a byte),
      // row 2 from null to empty.
      edit(*a, 1, [&](TField& F) {
        std::string value = F.GetAsString();
        if (column == "t") return F.Clear();
        value.back() = column == "v" ? '1' : '\xfe';
        F.SetAsString(value);
      });
      edit(*a, 2, [](TField& F) { F.SetAsString(""); });
      ASSERT_EQ(test::Error<EDatabaseError>([&] { a->ApplyUpdates(); }), "no error");

      edit(*b, 1, [](TField& F) { F.SetAsString("B"); });
      EXPECT_EQ(test::Error<EDatabaseError>([&] { b->ApplyUpdates(); }), SRecordChanged);
      b->CancelUpdates();
      if (mode == upWhereAll) {
        ASSERT_TRUE(b->Locate("id", 2, 0));
        b->Delete();
      } else {
        edit(*b, 2, [](TField& F) { F.SetAsString("B"); });
      }
      EXPECT_EQ(test::Error<EDatabaseError>([&] { b->ApplyUpdates(); }), SRecordChanged);
      auto server = open(Conn.get());
      for (int id : {1, 2}) {
        ASSERT_TRUE(server->Locate("id", id, 0) && a->Locate("id", id, 0));
        EXPECT_TRUE(server->FieldByName(column)->GetAsVariant() ==
                    a->FieldByName(column)->GetAsVariant())
            << "A's value stays in row " << id;
      }
    }
  if (!PG()) return;
  // Types without equality stay out of the WHERE clause.
  Exec("CREATE TABLE shapes (id INT PRIMARY KEY, j JSON, x XML, p POINT, n INT)");
  Exec("INSERT INTO shapes VALUES (1, '{}', '<a/>', '(1,2)', 0)");
  TQVLQuery q;
  q.SetSQLConnection(Conn.get());
  q.SQL().SetText("SELECT * FROM shapes");
  q.Open();
  for (const char* name : {"j", "x", "p"})
    EXPECT_EQ(q.FieldByName(name)->GetProviderFlags() & pfInWhere, 0) << name;
  q.Edit();
  q.FieldByName("n")->SetAsInteger(1);
  EXPECT_EQ(test::Error<EDatabaseError>([&] { q.Post(); }), "no error");
}

// Without the key one record's WHERE can match several rows. By default
// such a write fails and leaves every row as it was, in the apply's own
// transaction, in the application's and in none; the record stays pending
// or in its edit. uoAllowMultiRecordUpdates lets it through.
TEST_P(ApplyReliability, OneRecordChangesOneRowUnlessAllowed) {
  Exec("CREATE TABLE people (name VARCHAR(20), age INT)");
  const TQVLRecordUpdateOptions noTransaction =
      kQVLDefaultRecordUpdateOptions & ~uoUpdateInTransaction;
  const char* const read = "ann/30 ann/30 bob/40";
  struct Case {
    const char* Columns;
    bool Cached, ApplicationTransaction, Delete;
    TQVLRecordUpdateOptions Options;
    const char* Outcome;
    const char* Server;
  } cases[] = {
      {"name, age", true, false, false, kQVLDefaultRecordUpdateOptions, STooManyRecordsModified,
       read},
      {"name, age", true, false, true, kQVLDefaultRecordUpdateOptions, STooManyRecordsModified,
       read},
      {"name", true, false, false, kQVLDefaultRecordUpdateOptions, STooManyRecordsModified, read},
      {"name, age", true, true, true, kQVLDefaultRecordUpdateOptions, STooManyRecordsModified,
       read},
      {"name, age", false, false, false, kQVLDefaultRecordUpdateOptions, STooManyRecordsModified,
       read},
      {"name", false, true, false, kQVLDefaultRecordUpdateOptions, STooManyRecordsModified, read},
      {"name, age", false, false, true, noTransaction, STooManyRecordsModified, read},
      {"name", true, false, false, kQVLAllRecordUpdateOptions, "no error",
       "anne/30 anne/30 bob/40"},
      {"name, age", false, true, true, kQVLAllRecordUpdateOptions, "no error", "bob/40"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Columns) + (c.Cached ? " cached" : "") +
                 (c.ApplicationTransaction ? " in transaction" : "") +
                 (c.Delete ? " delete" : " edit") + " options " + std::to_string(c.Options));
    Exec("DELETE FROM people");
    Exec("INSERT INTO people VALUES ('ann', 30), ('ann', 30), ('bob', 40)");
    TQVLQuery q;
    q.SetSQLConnection(Conn.get());
    q.SQL().SetText(std::string("SELECT ") + c.Columns + " FROM people ORDER BY name");
    q.SetCachedUpdates(c.Cached);
    // The default cases rely on the dataset's own default.
    if (c.Options != kQVLDefaultRecordUpdateOptions) q.SetUpdateOptions(c.Options);
    q.Open();
    q.Last();
    q.First();
    if (c.ApplicationTransaction) Conn->StartTransaction();
    const std::string outcome = test::Error<EDatabaseError>([&] {
      if (c.Delete) {
        q.Delete();
      } else {
        q.Edit();
        q.FieldByName("name")->SetAsString("anne");
        q.Post();
      }
      if (c.Cached) q.ApplyUpdates();
    });
    EXPECT_EQ(outcome, c.Outcome);
    EXPECT_EQ(q.GetUpdatesPending(), c.Cached && outcome != "no error");
    EXPECT_EQ(q.GetState(), c.Cached || c.Delete || outcome == "no error" ? dsBrowse : dsEdit);
    q.Cancel();
    if (c.ApplicationTransaction) Conn->Commit();
    auto rows = Query("SELECT name, age FROM people ORDER BY name, age");
    std::string server;
    for (rows->Open(); !rows->Eof(); rows->Next())
      server += (server.empty() ? "" : " ") + rows->Fields()[0]->GetAsString() + "/" +
                rows->Fields()[1]->GetAsString();
    EXPECT_EQ(server, c.Server);
  }
}

}  // namespace
