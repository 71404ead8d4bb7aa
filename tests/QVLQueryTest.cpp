// TQVLQuery's macro SQL on an in-memory SQLite database: the command text
// follows the SQL list and Macros, errors of change notifications surface at
// open, parameters are rebuilt keeping their values, processors are looked
// up and forgotten when destroyed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qvl/components/QVLQuery.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/sql/QVLConnection.h"
#include "tests/EngineTestSupport.h"

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

}  // namespace
