// TQVLConnection's processor and the processor lookup of the dataset
// components: the connection's processor, else the process-wide default,
// across processors and connections destroyed in either order.
#include <gtest/gtest.h>

#include <memory>

#include "qvl/components/QVLDataSet.h"
#include "qvl/components/QVLQuery.h"
#include "qvl/components/QVLStoredProc.h"
#include "qvl/components/QVLTable.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/update/QVLUpdateSQL.h"
#include "tests/support/Watcher.h"

using namespace qvl;

namespace {

TQVLSQLProcessor* Default() {
  return &TQVLSQLProcessor::DefaultProcessor();
}

TEST(QVLConnection, ProcessorLookup) {
  TQVLConnection connection;
  EXPECT_EQ(connection.GetSQLProcessor(), nullptr);
  EXPECT_EQ(&connection.GetSQLProcessorInUse(), Default());

  auto processor = std::make_unique<TQVLSQLProcessor>(nullptr);
  connection.SetSQLProcessor(processor.get());
  connection.SetSQLProcessor(processor.get());  // the same one again
  EXPECT_EQ(&connection.GetSQLProcessorInUse(), processor.get());

  connection.SetSQLProcessor(nullptr);
  EXPECT_EQ(&connection.GetSQLProcessorInUse(), Default());

  // Destroying the processor clears the link: the connection falls back.
  connection.SetSQLProcessor(processor.get());
  processor.reset();
  EXPECT_EQ(connection.GetSQLProcessor(), nullptr);
  EXPECT_EQ(&connection.GetSQLProcessorInUse(), Default());
}

TEST(QVLConnection, LinksEndWhicheverSideGoesFirst) {
  TQVLSQLProcessor kept(nullptr);
  {
    TQVLConnection connection;
    auto replaced = std::make_unique<TQVLSQLProcessor>(nullptr);
    connection.SetSQLProcessor(replaced.get());
    connection.SetSQLProcessor(&kept);
    replaced.reset();  // no longer linked: nothing to tell the connection
    EXPECT_EQ(connection.GetSQLProcessor(), &kept);
  }
  // Owned together, both go, in either order, and the one left never reaches
  // the other again (the sanitizer build watches); a connection whose
  // processor went falls back to the default.
  for (bool processorNewer : {true, false}) {
    test::TWatcher watcher(nullptr);
    TQVLConnection* connection = nullptr;
    TQVLSQLProcessor* processor = nullptr;
    {
      TComponent owner(nullptr);
      if (!processorNewer) processor = new TQVLSQLProcessor(&owner);
      connection = new TQVLConnection(&owner);
      if (processorNewer) processor = new TQVLSQLProcessor(&owner);
      connection->SetSQLProcessor(processor);
      watcher.Watch({connection, processor});
      if (processorNewer) {
        delete processor;
        EXPECT_EQ(connection->GetSQLProcessor(), nullptr);
        EXPECT_EQ(&connection->GetSQLProcessorInUse(), Default());
      }
    }
    EXPECT_TRUE(watcher.RemovedOnceEach({processor, connection}))
        << "processor newer: " << processorNewer;
  }
}

template <class T>
class ComponentProcessorLookup : public ::testing::Test {};
using Components = ::testing::Types<TQVLDataSet, TQVLQuery, TQVLStoredProc, TQVLTable>;
TYPED_TEST_SUITE(ComponentProcessorLookup, Components);

TYPED_TEST(ComponentProcessorLookup, ConnectionsProcessorElseDefault) {
  TypeParam dataSet;
  IQVLRecordCursor& cursor = dataSet;
  EXPECT_EQ(cursor.GetSQLProcessorInUse(), Default());

  TSQLConnection plain;
  dataSet.SetSQLConnection(&plain);
  EXPECT_EQ(cursor.GetSQLProcessorInUse(), Default());

  TQVLConnection connection;
  auto processor = std::make_unique<TQVLSQLProcessor>(nullptr);
  connection.SetSQLProcessor(processor.get());
  dataSet.SetSQLConnection(&connection);
  EXPECT_EQ(cursor.GetSQLProcessorInUse(), processor.get());

  processor.reset();
  EXPECT_EQ(cursor.GetSQLProcessorInUse(), Default());
  dataSet.SetSQLConnection(nullptr);
}

// An update object without a processor of its own expands its statements
// with the one its dataset uses: here the connection's, with another
// parameter marker and a macro.
TEST(QVLConnection, UpdateObjectsUseTheConnectionsProcessor) {
  TQVLSQLProcessor processor(nullptr);
  processor.SetParamChar('&');
  processor.GetMacros().Add("UP");
  TQVLConnection connection;
  connection.SetDriverName("SQLite");
  connection.Params().Add("Database=:memory:");
  connection.SetSQLProcessor(&processor);
  connection.Open();
  connection.ExecuteDirect("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)");
  connection.ExecuteDirect("INSERT INTO t VALUES (1, 'one')");
  TQVLUpdateSQL update;
  update.GetModifySQL().SetText(
      "UPDATE t SET name = #if (UP) upper(&name) #else &name #endif WHERE id = &OLD_id");
  TQVLQuery query;
  query.SetSQLConnection(&connection);
  query.SQL().SetText("SELECT id, name FROM t");
  query.SetUpdateObject(&update);
  query.Open();
  query.Edit();
  query.FieldByName("name")->SetAsString("uno");
  query.Post();
  query.Refresh();
  EXPECT_EQ(query.FieldByName("name")->GetAsString(), "UNO");
}

}  // namespace
