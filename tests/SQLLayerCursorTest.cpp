// Reading through the server cursor: lazily, restartably, and without
// holding up the other statements of the connection.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>

#include "qvl/host/dataset/Field.h"
#include "qvl/host/drivers/SQLiteDriver.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;
using qvl::test::SQLLayerTest;

namespace {

// The SQL dataset's own row source, called the way caching descendants do.
class RowSource : public TSQLQuery {
 public:
  using TSQLQuery::TSQLQuery;
  bool Fetch() { return TCustomSQLDataSet::GetRecord(nullptr, gmNext, false) == grOK; }
  // The current row's integer column, read in its native width.
  std::int64_t Int(int FieldNo) {
    std::uint8_t buffer[8] = {};
    EXPECT_TRUE(TCustomSQLDataSet::GetFieldData(FieldNo, buffer));
    switch (FieldByNumber(FieldNo)->GetDataType()) {
      case ftSmallint:
        return Read<std::int16_t>(buffer);
      case ftInteger:
        return Read<std::int32_t>(buffer);
      case ftLargeint:
        return Read<std::int64_t>(buffer);
      default:
        ADD_FAILURE() << "not an integer field";
        return 0;
    }
  }
  template <class T>
  static std::int64_t Read(const std::uint8_t* Buffer) {
    T v;
    std::memcpy(&v, Buffer, sizeof v);
    return v;
  }
  void Restart() {
    FreeCursor();
    ExecuteStatement();
  }
};

class CursorTest : public SQLLayerTest {
 protected:
  std::unique_ptr<RowSource> Source(const std::string& SQL) {
    auto q = std::make_unique<RowSource>();
    q->SetSQLConnection(Conn.get());
    q->SQL().SetText(SQL);
    return q;
  }

  // A numbers table 1..N with a second column of ten times the number.
  void Numbers(const std::string& Table, int N) {
    Exec("CREATE TABLE " + Table + " (id INTEGER PRIMARY KEY, v INTEGER)");
    if (PG())
      Exec("INSERT INTO " + Table + " SELECT g, g * 10 FROM generate_series(1, " +
           std::to_string(N) + ") g");
    else
      Exec("INSERT INTO " + Table +
           " WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
           "WHERE x < " +
           std::to_string(N) + ") SELECT x, x * 10 FROM c");
  }

  std::int64_t Count(TSQLConnection& C, const std::string& Table) {
    auto q = Query("SELECT count(*) AS n FROM " + Table, &C);
    q->Open();
    return q->FieldByName("n")->GetAsLargeInt();
  }
};

TEST_P(CursorTest, AnEndlessResultIsReadOnlyAsFarAsTheCursorMoves) {
  // Reading this result to its end would never finish.
  auto q =
      Source("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT x FROM c");
  q->Open();
  EXPECT_EQ(1, q->Int(1));
  for (int expected = 2; expected <= 1000; ++expected) {
    ASSERT_TRUE(q->Fetch());
    ASSERT_EQ(expected, q->Int(1));
  }
  q->Restart();
  ASSERT_TRUE(q->Fetch());
  EXPECT_EQ(1, q->Int(1));
  ASSERT_TRUE(q->Fetch());
  EXPECT_EQ(2, q->Int(1));
  q->Close();
}

TEST_P(CursorTest, RowsAreComputedOnlyAsTheyAreFetched) {
  // The server-side work per row is visible from outside the result.
  long long computed = 0;
  std::function<long long()> counter;
  std::unique_ptr<TSQLConnection> observer;
  std::string sql;
  if (PG()) {
    Exec("CREATE SEQUENCE ticks");
    observer = Db->NewConnection();
    counter = [&] {
      auto q = Query("SELECT CASE WHEN is_called THEN last_value ELSE 0 END AS n FROM ticks",
                     observer.get());
      q->Open();
      return q->FieldByName("n")->GetAsLargeInt();
    };
    sql = "SELECT nextval('ticks') AS n FROM generate_series(1, 1000000)";
  } else {
    auto& sqlite = dynamic_cast<TSQLiteConnection&>(Conn->Driver());
    sqlite3_create_function(
        sqlite.Handle(), "tick", 0, SQLITE_UTF8, &computed,
        [](sqlite3_context* Context, int, sqlite3_value**) {
          auto* n = static_cast<long long*>(sqlite3_user_data(Context));
          sqlite3_result_int64(Context, ++*n);
        },
        nullptr, nullptr);
    counter = [&] { return computed; };
    sql =
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 1000000) "
        "SELECT tick() AS n FROM c";
  }
  auto q = Source(sql);
  q->Open();
  EXPECT_EQ(1, q->Int(1));
  const long long afterFirst = counter();
  EXPECT_GE(afterFirst, 1);
  EXPECT_LE(afterFirst, 64);  // one small batch at most
  for (int i = 2; i <= 500; ++i) ASSERT_TRUE(q->Fetch());
  EXPECT_EQ(500, q->Int(1));
  const long long after500 = counter();
  EXPECT_GE(after500, 500);
  EXPECT_LE(after500, 1200);  // batches grow, but stay near what was read
  q->Close();
}

