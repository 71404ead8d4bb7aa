// Generated INSERT, UPDATE (each WHERE mode) and DELETE statements run on
// real tables of SQLite and PostgreSQL: the statement is generated for a
// record of a TQVLQuery, passed through the processor's Parse and Build, its
// parameters filled from the record's new and old values, executed, and the
// table's rows checked afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qvl/components/QVLQuery.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"
#include "tests/SQLLayerTestSupport.h"

using namespace qvl;
using namespace qvl::test;

namespace {

// Fills each parameter from the dataset's field of its name: a name that
// begins with "OLD_" (in capitals) takes the old value of the field named by
// the rest, any other the new value. An empty blob is sent as null.
void AssignParamsFromDataSet(TDataSet& DataSet, TParams& Params) {
  for (int i = 0; i < Params.Count(); ++i) {
    TParam* param = Params[i];
    std::string name = param->GetName();
    const bool old = name.rfind("OLD_", 0) == 0;
    if (old) name.erase(0, 4);
    TField* field = DataSet.FindField(name);
    if (field == nullptr) continue;
    const Variant value = old ? field->GetOldValue() : field->GetNewValue();
    param->SetDataType(field->GetDataType());
    const bool none = field->IsBlob() ? VarToStr(value).empty() : value.IsNull() || value.IsEmpty();
    if (none)
      param->Clear();
    else
      param->SetValue(value);
  }
}

// Runs the generated statement for DataSet's current record; the rows it affected.
int Apply(TDataSet& DataSet, TUpdateKind Kind, TUpdateMode Mode) {
  const TQVLSQLProcessor& processor = TQVLSQLProcessor::DefaultProcessor();
  const std::unique_ptr<TQVLMacroSQLElement> tree =
      processor.Parse(processor.GenerateDateSetSQL(DataSet, Kind, Mode));
  TParams params;
  const std::string sql = processor.Build(*tree, nullptr, &params);
  AssignParamsFromDataSet(DataSet, params);
  return DataSet.PSExecuteStatement(sql, &params);
}

// A table with one or two key columns, a nullable text column and an
// integer column, named as each case needs; rows are written KEY|TEXT|INT.
struct TTableCase {
  const char* Name;
  std::string Create;  // %S stands for the test's schema (PostgreSQL) or main (SQLite)
  std::string Table;   // as the query names it
  std::vector<std::string> Keys, Columns;
};

std::string WithSchema(std::string Text, const std::string& Schema) {
  for (std::size_t at; (at = Text.find("%S")) != std::string::npos;) Text.replace(at, 2, Schema);
  return Text;
}

const TTableCase TableCases[] = {
    {"CompositeKey",
     "CREATE TABLE ord (shop INTEGER NOT NULL, num INTEGER NOT NULL, note VARCHAR(20), qty "
     "INTEGER, PRIMARY KEY (shop, num))",
     "ord",
     {"shop", "num"},
     {"note", "qty"}},
    // Created without quotes: PostgreSQL keeps the names in lower case.
    {"MixedCaseUnquoted",
     "CREATE TABLE MixedCase (Id INTEGER PRIMARY KEY, Label VARCHAR(20), Qty INTEGER)",
     "MixedCase",
     {"Id"},
     {"Label", "Qty"}},
    {"SchemaQualified",
     "CREATE TABLE %S.items (id INTEGER PRIMARY KEY, name VARCHAR(20), n INTEGER)",
     "%S.items",
     {"id"},
     {"name", "n"}},
    {"QuotedNamesWithSpaceAndCase",
     "CREATE TABLE \"Quoted Table\" (\"Id\" INTEGER PRIMARY KEY, \"Label\" VARCHAR(20), \"N\" "
     "INTEGER)",
     "\"Quoted Table\"",
     {"\"Id\""},
     {"\"Label\"", "\"N\""}},
    {"QuoteInColumnName",
     "CREATE TABLE q (id INTEGER PRIMARY KEY, \"a\"\"b\" VARCHAR(20), \"c d\" INTEGER)",
     "q",
     {"id"},
     {"\"a\"\"b\"", "\"c d\""}},
};

class SQLGeneratorDatabase : public SQLLayerTest {
 protected:
  std::string Schema() const { return PG() ? Db->Schema() : "main"; }

