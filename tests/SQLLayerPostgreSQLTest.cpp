// What only PostgreSQL has: marker rewriting around its quoting forms,
// functions and procedures, server cursors across transactions, time zones.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "qvl/components/QVLQuery.h"
#include "qvl/host/dataset/DataLink.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/drivers/PostgreSQLDriver.h"
#include "qvl/host/drivers/PostgreSQLTypes.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;

namespace {

class PostgreSQLSession : public ::testing::Test {
 protected:
  void SetUp() override {
    Db = std::make_unique<qvl::test::TestDatabase>("PostgreSQL");
    ASSERT_TRUE(Db->Ready());
    Conn = Db->NewConnection();
  }
  void TearDown() override {
    Conn.reset();
    Db.reset();
  }

  std::unique_ptr<TSQLQuery> Query(const std::string& SQL) {
    auto q = std::make_unique<TSQLQuery>();
    q->SetSQLConnection(Conn.get());
    q->SQL().SetText(SQL);
    return q;
  }

  // Reads the rest of an open query's "n" column; the number of rows read.
  static int ReadOn(TSQLQuery& Q, int From) {
    int expected = From;
    for (; !Q.Eof(); Q.Next()) {
      EXPECT_EQ(expected, Q.FieldByName("n")->GetAsInteger());
      ++expected;
    }
    return expected - From;
  }