TEST_P(CursorTest, ExecuteStatementStartsAgainFromTheFirstRow) {
  Numbers("nums", 100);
  auto q = Source("SELECT id, v FROM nums WHERE id > ? ORDER BY id");
  q->Params().Items(0)->SetAsInteger(90);
  q->Open();
  EXPECT_EQ(91, q->Int(1));
  EXPECT_EQ(910, q->Int(2));
  int rows = 1;
  while (q->Fetch()) ++rows;
  EXPECT_EQ(10, rows);
  EXPECT_TRUE(q->GetEndOfData());
  EXPECT_FALSE(q->Fetch());  // stays at the end

  // A new run of the same prepared statement, with another parameter value.
  q->Params().Items(0)->SetAsInteger(97);
  q->Restart();
  EXPECT_TRUE(q->GetEndOfData());  // the flag tells of the last fetch
  ASSERT_TRUE(q->Fetch());
  EXPECT_FALSE(q->GetEndOfData());
  EXPECT_EQ(98, q->Int(1));
  ASSERT_TRUE(q->Fetch());
  ASSERT_TRUE(q->Fetch());
  EXPECT_EQ(100, q->Int(1));
  EXPECT_FALSE(q->Fetch());
}

TEST_P(CursorTest, FreeCursorReleasesTheServerCursorButKeepsTheFields) {
  Numbers("nums", 10);
  auto q = Source("SELECT id FROM nums ORDER BY id");
  q->Open();
  EXPECT_TRUE(q->IsCursorOpen());
  q->FreeCursor();
  EXPECT_FALSE(q->IsCursorOpen());
  EXPECT_EQ(1, q->Fields().Count());
  EXPECT_FALSE(q->Fetch());
  TBlobByteData bytes;
  EXPECT_EQ(0, q->GetBlobFieldData(1, bytes));
  q->ExecuteStatement();
  ASSERT_TRUE(q->Fetch());
  EXPECT_EQ(1, q->Int(1));
}

TEST_P(CursorTest, StatementsRunWhileACursorIsPartlyRead) {
  Numbers("nums", 5000);
  Exec("CREATE TABLE log (id INTEGER)");
  auto reader = Source("SELECT id, v FROM nums ORDER BY id");
  reader->Open();
  for (int i = 2; i <= 10; ++i) ASSERT_TRUE(reader->Fetch());
  EXPECT_EQ(10, reader->Int(1));

  auto other = Db->NewConnection();
  TParams params;
  params.CreateParam(ftInteger, "id", ptInput)->SetAsInteger(1);
  EXPECT_EQ(1, reader->PSExecuteStatement("INSERT INTO log VALUES (?)", &params));
  EXPECT_EQ(1, Count(*other, "log"));  // committed at once, not held back by the reader

  reader->PSStartTransaction();
  EXPECT_TRUE(reader->PSInTransaction());
  params.Items(0)->SetAsInteger(2);
  reader->PSExecuteStatement("INSERT INTO log VALUES (?)", &params);
  reader->PSEndTransaction(false);
  EXPECT_FALSE(reader->PSInTransaction());

  reader->PSStartTransaction();
  params.Items(0)->SetAsInteger(3);
  reader->PSExecuteStatement("INSERT INTO log VALUES (?)", &params);
  ASSERT_TRUE(reader->Fetch());  // reading goes on inside the transaction
  EXPECT_EQ(11, reader->Int(1));
  reader->PSEndTransaction(true);
  EXPECT_EQ(2, Count(*other, "log"));

  int expected = 11;
  while (reader->Fetch()) {
    ++expected;
    ASSERT_EQ(expected, reader->Int(1));
    ASSERT_EQ(expected * 10, reader->Int(2));
  }
  EXPECT_EQ(5000, expected);
}

