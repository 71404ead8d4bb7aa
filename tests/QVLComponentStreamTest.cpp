// Component streams: a round trip keeps every property and reference,
// defaults are not written, Loaded runs once everything is read, and bad
// documents fail with the property and its place named.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "qvl/components/QVLComponentStream.h"
#include "qvl/components/QVLDataSet.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/components/QVLStoredProc.h"
#include "qvl/components/QVLTable.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/update/QVLUpdateSQL.h"

using namespace qvl;

namespace {

// A connection owning one of every other streamable component, each with
// every property away from its default.
std::unique_ptr<TQVLConnection> EveryComponent() {
  auto root = std::make_unique<TQVLConnection>();
  root->SetName("Db");
  root->SetDriverName("SQLite");
  root->Params().Add("Database=:memory:");
  root->SetTag(3);
  auto* processor = new TQVLSQLProcessor(root.get());
  processor->SetName("Proc");
  processor->GetMacros().Add("A=1");
  processor->SetParamChar('?');
  processor->SetMacroChar('&');
  processor->SetOracleLob(false);
  root->SetSQLProcessor(processor);

  auto* query = new TQVLQuery(root.get());
  query->SetName("Q");
  query->SetSQLConnection(root.get());
  query->SetParamCheck(false);
  query->SQL().SetText("select 1 as x");
  query->SetPageSize(7);
  query->SetFetchOnDemand(false);
  query->SetUniDirectional(true);
  query->SetCachedUpdates(true);
  query->SetUpdateOptions(uoCheckRowsAffected | uoUpdateInTransaction);
  query->SetUpdateMode(upWhereKeyOnly);
  query->SetFiltered(true);
  query->GetMacros().Add("M=2");
  query->SetSQLProcessor(processor);
  auto x = CreateFieldForType(ftInteger);
  x->SetFieldName("x");
  x->SetProviderFlags(pfInKey);
  x->SetOrigin("x");
  x->SetRequired(true);
  query->Fields().Add(std::move(x));
  auto look = CreateFieldForType(ftString, 10);
  look->SetFieldName("name");
  look->SetFieldKind(fkLookup);
  look->SetLookupDataSet(query);
  look->SetKeyFields("x");
  look->SetLookupKeyFields("x");
  look->SetLookupResultField("x");
  query->Fields().Add(std::move(look));

  auto* update = new TQVLUpdateSQL(root.get());
  update->SetName("Upd");
  update->GetModifySQL().Add("update t set x = :x where x = :OLD_x");
  update->GetInsertSQL().Add("insert into t values (:x)");
  update->GetDeleteSQL().Add("delete from t");
  update->GetDeleteSQL().Add("where x = :OLD_x");
  update->SetSQLProcessor(processor);
  query->SetUpdateObject(update);

  auto* dataSet = new TQVLDataSet(root.get());
  dataSet->SetName("DS");
  dataSet->GetUpdateObject()->GetModifySQL().Add("update t set x = 1");
  dataSet->SetCommandType(ctTable);
  dataSet->SetCommandText("t");
  auto* proc = new TQVLStoredProc(root.get());
  proc->SetName("SP");
  proc->SetStoredProcName("f");
  auto* table = new TQVLTable(root.get());
  table->SetName("T");
  table->SetTableName("t");
  table->SetSQLConnection(root.get());
  auto* other = new TSQLConnection(root.get());
  other->SetName("Other");
  other->SetDriverName("PostgreSQL");
  other->SetConnectionString("postgresql://nowhere/x");
  return root;
}

TEST(QVLComponentStream, RoundTripKeepsEveryProperty) {
  const std::string document = WriteComponentJSON(*EveryComponent());
  std::unique_ptr<TComponent> read = ReadComponentJSON(document);
  EXPECT_EQ(WriteComponentJSON(*read), document);

  auto& root = dynamic_cast<TQVLConnection&>(*read);
  auto* processor = dynamic_cast<TQVLSQLProcessor*>(root.FindComponent("Proc"));
  auto* query = dynamic_cast<TQVLQuery*>(root.FindComponent("Q"));
  ASSERT_NE(processor, nullptr);
  ASSERT_NE(query, nullptr);
  EXPECT_EQ(root.GetSQLProcessor(), processor);
  EXPECT_EQ(query->GetSQLConnection(), &root);
  EXPECT_EQ(query->GetSQLProcessor(), processor);
  EXPECT_EQ(query->Fields()[1]->GetLookupDataSet(), query);
  EXPECT_EQ(processor->GetParamChar(), '?');
  EXPECT_EQ(query->GetUpdateOptions(), uoCheckRowsAffected | uoUpdateInTransaction);
  // Parsed once loaded, with the processor read after the query's text.
  EXPECT_EQ(query->GetCommandText(), "select 1 as x\n");
  EXPECT_NE(document.find("\"UpdateMode\": \"upWhereKeyOnly\""), std::string::npos);

  auto* update = dynamic_cast<TQVLUpdateSQL*>(root.FindComponent("Upd"));
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(query->GetUpdateObject(), update);
  EXPECT_EQ(update->GetSQLProcessor(), processor);
  EXPECT_EQ(update->GetDeleteSQL().GetText(), "delete from t\nwhere x = :OLD_x\n");
  // The internal update object is read into, not made a second time.
  auto* dataSet = dynamic_cast<TQVLDataSet*>(root.FindComponent("DS"));
  ASSERT_NE(dataSet, nullptr);
  ASSERT_EQ(dataSet->ComponentCount(), 1);
  EXPECT_EQ(dataSet->GetUpdateObject()->GetModifySQL().GetText(), "update t set x = 1\n");
}

// Each published property away from its default is written, at its
// default it is not.
TEST(QVLComponentStream, EachPropertyIsWrittenOnlyAwayFromItsDefault) {
  TQVLUpdateSQL update;
  update.SetName("U");
  struct {
    const char* Property;
    std::function<void(TQVLQuery&)> Change;
    const char* Written;
  } cases[] = {
      {"PageSize", [](TQVLQuery& q) { q.SetPageSize(5); }, "5"},
      {"FetchOnDemand", [](TQVLQuery& q) { q.SetFetchOnDemand(false); }, "false"},
      {"UniDirectional", [](TQVLQuery& q) { q.SetUniDirectional(true); }, "true"},
      {"CachedUpdates", [](TQVLQuery& q) { q.SetCachedUpdates(true); }, "true"},
      {"UpdateOptions", [](TQVLQuery& q) { q.SetUpdateOptions(uoCheckRowsAffected); },
       "[\"uoCheckRowsAffected\"]"},
      {"UpdateMode", [](TQVLQuery& q) { q.SetUpdateMode(upWhereChanged); }, "\"upWhereChanged\""},
      {"UpdateObject", [&](TQVLQuery& q) { q.SetUpdateObject(&update); }, "\"U\""},
      {"Filtered", [](TQVLQuery& q) { q.SetFiltered(true); }, "true"},
      {"ParamCheck", [](TQVLQuery& q) { q.SetParamCheck(false); }, "false"},
      {"Macros", [](TQVLQuery& q) { q.GetMacros().Add("A=1"); }, "[\"A=1\"]"},
  };
  for (const auto& c : cases) {
    TQVLQuery query;
    EXPECT_FALSE(nlohmann::json::parse(WriteComponentJSON(query)).contains("properties"));
    c.Change(query);
    const auto written = nlohmann::json::parse(WriteComponentJSON(query));
    ASSERT_EQ(written["properties"].size(), 1u) << written.dump();
    EXPECT_EQ(written["properties"][c.Property].dump(), c.Written) << c.Property;
    query.SetUpdateObject(nullptr);
  }
}

TEST(QVLComponentStream, DefaultsAreNotWritten) {
  TQVLQuery query;
  query.SetName("Q");
  EXPECT_EQ(WriteComponentJSON(query), "{\n  \"class\": \"TQVLQuery\",\n  \"name\": \"Q\"\n}\n");
  TQVLSQLProcessor processor(nullptr);
  processor.SetOracleLob(false);
  EXPECT_EQ(WriteComponentJSON(processor),
            "{\n  \"class\": \"TQVLSQLProcessor\",\n  \"properties\": {\n    \"OracleLob\": "
            "false\n  }\n}\n");
}

// The default update options leave multi-record updates out; a document
// without the property reads as that default, one that lists all four
// options (as documents written for the earlier default may) keeps them.
TEST(QVLComponentStream, UpdateOptionsDefaultAndDocumentsThatListThem) {
  TQVLQuery query;
  EXPECT_EQ(query.GetUpdateOptions(),
            uoCheckRowsAffected | uoAllowAutomaticUpdate | uoUpdateInTransaction);
  auto read = [](const std::string& Properties) {
    std::unique_ptr<TComponent> c =
        ReadComponentJSON(R"({"class": "TQVLQuery", "properties": {)" + Properties + "}}");
    return static_cast<int>(dynamic_cast<TQVLQuery&>(*c).GetUpdateOptions());
  };
  EXPECT_EQ(read(""), kQVLDefaultRecordUpdateOptions);
  const std::string all =
      R"("UpdateOptions": ["uoCheckRowsAffected", "uoAllowMultiRecordUpdates",
          "uoAllowAutomaticUpdate", "uoUpdateInTransaction"])";
  EXPECT_EQ(read(all), kQVLAllRecordUpdateOptions);
  query.SetUpdateOptions(kQVLAllRecordUpdateOptions);
  EXPECT_EQ(nlohmann::json::parse(WriteComponentJSON(query))["properties"]["UpdateOptions"].size(),
            4u);
}