  std::unique_ptr<qvl::test::TestDatabase> Db;
  std::unique_ptr<TSQLConnection> Conn;
};

using PostgreSQLMarkers = PostgreSQLSession;
using PostgreSQLStoredProc = PostgreSQLSession;
using PostgreSQLTransactions = PostgreSQLSession;
using PostgreSQLSessionSettings = PostgreSQLSession;

TEST(PostgreSQLMarkerText, QuestionMarksOutsideQuotesAndCommentsOnly) {
  int count = -1;
  EXPECT_EQ(
      "SELECT '?', E'\\'?', 'it''s ?', \"?x\", $$?$$, $t$ ? $t$, $1 -- ?\n"
      "/* ? /* ? */ ? */ $2, a ? b, $1, x$y",
      RewritePostgreSQLMarkers("SELECT '?', E'\\'?', 'it''s ?', \"?x\", $$?$$, $t$ ? $t$, ? -- ?\n"
                               "/* ? /* ? */ ? */ ?, a ?? b, $1, x$y",
                               count));
  EXPECT_EQ(2, count);
  EXPECT_EQ("?", RewritePostgreSQLMarkers("??", count));
  EXPECT_EQ(0, count);
  EXPECT_EQ("'unclosed ?", RewritePostgreSQLMarkers("'unclosed ?", count));
  EXPECT_EQ(0, count);
  // The server ends a -- comment at a lone CR as at LF.
  EXPECT_EQ("'is it?' -- x\r$1 -- y\n$2",
            RewritePostgreSQLMarkers("'is it?' -- x\r? -- y\n?", count));
  EXPECT_EQ(2, count);
}

TEST_F(PostgreSQLMarkers, ACommentEndsAtALoneCarriageReturn) {
  Conn->ExecuteDirect("CREATE TABLE m (a int, b text)");
  TParams p;
  p.CreateParam(ftInteger, "a", ptInput)->SetAsInteger(1);
  p.CreateParam(ftInteger, "c", ptInput)->SetAsInteger(2);
  EXPECT_EQ(2, Conn->Execute("INSERT INTO m VALUES (?, 'is it?') -- x\r, (?, 'y')", &p));
  auto q = Query("SELECT :a AS a -- x\r, :b AS b");
  ASSERT_EQ(2, q->Params().Count());
  q->Params().Items(0)->SetAsInteger(1);
  q->Params().Items(1)->SetAsInteger(2);
  q->Open();
  EXPECT_EQ(2, q->FieldByName("b")->GetAsInteger());
}

TEST_F(PostgreSQLMarkers, TheServerSeesOnlyTheRealParameters) {
  auto q = Query(
      "SELECT '?' AS a, E'\\'?' AS b, $$?$$ AS c, ?::int + 1 AS d /* ? */, "
      "'{\"k\": 1}'::jsonb ?? 'k' AS e -- ?");
  ASSERT_EQ(1, q->Params().Count());
  q->Params().Items(0)->SetAsInteger(41);
  q->Open();
  EXPECT_EQ("?", q->FieldByName("a")->GetAsString());
  EXPECT_EQ("'?", q->FieldByName("b")->GetAsString());
  EXPECT_EQ("?", q->FieldByName("c")->GetAsString());
  EXPECT_EQ(42, q->FieldByName("d")->GetAsInteger());
  EXPECT_TRUE(q->FieldByName("e")->GetAsBoolean());
}

TEST_F(PostgreSQLStoredProc, FunctionsAndProceduresByName) {
  Conn->ExecuteDirect(
      "CREATE FUNCTION add_one(x int) RETURNS int LANGUAGE sql AS $$ SELECT x + 1 $$;"
      "CREATE FUNCTION split_name(IN full_name text, OUT first text, OUT last text) "
      "LANGUAGE sql AS $$ SELECT split_part(full_name, ' ', 1), split_part(full_name, ' ', 2) $$;"
      "CREATE FUNCTION numbers(upto int) RETURNS TABLE (n int) LANGUAGE sql AS "
      "$$ SELECT generate_series(1, upto) $$;"
      "CREATE TABLE calls (v int);"
      "CREATE PROCEDURE bump(INOUT x int) LANGUAGE plpgsql AS $$ BEGIN x := x * 2; END $$;"
      "CREATE PROCEDURE record_call(v int) LANGUAGE sql AS $$ INSERT INTO calls VALUES (v) $$;");

  TSQLStoredProc proc;
  proc.SetSQLConnection(Conn.get());
  proc.SetStoredProcName("add_one");
  proc.Params().CreateParam(ftInteger, "x", ptInput)->SetAsInteger(41);
  proc.Params().CreateParam(ftInteger, "add_one", ptResult);
  proc.ExecProc();
  EXPECT_EQ(42, proc.Params().ParamByName("add_one")->AsInteger());

  proc.SetStoredProcName("split_name");
  proc.Params().Clear();
  proc.Params().CreateParam(ftString, "full_name", ptInput)->SetAsString("Ada Lovelace");
  proc.Params().CreateParam(ftString, "last", ptOutput);
  proc.Params().CreateParam(ftString, "first", ptOutput);
  proc.ExecProc();
  EXPECT_EQ("Ada", proc.Params().ParamByName("first")->AsString());
  EXPECT_EQ("Lovelace", proc.Params().ParamByName("last")->AsString());

  proc.SetStoredProcName("numbers");
  proc.Params().Clear();
  proc.Params().CreateParam(ftInteger, "upto", ptInput)->SetAsInteger(3);
  proc.Open();
  int sum = 0;
  for (; !proc.Eof(); proc.Next()) sum += proc.FieldByName("n")->GetAsInteger();
  EXPECT_EQ(6, sum);
  proc.Close();

  proc.SetStoredProcName("bump");
  proc.Params().Clear();
  proc.Params().CreateParam(ftInteger, "x", ptInputOutput)->SetAsInteger(21);
  proc.ExecProc();
  EXPECT_EQ(42, proc.Params().ParamByName("x")->AsInteger());

  proc.SetStoredProcName("record_call");
  proc.Params().Clear();
  proc.Params().CreateParam(ftInteger, "v", ptInput)->SetAsInteger(7);
  proc.ExecProc();
  auto q = Query("SELECT v FROM calls");
  q->Open();
  EXPECT_EQ(7, q->FieldByName("v")->GetAsInteger());

  proc.SetStoredProcName("no_such_function");
  proc.Params().Clear();
  try {
    proc.ExecProc();
    ADD_FAILURE() << "called a missing function";
  } catch (const ESQLDatabaseError& E) {
    EXPECT_EQ("function no_such_function() does not exist", E.Message());
    EXPECT_EQ("42883", E.GetSQLState());
  }
}

TEST_F(PostgreSQLTransactions, ACursorOpenedBeforeATransactionOutlivesItsRollback) {
  auto q = Query("SELECT g AS n FROM generate_series(1, 1000) g");
  q->Open();
  for (int i = 0; i < 5; ++i) q->Next();
  Conn->StartTransaction();
  Conn->ExecuteDirect("CREATE TABLE scratch (x int)");
  Conn->Rollback();
  EXPECT_EQ(995, ReadOn(*q, 6));
}

TEST_F(PostgreSQLTransactions, ACursorOpenedInATransactionOutlivesItsCommit) {
  Conn->StartTransaction();
  auto q = Query("SELECT g AS n FROM generate_series(1, 1000) g");
  q->Open();
  for (int i = 0; i < 5; ++i) q->Next();
  Conn->Commit();
  EXPECT_EQ(995, ReadOn(*q, 6));
}

TEST_F(PostgreSQLTransactions, TheRollbackOfItsTransactionEndsACursorWithAClearError) {
  for (bool applicationText : {false, true}) {
    if (applicationText)
      Conn->ExecuteDirect("BEGIN");
    else
      Conn->StartTransaction();
    auto q = Query("SELECT g AS n FROM generate_series(1, 1000) g");
    q->Open();
    if (applicationText)
      Conn->ExecuteDirect("ROLLBACK");
    else
      Conn->Rollback();
    int read = 0;
    try {
      for (; !q->Eof(); q->Next()) ++read;
      ADD_FAILURE() << "read past a rolled back cursor";
    } catch (const EDatabaseError& E) {
      EXPECT_EQ(SCursorRolledBack, E.Message());
    }
    EXPECT_GT(read, 0);  // the rows already fetched are still there
    EXPECT_LT(read, 1000);
    q->Close();
    EXPECT_EQ(0, Conn->ExecuteDirect("SELECT 1"));
  }
}

TEST_F(PostgreSQLTransactions, FailingStatementsLeaveAnOpenCursorReading) {
  auto q = Query("SELECT g AS n FROM generate_series(1, 2000) g");
  q->Open();
  auto bad = Query("SELEC 1");
  EXPECT_THROW(bad->Open(), ESQLDatabaseError);
  auto badValue = Query("SELECT g FROM generate_series(1, 3) g WHERE g > ?");
  badValue->Params().Items(0)->SetAsString("three");
  try {
    badValue->Open();
    ADD_FAILURE() << "opened";
  } catch (const ESQLDatabaseError& E) {
    EXPECT_EQ("invalid input syntax for type integer: \"three\"", E.Message());
    EXPECT_EQ("22P02", E.GetSQLState());
  }
  EXPECT_EQ(2000, ReadOn(*q, 1));
}

TEST_F(PostgreSQLTransactions, StatementsThatACursorCannotHoldKeepTheirRows) {
  Conn->ExecuteDirect("CREATE TABLE t (id serial PRIMARY KEY, v int)");
  auto q = Query("INSERT INTO t (v) SELECT g FROM generate_series(1, 3) g RETURNING id AS n");
  q->Open();
  EXPECT_EQ(3, ReadOn(*q, 1));
  q->SQL().SetText("SELECT id AS n FROM t ORDER BY id FOR UPDATE");
  Conn->StartTransaction();
  q->Open();
  EXPECT_EQ(3, ReadOn(*q, 1));
  Conn->Commit();
  auto id = Query("SELECT id, v FROM t");
  id->Open();
  EXPECT_FALSE(id->FieldByName("id")->GetRequired());  // the sequence fills it
  EXPECT_FALSE(id->FieldByName("id")->GetReadOnly());
  // A data-modifying WITH, refused by the cursor inside a transaction,
  // leaves that transaction working.
  Conn->StartTransaction();
  q->SQL().SetText(
      "WITH w AS (UPDATE t SET v = v + 1 RETURNING id) SELECT id AS n FROM w ORDER BY 1");
  q->Open();
  EXPECT_EQ(3, ReadOn(*q, 1));
  Conn->Commit();
}

TEST_F(PostgreSQLTransactions, WordsInAQueryDoNotMakeItReadInFull) {
  // Read in full, these rows would take the server a long while; held in a
  // cursor, the first one comes at once and the cursor stays open.
  auto q = Query(
      "SELECT x AS n, x AS share, x AS \"update\", 'into' AS \"into\", 'delete' AS merge "
      "FROM generate_series(1, 300000) x");
  q->Open();
  EXPECT_EQ(1, q->FieldByName("n")->GetAsInteger());
  auto cursors = Query("SELECT count(*) AS c FROM pg_catalog.pg_cursors WHERE name LIKE 'qvl%'");
  cursors->Open();
  EXPECT_EQ(2, cursors->FieldByName("c")->GetAsInteger());  // q's and this query's own
  q->Next();
  EXPECT_EQ(2, q->FieldByName("share")->GetAsInteger());
}

TEST_F(PostgreSQLTransactions, StatementsBesideAPartlyReadQueryNeitherWaitForNorEndIt) {
  Conn->ExecuteDirect(
      "CREATE TABLE w (v int);"
      "CREATE FUNCTION put(x int) RETURNS int LANGUAGE sql AS "
      "$$ INSERT INTO w VALUES (x) RETURNING x $$");
  auto other = Db->NewConnection();
  // The query's last row takes a lock that the other session sees: whether
  // the server has computed the rest of the query.
  auto computed = [&] {
    auto q = std::make_unique<TSQLQuery>();
    q->SetSQLConnection(other.get());
    q->SQL().SetText(
        "SELECT count(*) AS n FROM pg_catalog.pg_locks WHERE locktype = 'advisory' AND objid = "
        "4242");
    q->Open();
    return q->FieldByName("n")->GetAsInteger() == 1;
  };
  TParams one, zero;
  one.CreateParam(ftInteger, "x", ptInput)->SetAsInteger(1);
  zero.CreateParam(ftInteger, "x", ptInput)->SetAsInteger(0);
  struct Case {
    const char* Name;
    std::function<std::string()> Run;
    bool Computes;  // whether the rest of the query is computed at once
  };
  const Case cases[] = {
      {"execute", [&] { return std::to_string(Conn->Execute("SELECT ?::int", &one)); }, false},
      {"direct", [&] { return std::to_string(Conn->ExecuteDirect("SELECT 1;  -- x")); }, false},
      {"query",
       [&] {
         auto q = Query("SELECT 2 AS n");
         q->Open();
         return q->FieldByName("n")->GetAsString();
       },
       false},
      {"failing execute",
       [&] { return test::MessageOf([&] { Conn->Execute("SELECT 1 / ?", &zero); }); }, false},
      {"failing direct",
       [&] { return test::MessageOf([&] { Conn->ExecuteDirect("SELECT 1 / 0"); }); }, false},
      {"failing query",
       [&] {
         auto q = Query("SELECT 10 / (3 - g) AS n FROM generate_series(1, 5) g");
         q->Open();
         return test::MessageOf([&] {
           while (!q->Eof()) q->Next();
         });
       },
       false},
      {"query that writes", [&] { return std::to_string(Conn->Execute("SELECT put(?)", &one)); },
       true},
      {"write", [&] { return std::to_string(Conn->Execute("INSERT INTO w VALUES (?)", &one)); },
       true},
  };
  const char* results[] = {
      "0", "0", "2", "division by zero", "division by zero", "division by zero", "0", "1"};
  int index = 0;
  for (const Case& c : cases) {
    auto q = Query(
        "SELECT g AS n FROM generate_series(1, 100000) g WHERE g < 100000 OR "
        "pg_try_advisory_lock(4242)");
    q->Open();
    for (int i = 0; i < 4; ++i) q->Next();
    EXPECT_EQ(results[index++], c.Run()) << c.Name;
    EXPECT_EQ(c.Computes, computed()) << c.Name;
    EXPECT_EQ(99996, ReadOn(*q, 5)) << c.Name;
    EXPECT_TRUE(computed());
    Conn->ExecuteDirect("SELECT pg_advisory_unlock_all()");
  }
  // What wrote is there for the other sessions at once.
  EXPECT_EQ(2, other->ExecuteDirect("DELETE FROM w"));
  // A query that wrote, whose commit fails with the rest of a cursor, fails.
  auto failing =
      Query("SELECT g AS n FROM generate_series(1, 100000) g WHERE g < 100000 OR 1 / (g - g) = 1");
  failing->Open();
  EXPECT_EQ(
      "The statement's changes were rolled back with the reading transaction, whose commit "
      "failed: division by zero",
      test::MessageOf([&] { Conn->Execute("SELECT put(?)", &one); }));
  EXPECT_EQ(0, other->ExecuteDirect("DELETE FROM w"));
  failing->Close();
  // In the application's transaction a failure aborts it, as PostgreSQL
  // users expect; a cursor opened before it reads on.
  auto q = Query("SELECT g AS n FROM generate_series(1, 3000) g");
  q->Open();
  Conn->StartTransaction();
  EXPECT_EQ("division by zero", test::MessageOf([&] { Conn->Execute("SELECT 1 / ?", &zero); }));
  EXPECT_EQ("current transaction is aborted, commands ignored until end of transaction block",
            test::MessageOf([&] { Conn->Execute("SELECT ?::int", &one); }));
  Conn->Rollback();
  EXPECT_EQ(3000, ReadOn(*q, 1));
}

TEST_F(PostgreSQLTransactions, AQueryThatWritesCommitsAtOnce) {
  Conn->ExecuteDirect(
      "CREATE TABLE journal (id serial PRIMARY KEY, note text);"
      "CREATE FUNCTION add_journal(n text) RETURNS int LANGUAGE sql AS "
      "$$ INSERT INTO journal (note) VALUES (n) RETURNING id $$");
  auto pid = Query("SELECT pg_backend_pid() AS pid");
  pid->Open();
  const std::string ourPid = pid->FieldByName("pid")->GetAsString();
  auto other = Db->NewConnection();
  auto journal = [&] {  // as another session sees it
    auto q = Query("SELECT string_agg(note, ',' ORDER BY id) AS notes FROM journal");
    q->SetSQLConnection(other.get());
    q->Open();
    return q->FieldByName("notes")->GetAsString();
  };
  auto open = [&](const std::string& SQL) {
    auto q = std::make_unique<TQVLQuery>();
    q->SetSQLConnection(Conn.get());
    q->SQL().SetText(SQL);
    q->Open();
    return q;
  };
  auto a = open("SELECT add_journal('a') AS id");
  EXPECT_EQ("a", journal());
  auto later = open(
      "SELECT CASE WHEN g = 3 THEN add_journal('later') END AS id "
      "FROM generate_series(1, 100) g");
  later->Next();  // the second FETCH writes
  EXPECT_EQ("a,later", journal());
  // Beside a cursor whose rest fails, the writes do not go down with it.
  auto failing = open("SELECT 1 / (50 - g) AS n FROM generate_series(1, 100) g");
  auto b = open("SELECT add_journal('b') AS id");
  EXPECT_EQ("a,later,b", journal());
  try {
    for (; !failing->Eof(); failing->Next()) {
    }
    ADD_FAILURE() << "read past division by zero";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(std::string(SCursorLost) + ": division by zero", E.Message());
  }
  // The table takes DDL at once, and the rows outlive the session.
  other->ExecuteDirect("SET lock_timeout = '2s'; ALTER TABLE journal ADD COLUMN extra int");
  other->ExecuteDirect("SELECT pg_terminate_backend(" + ourPid + ")");
  EXPECT_EQ("a,later,b", journal());
}

TEST_F(PostgreSQLTransactions, TheConnectionNamesAStateThatTheSessionContradicts) {
  auto* pg = static_cast<TPostgreSQLConnection*>(&Conn->Driver());
  auto q = Query("SELECT g AS n FROM generate_series(1, 100) g");
  q->Open();
  EXPECT_EQ("", pg->InvariantFault());
  // The reading transaction ends behind the driver's back.
  PQclear(PQexec(pg->Handle(), "COMMIT"));
  EXPECT_EQ("the reading transaction is open but the session is idle", pg->InvariantFault());
  PQclear(PQexec(pg->Handle(), "BEGIN"));
  EXPECT_EQ("", pg->InvariantFault());
  EXPECT_EQ(100, ReadOn(*q, 1));
  EXPECT_EQ("", pg->InvariantFault());
}

TEST_F(PostgreSQLTransactions, BatchesFollowTheWidthOfRows) {
  Conn->ExecuteDirect(
      "CREATE TABLE wide AS SELECT g AS n, convert_to(repeat('x', 3000000), 'UTF8') AS b "
      "FROM generate_series(1, 4) g");
  auto* pg = static_cast<TPostgreSQLConnection*>(&Conn->Driver());
  struct Case {
    const char* SQL;
    std::vector<int> Fetches;  // rows asked for at Open and at each row after
  };
  const Case cases[] = {
      {"SELECT n, b FROM wide ORDER BY n", {1, 1, 1, 1}},
      {"SELECT g AS n, '' AS b FROM generate_series(1, 40) g", {1, 16, 16, 16}},
  };
  for (const Case& c : cases) {
    auto q = Query(c.SQL);
    q->Open();
    std::vector<int> fetches{pg->LastFetchRows()};
    for (std::size_t row = 1; row < c.Fetches.size(); ++row) {
      q->Next();
      fetches.push_back(pg->LastFetchRows());
    }
    EXPECT_EQ(c.Fetches, fetches) << c.SQL;
    EXPECT_EQ(static_cast<int>(c.Fetches.size()), q->FieldByName("n")->GetAsInteger());
  }
}

TEST_F(PostgreSQLTransactions, TheFirstFetchBringsWhatTheViewsShow) {
  auto* pg = static_cast<TPostgreSQLConnection*>(&Conn->Driver());
  struct Case {
    int View;  // rows a view shows; 0: no view
    bool UniDirectional, OnDemand;
    int Asked;
  };
  const Case cases[] = {
      {30, false, true, 30}, {0, false, true, 1}, {30, true, true, 1}, {30, false, false, 1024}};
  for (const Case& c : cases) {
    TQVLQuery q;
    q.SetSQLConnection(Conn.get());
    q.SQL().SetText("SELECT g AS n FROM generate_series(1, 100) g");
    q.SetUniDirectional(c.UniDirectional);
    q.SetFetchOnDemand(c.OnDemand);
    TDataLink view;
    view.SetBufferCount(c.View);
    if (c.View > 0) view.SetDataSet(&q);
    q.Open();
    EXPECT_EQ(c.Asked, pg->LastFetchRows()) << c.View << c.UniDirectional << c.OnDemand;
    view.SetDataSet(nullptr);
  }
}

TEST_F(PostgreSQLSessionSettings, StatementsTakeUpTo65535Parameters) {
  Conn->ExecuteDirect("CREATE TABLE mp (n bigint, s bigint)");
  for (int count : {7499, 20000, 65535, 65536}) {
    std::string markers, names;
    TParams params;
    for (int i = 1; i <= count; ++i) {
      markers += i == 1 ? "?" : ", ?";
      names += (i == 1 ? ":p" : ", :p") + std::to_string(i);
      params.CreateParam(ftInteger, "p" + std::to_string(i), ptInput)->SetAsInteger(i);
    }
    auto from = [](const std::string& List) {
      return " FROM unnest(ARRAY[" + List + "]::int[]) x";
    };
    const std::int64_t prepared = Conn->Driver().PrepareCount();
    const std::string inserted = test::MessageOf([&] {
      EXPECT_EQ(1,
                Conn->Execute("INSERT INTO mp SELECT count(*), sum(x)" + from(markers), &params));
    });
    auto q = Query("SELECT count(*) AS n, sum(x) AS s, min(x) AS m" + from(names));
    ASSERT_EQ(count, q->Params().Count());
    for (int i = 0; i < count; ++i) q->Params().Items(i)->SetAsInteger(i + 1);
    const std::string read = test::MessageOf([&] {
      q->Open();
      EXPECT_EQ(count, q->FieldByName("n")->GetAsLargeInt());
      EXPECT_EQ(std::int64_t{count} * (count + 1) / 2, q->FieldByName("s")->GetAsLargeInt());
      EXPECT_EQ(ftInteger, q->FieldByName("m")->GetDataType());
    });
    if (count <= 65535) {
      EXPECT_EQ("no error", inserted) << count;
      EXPECT_EQ("no error", read) << count;
      continue;
    }
    const std::string refused =
        "The statement has 65536 parameter markers; PostgreSQL takes at most 65535";
    EXPECT_EQ(refused, inserted);
    EXPECT_EQ(refused, read);
    EXPECT_EQ(prepared, Conn->Driver().PrepareCount());  // nothing went to the server
  }
  auto q = Query("SELECT count(*) AS n FROM mp");
  q->Open();
  EXPECT_EQ(3, q->FieldByName("n")->GetAsInteger());
}

TEST_F(PostgreSQLSessionSettings, TimestampsWithAZoneReadAndWriteAsUTC) {
  Conn->ExecuteDirect("CREATE TABLE tz (t timestamptz); SET TIME ZONE 'Asia/Kolkata'");
  const TDateTime noon = EncodeDateTime(2024, 1, 1, 12, 0, 0);
  TParams p;
  p.CreateParam(ftTimeStamp, "t", ptInput)->SetAsDateTime(noon);
  Conn->Execute("INSERT INTO tz VALUES (?)", &p);
  auto q = Query("SELECT t, t = '2024-01-01 12:00:00+00' AS same FROM tz");
  q->Open();
  EXPECT_EQ(noon, q->FieldByName("t")->GetAsDateTime());
  EXPECT_TRUE(q->FieldByName("same")->GetAsBoolean());
}

TEST_F(PostgreSQLSessionSettings, FloatsReadExactlyWhateverExtraFloatDigits) {
  Conn->ExecuteDirect(
      "CREATE TABLE fl (id int, f8 float8, f4 real, t text, d double precision);"
      "INSERT INTO fl VALUES (1, 0.1::float8 + 0.2, 1.2345678, 'x', '-Infinity')");
  struct Case {
    const char* Setting;
    const char* Option;
  };
  const Case cases[] = {{"SET extra_float_digits = 0", ""},
                        {"SET extra_float_digits = -15", ""},
                        {"SELECT 1", " -c extra_float_digits=0"},
                        {"SELECT 1", ""}};
  for (const Case& c : cases) {
    TSQLConnection connection;
    connection.SetDriverName("PostgreSQL");
    connection.SetConnectionString(test::PostgreSQLConnInfo());
    if (!test::PostgreSQLPooling().empty()) {
      // Behind a transaction pooler nothing goes in the options.
      if (*c.Option != '\0') continue;
      connection.Params().Add("Pooling=" + test::PostgreSQLPooling());
      connection.Params().Add("User_Name=" + Db->Schema());
    } else {
      connection.Params().Add("options=-c search_path=" + Db->Schema() + c.Option);
    }
    connection.Open();
    connection.ExecuteDirect(c.Setting);
    // A cursor read alone, one read beside it (guarded), a result read
    // whole.
    std::vector<std::unique_ptr<TSQLQuery>> open;
    for (const char* sql : {"SELECT id, f8, f4, t, d FROM fl", "SELECT id, f8, f4, t, d FROM fl",
                            "UPDATE fl SET t = t RETURNING id, f8, f4, t, d"}) {
      auto q = std::make_unique<TSQLQuery>();
      q->SetSQLConnection(&connection);
      q->SQL().SetText(sql);
      q->Open();
      EXPECT_EQ(0.1 + 0.2, q->FieldByName("f8")->GetAsFloat()) << c.Setting << c.Option;
      EXPECT_EQ(1.2345678, q->FieldByName("f4")->GetAsFloat()) << c.Setting << c.Option;
      EXPECT_EQ(-std::numeric_limits<double>::infinity(), q->FieldByName("d")->GetAsFloat());
      EXPECT_EQ("x", q->FieldByName("t")->GetAsString());
      EXPECT_EQ(1, q->FieldByName("id")->GetAsInteger());
      open.push_back(std::move(q));
    }
  }
  // The other types of such a result read as their text does.
  Conn->ExecuteDirect(
      "CREATE TABLE other (f real, n numeric, d date, ts timestamp, tz timestamptz, tm time, u "
      "uuid);"
      "INSERT INTO other VALUES (1, -12345678901234567890.000123, '0044-03-15 BC', "
      "'2024-02-29 13:14:15.25', '1999-12-31 23:59:59.999999+05:30', '23:59:59.999999', "
      "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'), (2, 0.00001, '2000-01-01', '0001-01-01 00:00 BC', "
      "'1970-01-01 00:00:00+00', '00:00', '00000000-0000-0000-0000-000000000000'), "
      "(3, 100000000, '9999-12-31', '1900-02-28 01:02:03', '2038-01-19 03:14:08+00', '12:00:00.5', "
      "'ffffffff-ffff-ffff-ffff-ffffffffffff')");
  auto binary = Query("SELECT f, n, d, ts, tz, tm, u FROM other ORDER BY f");
  auto text = Query("SELECT n, d, ts, tz, tm, u FROM other ORDER BY f");
  binary->Open();
  text->Open();
  int rows = 0;
  for (; !text->Eof(); text->Next(), binary->Next(), ++rows)
    for (const char* column : {"n", "d", "ts", "tz", "tm", "u"})
      EXPECT_EQ(text->FieldByName(column)->GetAsString(),
                binary->FieldByName(column)->GetAsString())
          << column << " of row " << rows + 1;
  EXPECT_EQ(3, rows);
  EXPECT_TRUE(binary->Eof());
}

TEST_F(PostgreSQLSessionSettings, ParametersThatTheServerCouldNotHoldRaise) {
  Conn->ExecuteDirect("CREATE TABLE p (d date, s text, b bytea)");
  TParams p;
  p.CreateParam(ftDateTime, "d", ptInput)->SetAsDateTime(TDateTime{1, 1});
  try {
    Conn->Execute("INSERT INTO p (d) VALUES (?)", &p);
    ADD_FAILURE() << "a time of day went into a date";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Parameter 1: 1970-01-02 00:00:00.000001 has a time of day, which a date cannot hold",
              E.Message());
  }
  p.Clear();
  p.CreateParam(ftString, "s", ptInput)->SetAsString(std::string("a\0b", 3));
  try {
    Conn->Execute("INSERT INTO p (s) VALUES (?)", &p);
    ADD_FAILURE() << "text cut at a zero byte";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Parameter 1: text with a zero byte cannot be sent to PostgreSQL", E.Message());
  }
  p.Clear();
  p.CreateParam(ftBlob, "b", ptInput)->SetAsBlob({0, 'a', 0});
  EXPECT_EQ(1, Conn->Execute("INSERT INTO p (b) VALUES (?)", &p));
  auto q = Query("SELECT length(b) AS n FROM p");
  q->Open();
  EXPECT_EQ(3, q->FieldByName("n")->GetAsInteger());
}

