// What update machinery relies on: transactions, statements with "?"
// parameters and their row counts, field metadata of real tables, table
// names and quoting, and database errors with their codes.
#include <gtest/gtest.h>

#include "qvl/host/dataset/Field.h"
#include "qvl/host/drivers/SQLiteDriver.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;
using qvl::test::SQLLayerTest;

namespace {

class ProviderTest : public SQLLayerTest {
 protected:
  void SetUp() override {
    SQLLayerTest::SetUp();
    if (HasFatalFailure()) return;
    Exec(
        "CREATE TABLE items (region VARCHAR(10) NOT NULL, num INTEGER NOT NULL, note TEXT, "
        "qty INTEGER, price DECIMAL(10,2), total DECIMAL(12,2) GENERATED ALWAYS AS (qty * price)" +
        std::string(PG() ? " STORED" : "") +
        ", stamp INTEGER NOT NULL DEFAULT 0, "
        "PRIMARY KEY (region, num))");
  }

  std::int64_t Count(const std::string& Where = "1 = 1") {
    auto q = Query("SELECT count(*) AS n FROM items WHERE " + Where);
    q->Open();
    return q->FieldByName("n")->GetAsLargeInt();
  }

  // The parameters of kInsert.
  static TParams& Row(TParams& P, const std::string& Region, int Num, const Variant& Qty) {
    P.Clear();
    P.CreateParam(ftString, "region", ptInput)->SetAsString(Region);
    P.CreateParam(ftInteger, "num", ptInput)->SetAsInteger(Num);
    P.CreateParam(ftInteger, "qty", ptInput)->SetValue(Qty);
    return P;
  }

