// TQVLQuery's macro SQL on an in-memory SQLite database: the command text
// follows the SQL list and Macros, errors of change notifications surface at
// open, parameters are rebuilt keeping their values, processors are looked
// up and forgotten when destroyed; on PostgreSQL, a syntax error at a ":"
// that a "::" left alone says why.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvl/components/QVLQuery.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/sql/QVLConnection.h"
#include "tests/EngineTestSupport.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;
using namespace qvl::test;

namespace {

class QVLQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)");
    Db.Exec("INSERT INTO t VALUES (1, 'one'), (2, 'two'), (3, 'three')");
    Query.SetSQLConnection(&Db.Connection());
  }
  std::vector<std::string> Ids() {
    std::vector<std::string> ids;
    for (Query.First(); !Query.Eof(); Query.Next()) ids.push_back(Query.Fields()[0]->GetAsString());
    return ids;
  }
  std::vector<std::string> ParamNames() {
    std::vector<std::string> names;
    for (int i = 0; i < Query.Params().Count(); ++i) names.push_back(Query.Params()[i]->GetName());
    return names;
  }

  TSQLiteDb Db;
  TQVLQuery Query;
};

TEST_F(QVLQueryTest, MalformedMacroSQLSurfacesAtOpen) {
  Query.SQL().SetText("select id from t\n#if (A\n#endif");  // setting it raises nothing
  EXPECT_EQ(Query.GetCommandText(), "");
  EXPECT_EQ(Query.GetMacroSQL(), nullptr);
  try {
    Query.Open();
    FAIL() << "opened";
  } catch (const EQVLMacroSQLError& e) {
    EXPECT_EQ(e.Message(), "')' expected\r\nLine: 3, Column: 1");
  }
  EXPECT_FALSE(Query.GetActive());
  EXPECT_THROW(Query.ParseMacroSQL(), EQVLMacroSQLError);
  EXPECT_EQ(Query.GetCommandText(), "");

  // Mended text opens; an #error reached by evaluation surfaces the same way.
  Query.SQL().SetText("select id from t order by id");
  Query.Open();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"1", "2", "3"}));
  Query.SQL().SetText("#if (STOP)\n#error stopped here\n#endif\nselect id from t");
  Query.GetMacros().Add("STOP");
  EXPECT_FALSE(Query.GetActive());
  EXPECT_EQ(Query.GetCommandText(), "");
  EXPECT_NE(Query.GetMacroSQL(), nullptr);
  EXPECT_EQ(Error([&] { Query.Open(); }), "stopped here\r\nLine: 2, Column: 7");
}

TEST_F(QVLQueryTest, ParametersRebuiltKeepingValues) {
  Query.SQL().SetText("select id from t where id = :A");
  Query.Params().ParamByName("A")->SetAsInteger(2);
  Query.SQL().SetText("select :A, :A, :B from t where id = :A");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"A", "A", "B", "A"}));
  EXPECT_EQ(Query.GetCommandText(), "select ?, ?, ? from t where id = ?\n");
  for (int i : {0, 1, 3}) EXPECT_EQ(Query.Params()[i]->AsInteger(), 2);
  EXPECT_TRUE(Query.Params()[2]->IsNull());
  Query.Params()[2]->SetAsString("b");
  Query.Open();
  EXPECT_EQ(Query.Fields()[0]->GetAsString() + Query.Fields()[1]->GetAsString() +
                Query.Fields()[2]->GetAsString(),
            "22b");
  Query.Close();

  // Without the parameter check the list stays as it was.
  Query.SetParamCheck(false);
  Query.SQL().SetText("select id from t where id = :X");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"A", "A", "B", "A"}));
  EXPECT_EQ(Query.GetCommandText(), "select id from t where id = ?\n");
}

TEST_F(QVLQueryTest, MacroChangesOnAnOpenQuery) {
  Query.SQL().SetText("select id from t\n#if (ONE)\nwhere id = %ID\n#endif\norder by id");
  Query.Open();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"1", "2", "3"}));
  Query.GetMacros().Add("ONE");
  Query.GetMacros().Add("ID=3");
  EXPECT_FALSE(Query.GetActive());
  EXPECT_FALSE(Query.GetPrepared());
  EXPECT_EQ(Query.GetCommandText(), "select id from t\nwhere id = 3\norder by id\n");
  Query.Open();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"3"}));
  Query.SetMacros(TStringList{"ONE", "ID=1"});
  Query.Open();
  EXPECT_EQ(Ids(), (std::vector<std::string>{"1"}));
}

TEST_F(QVLQueryTest, ProcessorLookupAndDestroyedProcessors) {
  TQVLConnection connection;
  connection.SetDriverName("SQLite");
  connection.Params().Add("Database=:memory:");
  auto own = std::make_unique<TQVLSQLProcessor>(nullptr);
  auto shared = std::make_unique<TQVLSQLProcessor>(nullptr);
  own->SetMacroChar('&');
  own->GetMacros().Add("V=own");
  shared->GetMacros().Add("V=connection");
  connection.SetSQLProcessor(shared.get());
  Query.SetSQLConnection(&connection);
  Query.SetSQLProcessor(own.get());
  EXPECT_EQ(Query.GetSQLProcessorInUse(), own.get());

  Query.SQL().SetText("select '&V' as a, &V as b");
  EXPECT_EQ(Query.GetCommandText(), "select '&V' as a, own as b\n");
  // A processor's change counts from the next change of the text.
  own->SetMacroChar('%');
  EXPECT_EQ(Query.GetCommandText(), "select '&V' as a, own as b\n");

  own.reset();
  EXPECT_EQ(Query.GetSQLProcessor(), nullptr);
  EXPECT_EQ(Query.GetSQLProcessorInUse(), shared.get());
  Query.SQL().SetText("select %V");
  EXPECT_EQ(Query.GetCommandText(), "select connection\n");

  shared.reset();
  EXPECT_EQ(Query.GetSQLProcessorInUse(), &TQVLSQLProcessor::DefaultProcessor());
  Query.GetMacros().Add("V=query");
  EXPECT_EQ(Query.GetCommandText(), "select query\n");
}