TEST_F(PostgreSQLSessionSettings, StatementsThatTheSessionForgotArePreparedAgain) {
  Conn->ExecuteDirect("CREATE TABLE f (n int)");
  TParams p;
  p.CreateParam(ftInteger, "n", ptInput)->SetAsInteger(1);
  auto q = Query("SELECT n FROM f WHERE n >= :n");
  q->Params().Items(0)->SetAsInteger(0);
  for (const char* forget : {"DEALLOCATE ALL", "DISCARD ALL", "DISCARD ALL"}) {
    EXPECT_EQ(1, Conn->Execute("INSERT INTO f VALUES (?)", &p)) << forget;
    q->Open();
    q->Close();
    q->SetPrepared(true);
    Conn->ExecuteDirect(forget);
    EXPECT_EQ(1, Conn->Execute("INSERT INTO f VALUES (?)", &p)) << forget;
    q->Open();
    EXPECT_EQ(1, q->FieldByName("n")->GetAsInteger()) << forget;
    q->Close();
  }
  // Inside a transaction the statement that met the forgotten plan fails
  // with it, and the next one after the rollback works.
  Conn->ExecuteDirect("DISCARD ALL");
  Conn->StartTransaction();
  EXPECT_EQ("26000", [&] {
    try {
      Conn->Execute("INSERT INTO f VALUES (?)", &p);
    } catch (const ESQLDatabaseError& E) {
      return E.GetSQLState();
    }
    return std::string("no error");
  }());
  Conn->Rollback();
  EXPECT_EQ(1, Conn->Execute("INSERT INTO f VALUES (?)", &p));
}

