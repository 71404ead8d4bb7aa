// Sessions that the server ends (a terminated backend, a restart, a failover
// to a promoted standby): errors say the connection was lost, and once the
// application connects again its datasets go on, each pending record
// written exactly once. Some tests run a server of their own, which they
// restart, stop and fail over (scripts/pg-test-standby).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qvl/components/QVLQuery.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/resources/QVLConsts.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;

namespace {

// The SQLSTATE and message of the error that Body raises.
std::string Outcome(const std::function<void()>& Body) {
  try {
    Body();
  } catch (const ESQLDatabaseError& E) {
    return E.GetSQLState() + " " + E.Message();
  } catch (const EDatabaseError& E) {
    return "no SQLSTATE " + E.Message();
  }
  return "no error";
}

std::string Rows(TSQLConnection& C, const std::string& SQL) {
  TSQLQuery q;
  q.SetSQLConnection(&C);
  q.SQL().SetText(SQL);
  std::string out;
  for (q.Open(); !q.Eof(); q.Next())
    out += (out.empty() ? "" : " ") + q.Fields().Items(0)->GetAsString();
  return out;
}

std::unique_ptr<TQVLQuery> Cached(TSQLConnection& C, const std::string& SQL) {
  auto q = std::make_unique<TQVLQuery>();
  q->SetSQLConnection(&C);
  q->SQL().SetText(SQL);
  q->SetCachedUpdates(true);
  q->Open();
  return q;
}

const std::string kTerminated =
    "The connection to the server was lost: terminating connection due to administrator command";

TEST(PostgreSQLLostSession, ReadingExecutingAndCommittingSayTheConnectionWasLost) {
  qvl::test::TestDatabase db("PostgreSQL");
  ASSERT_TRUE(db.Ready());
  auto admin = db.NewConnection();
  struct Case {
    const char* Name;
    std::function<void(TSQLConnection&, TQVLQuery&)> Before, Lost;
  };
  const Case cases[] = {
      {"reading", [](TSQLConnection&, TQVLQuery& Q) { Q.Open(); },
       [](TSQLConnection&, TQVLQuery& Q) { Q.Last(); }},
      {"executing", nullptr, [](TSQLConnection& C, TQVLQuery&) { C.ExecuteDirect("SELECT 1"); }},
      {"committing",
       [](TSQLConnection& C, TQVLQuery&) {
         C.StartTransaction();
         C.ExecuteDirect("CREATE TABLE w (a int)");
       },
       [](TSQLConnection& C, TQVLQuery&) { C.Commit(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto conn = db.NewConnection();
    const std::string pid = Rows(*conn, "SELECT pg_backend_pid()");
    TQVLQuery q;
    q.SetSQLConnection(conn.get());
    q.SQL().SetText("SELECT g AS n FROM generate_series(1, 100000) g");
    if (c.Before) c.Before(*conn, q);
    admin->ExecuteDirect("SELECT pg_terminate_backend(" + pid + ")");
    EXPECT_EQ("08006 " + kTerminated, Outcome([&] { c.Lost(*conn, q); }));
    EXPECT_FALSE(conn->GetConnected());
  }
}

// A server of the test's own, and a standby of it for failing over.
class PostgreSQLOwnServer : public ::testing::Test {
 protected:
  void SetUp() override {
    FPrimary = "/tmp/qvl-pg-own-" + std::to_string(::getpid());
    FStandby = FPrimary + "-s";
    Script("pg-test-cluster start " + FPrimary);
  }
  void TearDown() override {
    Script("pg-test-cluster stop " + FStandby);
    Script("pg-test-cluster stop " + FPrimary);
  }
  static void Script(const std::string& Args) {
    const std::string command =
        std::string(QVL_SOURCE_DIR) + "/scripts/" + Args + " >/dev/null 2>/tmp/qvl-pg-own.err";
    ASSERT_EQ(0, std::system(command.c_str())) << Args;
  }
  std::string ConnInfo(bool Both) const {
    return Both ? "host=" + FPrimary + "," + FStandby +
                      " port=5432,5432 dbname=qvl_test user=postgres "
                      "target_session_attrs=read-write"
                : "host=" + FPrimary + " port=5432 dbname=qvl_test user=postgres";
  }
  std::unique_ptr<TSQLConnection> Connect(bool Both = false, const std::string& Options = "") {
    auto c = std::make_unique<TSQLConnection>();
    c->SetDriverName("PostgreSQL");
    c->SetConnectionString(ConnInfo(Both));
    if (!Options.empty()) c->Params().Add("options=" + Options);
    c->Open();
    return c;
  }

  std::string FPrimary, FStandby;
};

TEST_F(PostgreSQLOwnServer, AfterARestartOrAFailoverTheDatasetsGoOnAndEachRecordIsWrittenOnce) {
  for (const bool failover : {false, true}) {
    SCOPED_TRACE(failover ? "failover" : "restart");
    auto admin = Connect();
    admin->ExecuteDirect(
        "DROP TABLE IF EXISTS items;"
        "CREATE TABLE items (id int PRIMARY KEY, name text);"
        "INSERT INTO items VALUES (1, 'one'), (2, 'two'), (3, 'three')");
    if (failover) Script("pg-test-standby start " + FPrimary + " " + FStandby);
    admin.reset();
    auto conn = Connect(failover);
    auto items = Cached(*conn, "SELECT id, name FROM items ORDER BY id");
    ASSERT_TRUE(items->Locate("id", 1, 0));
    items->Edit();
    items->FieldByName("name")->SetAsString("uno");
    items->Post();
    ASSERT_TRUE(items->Locate("id", 3, 0));
    items->Delete();
    items->Append();
    items->FieldByName("id")->SetAsInteger(4);
    items->FieldByName("name")->SetAsString("four");
    items->Post();
    ASSERT_TRUE(items->Locate("id", 2, 0));
    const TBookmark two = items->GetBookmark();
    auto lazy = Cached(*conn, "SELECT g AS n FROM generate_series(1, 5000) g");
    if (failover) {
      Script("pg-test-standby ctl " + FPrimary + " kill");
      Script("pg-test-standby ctl " + FStandby + " promote");
    } else {
      Script("pg-test-standby ctl " + FPrimary + " restart");
    }
    EXPECT_EQ(failover
                  ? "08006 The connection to the server was lost: server closed the connection "
                    "unexpectedly"
                  : "08006 " + kTerminated,
              Outcome([&] { items->ApplyUpdates(); }));
    EXPECT_FALSE(conn->GetConnected());
    conn->SetConnected(true);
    ASSERT_TRUE(items->GetActive());
    items->GotoBookmark(two);
    EXPECT_EQ("two", items->FieldByName("name")->GetAsString());
    // The lazy dataset's cursor went with the session; refreshed, it reads
    // on the new one.
    EXPECT_EQ("08003 " + std::string(SCursorSessionLost), Outcome([&] { lazy->Last(); }));
    lazy->Refresh();
    lazy->Last();
    EXPECT_EQ(5000, lazy->FieldByName("n")->GetAsInteger());
    items->ApplyUpdates();
    EXPECT_FALSE(items->GetUpdatesPending());
    EXPECT_EQ("1=uno 2=two 4=four",
              Rows(*conn, "SELECT string_agg(id || '=' || name, ' ' ORDER BY id) FROM items"));
    EXPECT_EQ("False", Rows(*conn, "SELECT pg_is_in_recovery()"));
  }
}

TEST_F(PostgreSQLOwnServer, ACommitWhoseAnswerWasLostIsLookedUpAfterConnectingAgain) {
  // Committed: the COMMIT waits for a synchronous standby that does not
  // exist, and the session is ended while it waits, the transaction
  // committed on the server. Rolled back: a deferred trigger ends its own
  // session at the first COMMIT, before the transaction commits.
  auto admin = Connect();
  admin->ExecuteDirect("ALTER SYSTEM SET synchronous_standby_names = 'nobody'");
  admin->ExecuteDirect("ALTER SYSTEM SET synchronous_commit = 'local'");
  Script("pg-test-standby ctl " + FPrimary + " restart");
  admin = Connect();
  admin->ExecuteDirect(
      "CREATE TABLE entries (name text);"
      "CREATE SEQUENCE once;"
      "CREATE FUNCTION end_session() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
      "IF nextval('once') = 1 THEN PERFORM pg_terminate_backend(pg_backend_pid()); END IF; "
      "RETURN NULL; END $$");
  struct Case {
    const char* Name;
    bool Committed;
    const char* Why;  // what libpq or the server said
  };
  // A session ended while it waits for a standby says nothing more.
  for (const Case c :
       {Case{"committed", true, "server closed the connection unexpectedly"},
        Case{"rolled back", false, "terminating connection due to administrator command"}}) {
    SCOPED_TRACE(c.Name);
    admin->ExecuteDirect("TRUNCATE entries");
    if (!c.Committed)
      admin->ExecuteDirect(
          "CREATE CONSTRAINT TRIGGER end_session AFTER INSERT ON entries DEFERRABLE INITIALLY "
          "DEFERRED FOR EACH ROW EXECUTE FUNCTION end_session()");
    auto conn = Connect(false, c.Committed ? "-c synchronous_commit=on" : "");
    auto entries = Cached(*conn, "SELECT name FROM entries");
    for (const char* name : {"a", "b"}) {
      entries->Append();
      entries->FieldByName("name")->SetAsString(name);
      entries->Post();
    }
    std::thread killer;
    if (c.Committed)
      killer = std::thread([info = ConnInfo(false)] {
        PGconn* k = PQconnectdb(info.c_str());
        PQclear(PQexec(k,
                       "DO $$ BEGIN FOR i IN 1..1000 LOOP PERFORM pg_stat_clear_snapshot(); "
                       "PERFORM pg_terminate_backend(pid) FROM pg_stat_activity "
                       "WHERE wait_event = 'SyncRep'; EXIT WHEN FOUND; PERFORM pg_sleep(0.01); "
                       "END LOOP; END $$"));
        PQfinish(k);
      });
    const std::string lost = Outcome([&] { entries->ApplyUpdates(); });
    if (killer.joinable()) killer.join();
    EXPECT_EQ("08007 " + Format(SCommitInDoubt, {c.Why}), lost);
    EXPECT_EQ(
        c.Committed ? "a b" : "",
        Rows(*admin, "SELECT coalesce(string_agg(name, ' ' ORDER BY name), '') FROM entries"));
    EXPECT_TRUE(entries->GetUpdatesPending());
    // Asking needs the session back.
    EXPECT_EQ("08003 " + std::string(SSessionLost), Outcome([&] { entries->ApplyUpdates(); }));
    // Nor can a record whose write is in doubt change meanwhile.
    entries->First();
    for (const auto& change :
         std::vector<std::function<void()>>{[&] { entries->Edit(); }, [&] { entries->Delete(); }})
      EXPECT_EQ("no SQLSTATE " + std::string(SRecordInDoubt), Outcome(change));
    conn->SetConnected(true);
    // A record written again would wait for the standby for ever.
    conn->ExecuteDirect("SET synchronous_commit = local");
    entries->ApplyUpdates();
    EXPECT_FALSE(entries->GetUpdatesPending());
    EXPECT_EQ("a b", Rows(*admin,
                          "SELECT coalesce(string_agg(name, ' ' ORDER BY name), '') FROM entries"));
  }
}

}  // namespace