  static constexpr const char* kInsert = "INSERT INTO items (region, num, qty) VALUES (?, ?, ?)";
};

TEST_P(ProviderTest, TransactionsCommitAndRollBack) {
  auto ds = Query("SELECT * FROM items");
  EXPECT_FALSE(ds->PSInTransaction());
  ds->PSStartTransaction();
  EXPECT_TRUE(ds->PSInTransaction());
  EXPECT_TRUE(Conn->InTransaction());
  TParams p;
  Row(p, "north", 1, 5);
  EXPECT_EQ(1, ds->PSExecuteStatement(kInsert, &p));
  ds->PSEndTransaction(false);
  EXPECT_FALSE(ds->PSInTransaction());
  EXPECT_EQ(0, Count());

  ds->PSStartTransaction();
  EXPECT_EQ(1, ds->PSExecuteStatement(kInsert, &p));
  Row(p, "north", 2, Variant::Null());
  EXPECT_EQ(1, ds->PSExecuteStatement(kInsert, &p));
  ds->PSEndTransaction(true);
  EXPECT_EQ(2, Count());
  EXPECT_EQ(1, Count("qty IS NULL"));
}

TEST_P(ProviderTest, TransactionMisuseRaisesClearly) {
  Conn->StartTransaction();
  try {
    Conn->StartTransaction();
    ADD_FAILURE() << "nested start";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("A transaction is already active", E.Message());
  }
  Conn->Commit();
  try {
    Conn->Rollback();
    ADD_FAILURE() << "rollback outside a transaction";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("No transaction is active", E.Message());
  }
}

TEST_P(ProviderTest, StatementsReportTheRowsTheyAffected) {
  auto ds = Query("SELECT * FROM items");
  for (int i = 1; i <= 12; ++i) {
    TParams p;
    Row(p, i % 2 ? "east" : "west", i, i);
    ASSERT_EQ(1, ds->PSExecuteStatement(kInsert, &p));
  }
  TParams p;
  p.CreateParam(ftString, "region", ptInput)->SetAsString("east");
  EXPECT_EQ(6, ds->PSExecuteStatement("UPDATE items SET qty = qty + 1 WHERE region = ?", &p));
  p.Items(0)->SetAsString("nowhere");
  EXPECT_EQ(0, ds->PSExecuteStatement("UPDATE items SET qty = 0 WHERE region = ?", &p));
  p.Items(0)->SetAsString("west");
  EXPECT_EQ(6, ds->PSExecuteStatement("DELETE FROM items WHERE region = ?", &p));
  EXPECT_EQ(0, Exec("CREATE TABLE empty_one (x INTEGER)"));
  EXPECT_EQ(6, Exec("UPDATE items SET note = 'x'"));
  EXPECT_EQ(2, Exec("UPDATE items SET note = 'y' WHERE num < 5; DELETE FROM items WHERE num > 7"));

  auto q = Query("SELECT * FROM items WHERE num > :low");
  q->Params().ParamByName("low")->SetAsInteger(0);
  EXPECT_EQ(0, q->ExecSQL());  // a query changes nothing
  q->SQL().SetText("UPDATE items SET qty = :qty WHERE num < :num");
  q->Params().ParamByName("qty")->SetAsInteger(100);
  q->Params().ParamByName("num")->SetAsInteger(4);
  EXPECT_EQ(2, q->ExecSQL());
  EXPECT_EQ(2, Count("qty = 100"));
}

TEST_P(ProviderTest, ParametersAreBoundNeverPasted) {
  TParams p;
  Row(p, "x'); --", 1, 1);
  Conn->Execute(kInsert, &p);
  auto q = Query("SELECT region FROM items");
  q->Open();
  EXPECT_EQ("x'); --", q->FieldByName("region")->GetAsString());
  TParams wrong;
  wrong.CreateParam(ftInteger, "a", ptInput)->SetAsInteger(1);
  try {
    Conn->Execute(kInsert, &wrong);
    ADD_FAILURE() << "too few parameters";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("The statement has 3 parameter markers but 1 parameters were given", E.Message());
  }
}

TEST_P(ProviderTest, ApplyingManyRecordsPreparesTheStatementOnce) {
  auto ds = Query("SELECT * FROM items");
  TParams p;
  Row(p, "bulk", 0, 1);
  ds->PSExecuteStatement(kInsert, &p);
  const std::int64_t prepared = Conn->Driver().PrepareCount();
  ds->PSStartTransaction();
  for (int i = 1; i <= 2000; ++i) {
    p.Items(1)->SetAsInteger(i);
    p.Items(2)->SetAsInteger(i * 2);
    ASSERT_EQ(1, ds->PSExecuteStatement(kInsert, &p));
  }
  ds->PSEndTransaction(true);
  p.Items(1)->SetAsInteger(7);  // a key that exists: the record fails, the statement stays
  EXPECT_THROW(ds->PSExecuteStatement(kInsert, &p), ESQLDatabaseError);
  p.Items(1)->SetAsInteger(2001);
  EXPECT_EQ(1, ds->PSExecuteStatement(kInsert, &p));
  EXPECT_EQ(prepared, Conn->Driver().PrepareCount());
  EXPECT_EQ(2002, Count());
  EXPECT_EQ(1, Count("num = 2000 AND qty = 4000"));
}

TEST_P(ProviderTest, KeyColumnsOriginsAndComputedColumns) {
  auto q = Query(
      "SELECT i.region, i.num AS number, i.note, i.qty * 2 AS twice, i.total, i.stamp "
      "FROM items i WHERE i.num > ?");
  q->Params().Items(0)->SetAsInteger(0);
  q->Open();
  struct Expect {
    const char* Field;
    const char* Origin;
    bool Key, ReadOnly, Required;
  };
  const Expect expected[] = {
      {"region", "region", true, false, true}, {"number", "num", true, false, true},
      {"note", "note", false, false, false},   {"twice", "", false, true, false},
      {"total", "total", false, true, false},  {"stamp", "stamp", false, false, false}};
  ASSERT_EQ(6, q->Fields().Count());
  for (const Expect& e : expected) {
    TField* f = q->FieldByName(e.Field);
    EXPECT_EQ(e.Origin, f->GetOrigin()) << e.Field;
    EXPECT_EQ(e.Key, (f->GetProviderFlags() & pfInKey) != 0) << e.Field;
    EXPECT_EQ(e.ReadOnly, f->GetReadOnly()) << e.Field;
    EXPECT_EQ(e.Required, f->GetRequired()) << e.Field;
    EXPECT_TRUE((f->GetProviderFlags() & pfInUpdate) != 0) << e.Field;
  }
  EXPECT_EQ("items", q->PSGetTableName());
  EXPECT_EQ("\"", q->PSGetQuoteChar());
  EXPECT_TRUE(q->PSIsSQLBased());
}

TEST_P(ProviderTest, TableNamesOfSimpleSelectsOnly) {
  auto name = [&](const std::string& SQL) {
    auto q = Query(SQL);
    return q->PSGetTableName();
  };
  EXPECT_EQ("items", name("SELECT * FROM items"));
  EXPECT_EQ("items", name("select region from items it where num = :n order by 1"));
  EXPECT_EQ("items", name("SELECT a FROM \"items\" -- FROM other\n WHERE a = 'JOIN'"));
  EXPECT_EQ(PG() ? "main_items" : "Main_Items", name("SELECT * FROM Main_Items"));
  EXPECT_EQ(PG() ? "public.items" : "main.items",
            name(PG() ? "SELECT * FROM PUBLIC.items" : "SELECT * FROM main.items"));
  EXPECT_EQ("", name("SELECT * FROM items a JOIN items b ON a.num = b.num"));
  EXPECT_EQ("", name("SELECT * FROM items, other"));
  EXPECT_EQ("", name("SELECT * FROM items UNION SELECT * FROM other"));
  EXPECT_EQ("", name("SELECT * FROM (SELECT * FROM items) s"));
  EXPECT_EQ("", name("WITH s AS (SELECT 1) SELECT * FROM s"));
  EXPECT_EQ("", name("UPDATE items SET qty = 1"));

  TSQLTable table;
  table.SetSQLConnection(Conn.get());
  table.SetTableName(PG() ? "Items" : "items");
  EXPECT_EQ("items", table.PSGetTableName());
  TParams p;
  Row(p, "south", 7, 70);
  Conn->Execute(kInsert, &p);
  table.Open();
  EXPECT_EQ("south", table.FieldByName("region")->GetAsString());
  EXPECT_TRUE((table.FieldByName("num")->GetProviderFlags() & pfInKey) != 0);
  EXPECT_EQ("total", table.FieldByName("total")->GetOrigin());
}

TEST_P(ProviderTest, DatabaseErrorsCarryTheServersMessageAndCode) {
  TParams p;
  Row(p, "north", 1, 1);
  Conn->Execute(kInsert, &p);
  try {
    Conn->Execute(kInsert, &p);
    ADD_FAILURE() << "duplicate key accepted";
  } catch (const ESQLDatabaseError& E) {
    EXPECT_EQ("23505", E.GetSQLState());
    if (PG()) {
      EXPECT_EQ("duplicate key value violates unique constraint \"items_pkey\"", E.Message());
      EXPECT_EQ("Key (region, num)=(north, 1) already exists.", E.GetDetail());
      EXPECT_EQ(0, E.GetErrorCode());
    } else {
      EXPECT_EQ("UNIQUE constraint failed: items.region, items.num", E.Message());
      EXPECT_EQ(1555, E.GetErrorCode());  // SQLITE_CONSTRAINT_PRIMARYKEY
    }
  }
  auto error = [&](const std::string& SQL) -> std::pair<std::string, std::string> {
    auto q = Query(SQL);
    try {
      q->Open();
    } catch (const ESQLDatabaseError& E) {
      EXPECT_FALSE(q->GetActive());
      return {E.Message(), E.GetSQLState()};
    }
    return {"no error", ""};
  };
  if (PG()) {
    EXPECT_EQ(
        std::make_pair(std::string("syntax error at or near \"SELEC\""), std::string("42601")),
        error("SELEC 1"));
    EXPECT_EQ(
        std::make_pair(std::string("relation \"nowhere\" does not exist"), std::string("42P01")),
        error("SELECT * FROM nowhere"));
  } else {
    EXPECT_EQ(std::make_pair(std::string("near \"SELEC\": syntax error"), std::string("HY000")),
              error("SELEC 1"));
    EXPECT_EQ(std::make_pair(std::string("no such table: nowhere"), std::string("HY000")),
              error("SELECT * FROM nowhere"));
  }
  TParams missing;
  missing.CreateParam(ftString, "region", ptInput)->SetAsString("south");
  missing.CreateParam(ftInteger, "num", ptInput)->Clear();
  missing.CreateParam(ftInteger, "qty", ptInput)->Clear();
  try {
    Conn->Execute(kInsert, &missing);
    ADD_FAILURE() << "null key accepted";
  } catch (const ESQLDatabaseError& E) {
    EXPECT_EQ("23502", E.GetSQLState());
    EXPECT_EQ(
        PG() ? "null value in column \"num\" of relation \"items\" violates not-null constraint"
             : "NOT NULL constraint failed: items.num",
        E.Message());
  }
  // The connection works on after its errors.
  EXPECT_EQ(1, Count());
}

TEST_P(ProviderTest, OpeningAStatementWithoutRowsRaises) {
  auto q = Query("UPDATE items SET qty = 1");
  try {
    q->Open();
    ADD_FAILURE() << "opened";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("The statement returns no rows", E.Message());
  }
  auto none = Query("");
  try {
    none->Open();
    ADD_FAILURE() << "opened";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("No SQL statement is set", E.Message());
  }
}

TEST_P(ProviderTest, NamesGivenByTheApplicationAreIdentifiersNeverSQL) {
  using qvl::test::MessageOf;
  Exec("CREATE TABLE secret (k VARCHAR(10))");
  Exec("INSERT INTO secret VALUES ('hidden')");
  Exec("CREATE TABLE \"odd \"\"name\"\".x\" (v INTEGER)");
  Exec("INSERT INTO \"odd \"\"name\"\".x\" VALUES (5)");
  TSQLTable table;
  table.SetSQLConnection(Conn.get());
  table.SetTableName("items WHERE false UNION ALL SELECT 0, k FROM secret");
  EXPECT_EQ(PG() ? "relation \"items where false union all select 0, k from secret\" does not exist"
                 : "no such table: items WHERE false UNION ALL SELECT 0, k FROM secret",
            MessageOf([&] { table.Open(); }));
  table.SetTableName("\"odd \"\"name\"\".x\"");
  table.Open();
  EXPECT_EQ(5, table.FieldByName("v")->GetAsInteger());
  EXPECT_EQ("\"odd \"\"name\"\".x\"", table.PSGetTableName());
  table.Close();
  const std::string schema = PG() ? Db->Schema() : "main";
  table.SetTableName(" " + schema + " . ITEMS ");
  table.Open();
  EXPECT_EQ(PG() ? schema + ".items" : "main.items", table.PSGetTableName());
  table.Close();
  for (const char* bad : {"\"items", "\"items\"x", "a..b", ""}) {
    table.SetTableName(bad);
    EXPECT_EQ(*bad == '\0' ? "No table name is set"
                           : "'" + std::string(bad) +
                                 "' is not a valid name: write each part plainly or in double "
                                 "quotes, separated by dots",
              MessageOf([&] { table.Open(); }))
        << bad;
    EXPECT_EQ("", table.PSGetTableName()) << bad;
  }
  TSQLDataSet ds;
  ds.SetSQLConnection(Conn.get());
  ds.SetCommandType(ctTable);
  ds.SetCommandText("secret; DELETE FROM secret");
  EXPECT_NE("no error", MessageOf([&] { ds.Open(); }));
  auto q = Query("SELECT count(*) AS n FROM secret");
  q->Open();
  EXPECT_EQ(1, q->FieldByName("n")->GetAsInteger());
}

TEST_P(ProviderTest, TableNamesAndOriginsInTheCatalogsForm) {
  Exec("CREATE TABLE MixedCase (\"Total Amount\" INTEGER, plain INTEGER, \"a.b\" INTEGER)");
  Exec("CREATE TABLE \"My Table\" (v INTEGER)");
  Exec("CREATE TABLE \"a.b\" (v INTEGER)");
  Exec("CREATE TABLE \"a\"\"b\" (v INTEGER)");
  auto name = [&](const std::string& SQL) { return Query(SQL)->PSGetTableName(); };
  const std::string schema = PG() ? Db->Schema() : "main";
  // The catalog holds an unquoted PostgreSQL name in lower case and a
  // SQLite name as declared.
  EXPECT_EQ(PG() ? "mixedcase" : "MixedCase", name("SELECT * FROM mixedcase"));
  EXPECT_EQ(PG() ? "mixedcase" : "MixedCase", name("SELECT * FROM MIXEDCASE m WHERE 1 = 1"));
  EXPECT_EQ(schema + (PG() ? ".mixedcase" : ".MixedCase"),
            name("SELECT * FROM " + schema + ".mixedcase"));
  EXPECT_EQ("\"My Table\"", name("SELECT * FROM \"My Table\""));
  EXPECT_EQ("\"a.b\"", name("SELECT * FROM \"a.b\""));
  EXPECT_EQ("\"a\"\"b\"", name("SELECT * FROM \"a\"\"b\""));
  EXPECT_EQ("\"" + schema + "\".\"My Table\"", name("SELECT * FROM " + schema + ".\"My Table\""));
  EXPECT_EQ("", name("SELECT 1"));
  EXPECT_EQ("", name("SELECT * FROM mixedcase; DELETE FROM items"));

  auto q = Query(
      "SELECT \"Total Amount\" AS t, plain AS p, \"a.b\" AS d, plain + 1 AS e FROM mixedcase");
  q->Open();
  EXPECT_EQ("\"Total Amount\"", q->FieldByName("t")->GetOrigin());
  EXPECT_EQ("plain", q->FieldByName("p")->GetOrigin());
  EXPECT_EQ("\"a.b\"", q->FieldByName("d")->GetOrigin());
  EXPECT_EQ("", q->FieldByName("e")->GetOrigin());
}

QVL_SQL_LAYER_SUITE(ProviderTest);

}  // namespace