TEST_F(PostgreSQLSessionSettings, ALostSessionIsReportedOnceAndOpenConnectsAgain) {
  auto pid = Query("SELECT pg_backend_pid() AS p");
  pid->Open();
  const std::string victim = pid->FieldByName("p")->GetAsString();
  pid->Close();
  Conn->StartTransaction();
  auto other = Db->NewConnection();
  other->ExecuteDirect("SELECT pg_terminate_backend(" + victim + ")");
  try {
    Conn->Driver().ExecuteDirect("SELECT 1");
    ADD_FAILURE() << "the lost session answered";
  } catch (const ESQLDatabaseError& E) {
    EXPECT_EQ("08006", E.GetSQLState());
    EXPECT_EQ(
        "The connection to the server was lost: terminating connection due to administrator "
        "command",
        E.Message());
  }
  EXPECT_FALSE(Conn->GetConnected());
  EXPECT_FALSE(Conn->InTransaction());
  EXPECT_EQ(SSessionLost, qvl::test::MessageOf([&] { Conn->Driver().ExecuteDirect("SELECT 1"); }));
  Conn->Open();
  EXPECT_TRUE(Conn->GetConnected());
  EXPECT_EQ(0, Conn->ExecuteDirect("SELECT 1"));
  // Connecting waits a bounded time unless the application says otherwise.
  auto* pg = static_cast<TPostgreSQLConnection*>(&Conn->Driver());
  std::string timeout;
  PQconninfoOption* options = PQconninfo(pg->Handle());
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
    if (std::string(o->keyword) == "connect_timeout" && o->val != nullptr) timeout = o->val;
  PQconninfoFree(options);
  EXPECT_EQ(TPostgreSQLConnection::kDefaultConnectTimeout, timeout);
}