TEST(QVLComponentStream, ActiveDataSetsOpenOnceEverythingIsRead) {
  // The dataset comes before its connection's settings are complete, and
  // names the connection that owns it.
  const std::string document = R"({"class": "TQVLConnection", "name": "Db",
    "components": [{"class": "TQVLQuery", "name": "Q", "properties": {
        "Active": true, "SQL": ["select %V as v"], "Macros": ["V=42"], "SQLConnection": "Db"}}],
    "properties": {"DriverName": "SQLite", "Params": ["Database=:memory:"]}})";
  std::unique_ptr<TComponent> root = ReadComponentJSON(document);
  auto* query = dynamic_cast<TQVLQuery*>(root->FindComponent("Q"));
  ASSERT_NE(query, nullptr);
  EXPECT_TRUE(query->GetActive());
  EXPECT_EQ(query->Fields()[0]->GetAsString(), "42");
}

TEST(QVLComponentStream, BadDocumentsFailCleanly) {
  struct {
    const char* Document;
    const char* Error;
  } cases[] = {
      {"{", "Invalid component document: "},
      {R"({"class": "TNothing"})", "Unknown class 'TNothing' at /class"},
      {R"({"class": "TQVLQuery", "properties": {"PageSiz": 1}})",
       "Unknown property 'PageSiz' of TQVLQuery at /properties/PageSiz"},
      {R"({"class": "TQVLQuery", "properties": {"PageSize": "1"}})",
       "Property 'PageSize' expects an integer, not string at /properties/PageSize"},
      {R"({"class": "TQVLConnection", "components": [{"class": "TQVLSQLProcessor", "name": "P"},
          {"class": "TQVLQuery", "name": "p"}]})",
       "Component 'p' already exists with another class at /components/1/class"},
      {R"({"class": "TQVLConnection", "components": [{"class": "TQVLSQLProcessor", "name": "P"},
          {"class": "TQVLSQLProcessor", "name": "Q"}, {"class": "TQVLTable", "properties":
          {"TableName": 5}}]})",
       "Property 'TableName' expects a string, not number at /components/2/properties/TableName"},
      {R"({"class": "TQVLConnection", "components": [{"class": "TQVLQuery", "properties":
          {"UpdateMode": "upSomewhere"}}]})",
       "Property 'UpdateMode' expects one of upWhereAll, upWhereChanged, upWhereKeyOnly, not "
       "string at /components/0/properties/UpdateMode"},
      {R"({"class": "TQVLConnection", "components": [{"class": "TQVLQuery", "properties":
          {"SQLConnection": "Nobody"}}]})",
       "No component named 'Nobody' at /components/0/properties/SQLConnection"},
      {R"({"class": "TQVLConnection", "name": "Db", "components": [{"class": "TQVLSQLProcessor",
          "name": "P"}, {"class": "TQVLQuery", "properties": {"SQLConnection": "P"}}]})",
       "Property 'SQLConnection' names 'P', which is not a component of the right class at "
       "/components/1/properties/SQLConnection"},
      {R"({"class": "TQVLQuery", "properties": {"Fields": [{"FieldName": "a", "DataType": "Nope"}]}})",
       "Unknown field type 'Nope' at /properties/Fields/0/DataType"},
      {R"({"class": "TQVLSQLProcessor", "name": "1x"})",
       "'1x' is not a valid component name at /name"},
      {R"({"class": "TQVLConnection", "components": [{"class": "TQVLSQLProcessor", "name": "P",
          "properties": {"ParamChar": "?"}}, {"class": "TQVLSQLProcessor", "name": "p"}]})",
       "Component 'p' is described twice at /components/1/name"},
  };
  for (const auto& c : cases) {
    try {
      ReadComponentJSON(c.Document);
      ADD_FAILURE() << "read: " << c.Document;
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message().substr(0, std::string(c.Error).size()), c.Error) << e.Message();
    }
  }
}

// Components nested deeper than a document can sensibly hold are refused
// with the place where the bound was passed, before the stack runs out.
TEST(QVLComponentStream, NestingIsBounded) {
  auto nested = [](int Levels) {
    std::string document;
    for (int i = 0; i < Levels; ++i) document += R"({"class": "TQVLSQLProcessor", "components": [)";
    document += R"({"class": "TQVLSQLProcessor"})";
    for (int i = 0; i < Levels; ++i) document += "]}";
    return document;
  };
  std::unique_ptr<TComponent> read = ReadComponentJSON(nested(64));
  int depth = 0;
  for (TComponent* c = read.get(); c->ComponentCount() == 1; c = c->Components(0)) ++depth;
  EXPECT_EQ(depth, 64);
  std::string where;
  for (int i = 0; i < 65; ++i) where += "/components/0";
  for (int levels : {65, 100000}) {
    try {
      ReadComponentJSON(nested(levels));
      ADD_FAILURE() << levels;
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message(), "Components nest deeper than 64 levels at " + where);
    }
  }
}

}  // namespace