  std::vector<std::string> Rows(const TTableCase& T) {
    std::string keys;
    for (const std::string& k : T.Keys) keys += (keys.empty() ? "" : ", ") + k;
    auto q = Query("SELECT " + keys + ", " + T.Columns[0] + ", " + T.Columns[1] + " FROM " +
                   WithSchema(T.Table, Schema()) + " ORDER BY " + keys);
    std::vector<std::string> rows;
    for (q->Open(); !q->Eof(); q->Next()) {
      std::string row;
      for (int i = 0; i < q->Fields().Count(); ++i)
        row += (i == 0 ? "" : "|") +
               (q->Fields()[i]->IsNull() ? std::string("null") : q->Fields()[i]->GetAsString());
      rows.push_back(row);
    }
    return rows;
  }
};

TEST_P(SQLGeneratorDatabase, GeneratedStatementsChangeTheRows) {
  for (const TTableCase& t : TableCases) {
    SCOPED_TRACE(t.Name);
    const bool composite = t.Keys.size() == 2;
    const std::string table = WithSchema(t.Table, Schema());
    Exec(WithSchema(t.Create, Schema()));
    for (int k = 1; k <= 4; ++k) {
      const char* text[] = {"'one'", "NULL", "'three'", "'four'"};
      Exec("INSERT INTO " + table + " VALUES (" + (composite ? "1, " : "") + std::to_string(k) +
           ", " + text[k - 1] + ", " + std::to_string(k * 10) + ")");
    }
    TQVLConnection connection;
    connection.SetDriverName(GetParam());
    if (PG()) {
      connection.SetConnectionString(PostgreSQLConnInfo());
      connection.Params().Add("options=-c search_path=" + Db->Schema());
    } else {
      connection.Params().Add("Database=" + Db->File());
    }
    TQVLQuery query;
    query.SetSQLConnection(&connection);
    query.SetCachedUpdates(true);
    query.SQL().SetText("select * from " + table + " order by " + t.Keys.back());
    query.Open();
    const int text = static_cast<int>(t.Keys.size()), number = text + 1;
    TFields& f = query.Fields();

    query.First();  // row 1 goes
    EXPECT_EQ(Apply(query, ukDelete, upWhereAll), 1);
    query.Next();  // row 2: its null text compared with "is null"
    query.Edit();
    f[text]->SetAsString("two");
    f[number]->SetAsInteger(21);
    query.Post();
    EXPECT_EQ(Apply(query, ukModify, upWhereAll), 1);
    query.Next();  // row 3: only the number changed
    query.Edit();
    f[number]->SetAsInteger(31);
    query.Post();
    EXPECT_EQ(Apply(query, ukModify, upWhereChanged), 1);
    query.Next();  // row 4: text set to null
    query.Edit();
    f[text]->Clear();
    query.Post();
    EXPECT_EQ(Apply(query, ukModify, upWhereKeyOnly), 1);
    query.Append();  // row 5, its number left null
    if (composite) f[0]->SetAsInteger(1);
    f[text - 1]->SetAsInteger(5);
    f[text]->SetAsString("five");
    query.Post();
    EXPECT_EQ(Apply(query, ukInsert, upWhereAll), 1);

    const std::string key = composite ? "1|" : "";
    EXPECT_EQ(Rows(t), (std::vector<std::string>{key + "2|two|21", key + "3|three|31",
                                                 key + "4|null|40", key + "5|five|null"}));

    // A row changed by someone else no longer matches the old values.
    Exec("UPDATE " + table + " SET " + t.Columns[1] + " = 99");
    query.First();
    query.Next();
    EXPECT_EQ(Apply(query, ukModify, upWhereAll), 0);
    EXPECT_EQ(Apply(query, ukModify, upWhereKeyOnly), 1);
  }
}

QVL_SQL_LAYER_SUITE(SQLGeneratorDatabase);

}  // namespace