TEST_F(PostgreSQLSessionSettings, AServerThatNeverAnswersDoesNotHangOpen) {
  // A socket that listens and never accepts: the kernel completes the
  // handshake, nobody speaks.
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(s, 4));
  socklen_t length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  TSQLConnection c;
  c.SetDriverName("PostgreSQL");
  c.SetConnectionString("host=127.0.0.1 port=" + std::to_string(ntohs(address.sin_port)) +
                        " connect_timeout=2 dbname=x user=x");
  const auto start = std::chrono::steady_clock::now();
  try {
    c.Open();
    ADD_FAILURE() << "connected to nobody";
  } catch (const ESQLDatabaseError& E) {
    EXPECT_EQ("08001", E.GetSQLState()) << E.Message();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ::close(s);
}

TEST_F(PostgreSQLSessionSettings, AStatementRunDirectlyIsPreparedAgainAfterItsTableChanged) {
  Conn->ExecuteDirect("CREATE TABLE r (id serial PRIMARY KEY, v int)");
  auto q = Query("INSERT INTO r (v) VALUES (7) RETURNING v");
  q->Open();
  EXPECT_EQ(ftInteger, q->FieldByName("v")->GetDataType());
  q->Close();
  Conn->ExecuteDirect("ALTER TABLE r ALTER COLUMN v TYPE bigint");
  const std::int64_t prepared = Conn->Driver().PrepareCount();
  q->Open();  // the server refuses the cached plan; the driver prepares anew
  EXPECT_EQ(prepared + 1, Conn->Driver().PrepareCount());
  EXPECT_EQ(ftLargeint, q->FieldByName("v")->GetDataType());
  EXPECT_EQ(7, q->FieldByName("v")->GetAsLargeInt());
}