TEST_P(CursorTest, TwoCursorsOnOneConnectionReadIndependently) {
  Numbers("nums", 300);
  auto a = Source("SELECT id FROM nums ORDER BY id");
  auto b = Source("SELECT id FROM nums ORDER BY id DESC");
  a->Open();
  b->Open();
  for (int i = 1; i <= 300; ++i) {
    ASSERT_EQ(i, a->Int(1));
    ASSERT_EQ(301 - i, b->Int(1));
    ASSERT_EQ(i < 300, a->Fetch());
    ASSERT_EQ(i < 300, b->Fetch());
  }
}

TEST_P(CursorTest, OnItsOwnTheDataSetIsForwardOnlyAndReadOnly) {
  Numbers("nums", 3);
  auto q = Query("SELECT id FROM nums ORDER BY id");
  q->Open();
  EXPECT_TRUE(q->GetUniDirectional());
  EXPECT_FALSE(q->GetCanModify());
  std::vector<std::int64_t> seen;
  for (; !q->Eof(); q->Next()) seen.push_back(q->FieldByName("id")->GetAsLargeInt());
  EXPECT_EQ((std::vector<std::int64_t>{1, 2, 3}), seen);
  try {
    q->Last();
    ADD_FAILURE() << "Last on a unidirectional dataset";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Operation not allowed on a unidirectional dataset", E.Message());
  }
  try {
    q->Edit();
    ADD_FAILURE() << "Edit on a read-only dataset";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Cannot modify a read-only dataset", E.Message());
  }
  q->First();  // runs the statement again
  EXPECT_EQ(1, q->FieldByName("id")->GetAsLargeInt());
  q->Next();
  EXPECT_EQ(2, q->FieldByName("id")->GetAsLargeInt());
}

TEST_P(CursorTest, AnErrorWhileReadingLeavesTheConnectionUsable) {
  Numbers("nums", 100);
  auto q = Source(PG() ? "SELECT 100 / (id - 40) AS r FROM nums ORDER BY id"
                       : "SELECT CASE WHEN id = 40 THEN abs(-9223372036854775807 - 1) ELSE id END "
                         "AS r FROM nums ORDER BY id");
  q->Open();
  int rows = 1;
  try {
    while (q->Fetch()) ++rows;
    ADD_FAILURE() << "no error";
  } catch (const ESQLDatabaseError& E) {
    EXPECT_EQ(PG() ? "division by zero" : "integer overflow", E.Message());
    EXPECT_EQ(PG() ? "22012" : "HY000", E.GetSQLState());
  }
  if (PG())
    EXPECT_LE(rows, 39);  // a failing batch fails as a whole
  else
    EXPECT_EQ(39, rows);
  q->Close();
  EXPECT_EQ(1, Exec("UPDATE nums SET v = 0 WHERE id = 1"));
  EXPECT_EQ(100, Count(*Conn, "nums"));
}

TEST_P(CursorTest, ACachedStatementFollowsAChangedTable) {
  Exec("CREATE TABLE shape (id INTEGER PRIMARY KEY, v INTEGER)");
  Exec("INSERT INTO shape VALUES (1, 10)");
  auto q = Source("SELECT v FROM shape");
  q->Open();
  EXPECT_EQ(PG() ? ftInteger : ftLargeint, q->FieldByName("v")->GetDataType());
  q->Close();
  // The same text again comes from the statement cache, prepared before the change.
  Exec(PG() ? "ALTER TABLE shape ALTER COLUMN v TYPE text"
            : "ALTER TABLE shape RENAME TO old_shape; CREATE TABLE shape (v TEXT); "
              "INSERT INTO shape VALUES ('ten')");
  if (PG()) Exec("UPDATE shape SET v = 'ten'");
  q->Open();
  EXPECT_EQ(ftMemo, q->FieldByName("v")->GetDataType());
  EXPECT_EQ("ten", q->FieldByName("v")->GetAsString());

  // An open dataset's fields cannot follow: running it again says so.
  q->FreeCursor();  // SQLite drops no table that a statement reads
  Exec(PG() ? "ALTER TABLE shape ALTER COLUMN v TYPE int USING 10"
            : "DROP TABLE shape; CREATE TABLE shape (v INTEGER); INSERT INTO shape VALUES (10)");
  try {
    q->ExecuteStatement();
    ADD_FAILURE() << "ran with fields of another type";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(std::string("Type mismatch for field 'v', expecting: Memo actual: ") +
                  (PG() ? "Integer" : "Largeint"),
              E.Message());
  }
}

QVL_SQL_LAYER_SUITE(CursorTest);

}  // namespace