TEST_F(QVLQueryTest, ReadingFromAStreamParsesOnceLoaded) {
  Query.BeginLoading();
  Query.SQL().SetText("select id from t where id = :ID");
  Query.GetMacros().Add("M=1");
  EXPECT_EQ(Query.GetMacroSQL(), nullptr);
  EXPECT_EQ(Query.GetCommandText(), "");
  Query.EndLoading();
  EXPECT_NE(Query.GetMacroSQL(), nullptr);
  EXPECT_EQ(Query.GetCommandText(), "select id from t where id = ?\n");
  EXPECT_EQ(ParamNames(), (std::vector<std::string>{"ID"}));
}

TEST_F(QVLQueryTest, FilterChangesRefreshOnlyWhenTheyChangeSomething) {
  Query.SQL().SetText("SELECT id FROM t ORDER BY id");
  Query.Open();
  int refreshes = 0;
  Query.SetAfterRefresh([&](TDataSet*) { ++refreshes; });
  // One lambda type: handlers of the same code over different objects.
  auto skipping = [](int Skip) {
    return [Skip](TDataSet* D, bool& Accept) { Accept = D->Fields()[0]->GetAsInteger() != Skip; };
  };
  struct {
    const char* Step;
    std::function<void()> Change;
    int Refreshes;
    std::vector<std::string> Ids;
  } steps[] = {
      {"Filtered unchanged", [&] { Query.SetFiltered(false); }, 0, {"1", "2", "3"}},
      {"a handler", [&] { Query.SetOnFilterRecord(skipping(2)); }, 1, {"1", "2", "3"}},
      {"Filtered on", [&] { Query.SetFiltered(true); }, 2, {"1", "3"}},
      {"Filtered on again", [&] { Query.SetFiltered(true); }, 2, {"1", "3"}},
      // Taken without a refresh: the next reading uses the new object.
      {"same code, another object", [&] { Query.SetOnFilterRecord(skipping(3)); }, 2, {"1", "2"}},
      {"other code",
       [&] { Query.SetOnFilterRecord([](TDataSet*, bool& A) { A = true; }); },
       3,
       {"1", "2", "3"}},
      {"no handler", [&] { Query.SetOnFilterRecord(nullptr); }, 4, {"1", "2", "3"}},
      {"Filtered off", [&] { Query.SetFiltered(false); }, 5, {"1", "2", "3"}},
  };
  for (const auto& s : steps) {
    s.Change();
    EXPECT_EQ(refreshes, s.Refreshes) << s.Step;
    EXPECT_EQ(Ids(), s.Ids) << s.Step;
  }
  Query.Close();
  Query.SetFiltered(true);  // closed: nothing to refresh
  EXPECT_EQ(refreshes, 5);
}

// In macro SQL "::" stands for ":": a cast written x::date reaches the
// server as x:date. Opening or executing says so; other errors, and other
// parameter characters, are left as the server wrote them.
TEST(PostgreSQLQVLQuery, ASyntaxErrorAtALoneColonSaysWhy) {
  TestDatabase db("PostgreSQL");
  ASSERT_TRUE(db.Ready());
  auto connection = db.NewConnection();
  connection->ExecuteDirect("create table d (day date)");
  const std::string colon = "syntax error at or near \":\"";
  const std::string why =
      colon +
      " (in macro SQL \"::\" stands for one \":\": write a cast as \"::::\", or give the SQL "
      "processor another ParamChar)";
  const struct {
    char ParamChar;
    bool Execute;
    std::string SQL, Error;
  } cases[] = {
      {':', false, "select now()::date as day", why},
      {':', true, "insert into d values (now()::date)", why},
      {':', false, "select ':' as a, now()::::date::date as day", why},
      {':', false, "select now()::::date as day", ""},
      {':', false, "selec now()::date", "syntax error at or near \"selec\""},
      {'&', false, "select now()::date as day", ""},
      {'&', false, "select 1 : 2", colon},
  };
  for (const auto& c : cases) {
    TQVLSQLProcessor processor(nullptr);
    processor.SetParamChar(c.ParamChar);
    TQVLQuery query;
    query.SetSQLProcessor(&processor);
    query.SetSQLConnection(connection.get());
    query.SQL().SetText(c.SQL);
    std::string error;
    try {
      if (c.Execute)
        query.ExecSQL();
      else
        query.Open();
    } catch (const ESQLDatabaseError& e) {
      error = e.Message();
      EXPECT_EQ(e.GetSQLState(), "42601") << c.SQL;
    }
    EXPECT_EQ(error, c.Error) << c.SQL;
  }
}

}  // namespace