TEST_F(PostgreSQLSessionSettings, ConnectionFailuresSayWhy) {
  auto attempt = [](const std::string& ConnectionString, const std::string& Extra) {
    TSQLConnection c;
    c.SetDriverName("PostgreSQL");
    c.SetConnectionString(ConnectionString);
    if (!Extra.empty()) c.Params().Add(Extra);
    try {
      c.Open();
    } catch (const ESQLDatabaseError& E) {
      EXPECT_EQ("08001", E.GetSQLState());
      return E.Message();
    }
    return std::string("connected");
  };
  EXPECT_EQ("missing \"=\" after \"nonsense\" in connection info string", attempt("nonsense", ""));
  EXPECT_EQ("invalid connection option \"colour\"",
            attempt(qvl::test::PostgreSQLConnInfo(), "Colour=blue"));
  EXPECT_EQ(0u, attempt("host=/nonexistent port=5432 dbname=x", "")
                    .find("connection to server on socket \"/nonexistent/.s.PGSQL.5432\" failed"));
  EXPECT_EQ("connected", attempt(qvl::test::PostgreSQLConnInfo(), "application_name=qvl_tests"));
}

TEST_F(PostgreSQLSessionSettings, AServersRefusalKeepsItsSQLState) {
  struct Case {
    const char* Setting;
    const char* State;
    const char* Message;
  };
  const Case cases[] = {
      {"Database=qvl_no_such_db", "3D000", "database \"qvl_no_such_db\" does not exist"},
      {"User_Name=qvl_nobody", "28000", "role \"qvl_nobody\" does not exist"}};
  for (const Case& c : cases) {
    TSQLConnection connection;
    connection.SetDriverName("PostgreSQL");
    connection.SetConnectionString(qvl::test::PostgreSQLConnInfo());
    connection.Params().Add(c.Setting);
    try {
      connection.Open();
      ADD_FAILURE() << c.Setting;
    } catch (const ESQLDatabaseError& E) {
      EXPECT_EQ(c.State, E.GetSQLState()) << c.Setting;
      EXPECT_EQ(c.Message, E.Message()) << c.Setting;
    }
  }
}

}  // namespace

