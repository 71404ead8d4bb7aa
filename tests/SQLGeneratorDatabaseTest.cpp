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
// the rest, any other the new value. Only null is sent as null: an empty text
// or blob is a value.
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
    if (value.IsNull() || value.IsEmpty())
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
      if (PostgreSQLPooling().empty()) {
        connection.Params().Add("options=-c search_path=" + Db->Schema());
      } else {
        connection.Params().Add("Pooling=" + PostgreSQLPooling());
        connection.Params().Add("User_Name=" + Db->Schema());
      }
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

// ---- values the server holds, read and written back exactly -----------------------------------

// Each cell as the dataset shows it; "null" for null. The server's own
// texts (psql, Python's sqlite3) differ only in form: psql writes bytea as
// hex and timestamptz with its offset (the session is UTC here).
std::vector<std::string> Cells(TDataSet& DataSet) {
  std::vector<std::string> row;
  for (int i = 0; i < DataSet.Fields().Count(); ++i) {
    TField* f = DataSet.Fields()[i];
    row.push_back(f->IsNull() ? "null" : f->GetAsString());
  }
  return row;
}

TEST_P(SQLGeneratorDatabase, EveryValueReadsAndWritesBackExactlyEmptyIsNotNull) {
  using Row = std::vector<std::string>;
  std::vector<Row> expected;
  std::string serverText;  // each value as the server quotes it
  if (PG()) {
    // Rows 5 and 6 hold the largest and smallest dates and timestamps, and
    // "char" bytes above 0x7F, which the server prints in octal.
    Exec(
        "CREATE TABLE kinds (id INT PRIMARY KEY, vc VARCHAR(10), t TEXT, b BYTEA, d DATE, "
        "ts TIMESTAMP, tz TIMESTAMPTZ, tm TIME, n NUMERIC, w NUMERIC, qc \"char\")");
    Exec(
        "INSERT INTO kinds VALUES (1, '', '', '', 'infinity', 'infinity', 'infinity', "
        "'24:00:00', 'NaN', 10::numeric ^ 40, ''), "
        "(2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL), "
        "(3, 'a', 'x', 'A', '-infinity', '-infinity', '-infinity', '00:00:00', 'Infinity', "
        "1e-40, 'a'), (4, ' ', ' ', '\\x00', '2024-02-29', '2024-02-29 23:59:59.999999', "
        "'2024-02-29 23:59:59.999999+00', '23:59:59.999999', '-Infinity', "
        "-(repeat('9', 60) || '.' || repeat('1', 40))::numeric, ' '), "
        "(5, 'z', 'z', '\\x80', '5874897-12-31', '294276-12-31 23:59:59.999999', "
        "'294276-12-31 23:59:59.999999+00', '00:00:00.000001', 0, 0, '\\200'), "
        "(6, 'z', 'z', '\\xff', '4714-11-24 BC', '4714-11-24 00:00:00 BC', "
        "'4714-11-24 00:00:00+00 BC', '00:00:00', 0, 0, '\\377')");
    // Unconstrained numerics wider than any decimal field read digit for
    // digit, scale included.
    expected = {
        {"1", "", "", "", "infinity", "infinity", "infinity", "24:00:00", "NaN",
         "1" + std::string(40, '0') + "." + std::string(16, '0'), ""},
        {"2", "null", "null", "null", "null", "null", "null", "null", "null", "null", "null"},
        {"3", "a", "x", "A", "-infinity", "-infinity", "-infinity", "00:00:00", "Infinity",
         "0." + std::string(39, '0') + "1", "a"},
        {"4", " ", " ", std::string(1, '\0'), "2024-02-29", "2024-02-29 23:59:59.999999",
         "2024-02-29 23:59:59.999999", "23:59:59.999999", "-Infinity",
         "-" + std::string(60, '9') + "." + std::string(40, '1'), " "},
        {"5", "z", "z", "\x80", "5874897-12-31", "294276-12-31 23:59:59.999999",
         "294276-12-31 23:59:59.999999", "00:00:00.000001", "0", "0", "\\200"},
        {"6", "z", "z", "\xff", "-4713-11-24", "-4713-11-24 00:00:00", "-4713-11-24 00:00:00",
         "00:00:00", "0", "0", "\\377"}};
    serverText =
        "SELECT quote_nullable(vc) || quote_nullable(t) || quote_nullable(encode(b, 'hex')) || "
        "quote_nullable(d) || quote_nullable(ts) || quote_nullable(tz) || quote_nullable(tm) || "
        "quote_nullable(n) || quote_nullable(w) || quote_nullable(CAST(qc AS text)) FROM kinds "
        "ORDER BY id";
  } else {
    Exec("CREATE TABLE kinds (id INTEGER PRIMARY KEY, vc VARCHAR(10), t TEXT, c CLOB, b BLOB)");
    Exec(
        "INSERT INTO kinds VALUES (1, '', '', '', X''), (2, NULL, NULL, NULL, NULL), "
        "(3, 'a', 'x', 'y', X'41'), (4, ' ', ' ', ' ', X'00')");
    expected = {{"1", "", "", "", ""},
                {"2", "null", "null", "null", "null"},
                {"3", "a", "x", "y", "A"},
                {"4", " ", " ", " ", std::string(1, '\0')}};
    serverText = "SELECT quote(vc) || quote(t) || quote(c) || quote(b) FROM kinds ORDER BY id";
  }
  TQVLQuery query;
  query.SetSQLConnection(Conn.get());
  query.SetCachedUpdates(true);
  query.SetUpdateMode(upWhereAll);
  query.SQL().SetText("SELECT * FROM kinds ORDER BY id");
  query.Open();
  std::vector<Row> forward, back;
  for (; !query.Eof(); query.Next()) forward.push_back(Cells(query));
  for (query.Last(); !query.Bof(); query.Prior()) back.insert(back.begin(), Cells(query));
  EXPECT_EQ(forward, expected);
  EXPECT_EQ(back, expected);
  if (PG()) {
    query.First();
    TField* w = query.FieldByName("w");
    EXPECT_EQ(w->GetDataType(), ftVariant);
    EXPECT_EQ(w->GetAsFloat(), 1e40);
    EXPECT_TRUE(w->GetAsVariant() == Variant::Bcd("1" + std::string(40, '0')));
  }

  // Under where all every old value must match itself, '' included: only
  // vc changes, and an old value that does not match fails the apply.
  for (query.First(); !query.Eof(); query.Next()) {
    query.Edit();
    query.FieldByName("vc")->SetAsString("w");
    query.Post();
  }
  query.ApplyUpdates();
  auto vc = Query("SELECT count(*) FROM kinds WHERE vc = 'w'");
  vc->Open();
  EXPECT_EQ(vc->Fields()[0]->GetAsInteger(), PG() ? 6 : 4);
  vc->Close();

  // Empty becomes null and null empty; the special values are written back.
  const int blob = PG() ? 3 : 4;
  query.First();  // row 1: '' -> null
  query.Edit();
  query.Fields()[2]->Clear();
  query.Fields()[blob]->Clear();
  query.Post();
  query.Next();  // row 2: null -> ''
  query.Edit();
  query.Fields()[1]->SetAsString("");
  query.Fields()[2]->SetAsString("");
  query.Fields()[blob]->SetAsString("");
  if (PG()) {
    query.FieldByName("d")->SetAsString("-infinity");
    query.FieldByName("ts")->SetAsString("infinity");
    query.FieldByName("tm")->SetAsString("24:00:00");
    query.FieldByName("n")->SetAsString("-Infinity");
    query.FieldByName("w")->SetAsString(std::string(70, '7') + ".25");
    query.Next();  // row 3: an exact decimal as a variant
    query.Edit();
    query.FieldByName("w")->SetAsVariant(Variant::Bcd("-0." + std::string(45, '0') + "3"));
  }
  query.Post();
  query.ApplyUpdates();
  auto server = Query(serverText);
  std::vector<std::string> held;
  for (server->Open(); !server->Eof(); server->Next())
    held.push_back(server->Fields()[0]->GetAsString());
  if (PG())
    EXPECT_EQ(held, (std::vector<std::string>{
                        "'w'NULLNULL'infinity''infinity''infinity''24:00:00''NaN''1" +
                            std::string(40, '0') + "." + std::string(16, '0') + "'''",
                        "'''''''-infinity''infinity'NULL'24:00:00''-Infinity''" +
                            std::string(70, '7') + ".25'NULL",
                        "'w''x''41''-infinity''-infinity''-infinity''00:00:00''Infinity''-0." +
                            std::string(45, '0') + "3''a'",
                        "'w'' ''00''2024-02-29''2024-02-29 23:59:59.999999'"
                        "'2024-02-29 23:59:59.999999+00''23:59:59.999999''-Infinity''-" +
                            std::string(60, '9') + "." + std::string(40, '1') + "'' '",
                        "'w''z''80''5874897-12-31''294276-12-31 23:59:59.999999'"
                        "'294276-12-31 23:59:59.999999+00''00:00:00.000001''0''0'E'\\\\200'",
                        "'w''z''ff''4714-11-24 BC''4714-11-24 00:00:00 BC'"
                        "'4714-11-24 00:00:00+00 BC''00:00:00''0''0'E'\\\\377'"}));
  else
    EXPECT_EQ(held, (std::vector<std::string>{"'w'NULL''NULL", "''''NULLX''", "'w''x''y'X'41'",
                                              "'w'' '' 'X'00'"}));
  if (!PG()) return;
  // A field that the application declares narrower than a value still
  // raises, naming the record and the column.
  TQVLQuery typed;
  typed.SetSQLConnection(Conn.get());
  typed.SQL().SetText("SELECT qc FROM kinds WHERE id >= 5 ORDER BY id");
  auto qc = std::make_unique<TStringField>(1);
  qc->SetFieldName("qc");
  typed.Fields().Add(std::move(qc));
  EXPECT_EQ(
      qvl::test::MessageOf([&] { typed.Open(); }),
      "Cannot read record 1: Value '\\200' of column 'qc' does not fit its FixedChar(1) field");
}