namespace {

// A connection to the test's schema with Extra parameters, as the run goes
// (directly, or through a transaction pooler with a role of the test's own).
std::unique_ptr<TSQLConnection> Connect(const qvl::test::TestDatabase& Db,
                                        const std::vector<std::string>& Extra,
                                        const std::string& ServerOptions = "") {
  auto c = std::make_unique<TSQLConnection>();
  c->SetDriverName("PostgreSQL");
  c->SetConnectionString(qvl::test::PostgreSQLConnInfo());
  if (qvl::test::PostgreSQLPooling().empty()) {
    c->Params().Add("options=-c search_path=" + Db.Schema() + ServerOptions);
  } else {
    c->Params().Add("Pooling=" + qvl::test::PostgreSQLPooling());
    c->Params().Add("User_Name=" + Db.Schema());
  }
  for (const std::string& e : Extra) c->Params().Add(e);
  c->Open();
  return c;
}

}  // namespace

TEST_F(PostgreSQLSessionSettings, PoolingAndIdleParametersAreChecked) {
  struct Case {
    std::vector<std::string> Params;
    const char* Error;
  };
  const Case cases[] = {
      {{"Pooling=Statement"}, "Invalid value 'Statement' of connection parameter 'Pooling'"},
      {{"IdleReadMs=-1"}, "Invalid value '-1' of connection parameter 'IdleReadMs'"},
      {{"Pooling=Transaction", "options=-c search_path=x"},
       "The options parameter cannot pass a transaction pooler: set '-c search_path=x' for the "
       "role or database (ALTER ROLE ... SET) instead"},
  };
  for (const Case& c : cases) {
    TSQLConnection connection;
    connection.SetDriverName("PostgreSQL");
    connection.SetConnectionString(qvl::test::PostgreSQLConnInfo());
    for (const std::string& p : c.Params) connection.Params().Add(p);
    EXPECT_EQ(c.Error, qvl::test::MessageOf([&] { connection.Open(); })) << c.Params[0];
  }
}

// Through a transaction pooler each transaction may run on another server
// session: nothing the driver left in one (a prepared statement, a cursor)
// may be needed in the next.
TEST_F(PostgreSQLTransactions, ClientsTakeTurnsOnTheServerSessions) {
  Conn->ExecuteDirect("CREATE TABLE tally (k int, n int)");
  std::vector<std::unique_ptr<TSQLConnection>> clients;
  std::vector<std::unique_ptr<TSQLQuery>> queries;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(Connect(*Db, {}));
    auto q = std::make_unique<TSQLQuery>();
    q->SetSQLConnection(clients.back().get());
    q->SQL().SetText("SELECT g AS n FROM generate_series(1, :K) g");
    queries.push_back(std::move(q));
  }
  for (int round = 0; round < 20; ++round) {
    // Each client opens its query, reads part of it, and the next writes
    // and reads beside it; then each reads on in turn.
    for (std::size_t i = 0; i < queries.size(); ++i) {
      TSQLQuery& q = *queries[i];
      q.Params().ParamByName("K")->SetAsInteger(50 + round);
      q.Open();
      q.Next();
      clients[i]->ExecuteDirect("INSERT INTO tally VALUES (" + std::to_string(round) + ", " +
                                std::to_string(i) + ")");
    }
    for (auto& q : queries) {
      EXPECT_EQ(49 + round, ReadOn(*q, 2));
      q->Close();
    }
  }
  auto count = Query("SELECT count(*) AS n FROM tally");
  count->Open();
  EXPECT_EQ(60, count->FieldByName("n")->GetAsInteger());
}

// A partly read query left alone lets go of the server: another session's
// ALTER TABLE does not wait for it, a server that ends idle transactions
// does not end its session, and it reads on exactly the rows it would have.
TEST_F(PostgreSQLTransactions, APartlyReadQueryLetsGoOfTheServerWhenIdle) {
  Conn->ExecuteDirect(
      "CREATE TABLE big AS SELECT g AS n, g * 2 AS v FROM generate_series(1, 100000) g");
  const bool pooled = !qvl::test::PostgreSQLPooling().empty();
  if (pooled)
    Conn->ExecuteDirect("ALTER ROLE " + Db->Schema() +
                        " SET idle_in_transaction_session_timeout = '1s'");
  struct Case {
    const char* Name;
    std::vector<std::string> Params;
    std::string ServerOptions;
    int IdleMs;
    const char* Alter;
  };
  const Case cases[] = {
      {"short idle limit", {"IdleReadMs=200"}, "", 600, "ALTER TABLE big ADD COLUMN w int"},
      {"server ends idle transactions",
       {},
       pooled ? "" : " -c idle_in_transaction_session_timeout=1s",
       5000,
       nullptr},
  };
  for (const Case& c : cases) {
    auto reader = Connect(*Db, c.Params, c.ServerOptions);
    TSQLQuery q;
    q.SetSQLConnection(reader.get());
    q.SQL().SetText("SELECT n, v FROM big ORDER BY n");
    q.Open();
    ASSERT_EQ(1, q.FieldByName("n")->GetAsInteger()) << c.Name;
    std::this_thread::sleep_for(std::chrono::milliseconds(c.IdleMs));
    if (c.Alter != nullptr) {
      auto other = Connect(*Db, {});
      EXPECT_EQ("no error", qvl::test::MessageOf([&] {
                  other->ExecuteDirect(std::string("SET lock_timeout = '2s'; ") + c.Alter);
                }))
          << c.Name;
    }
    int rows = 0;
    std::int64_t sum = 0;
    for (q.First(); !q.Eof(); q.Next()) {
      ++rows;
      if (q.FieldByName("v")->GetAsLargeInt() != 2 * q.FieldByName("n")->GetAsLargeInt() ||
          q.FieldByName("n")->GetAsInteger() != rows)
        break;
      sum += q.FieldByName("v")->GetAsLargeInt();
    }
    EXPECT_EQ(100000, rows) << c.Name;
    EXPECT_EQ(std::int64_t{100000} * 100001, sum) << c.Name;
    EXPECT_TRUE(reader->GetConnected()) << c.Name;
  }
}
