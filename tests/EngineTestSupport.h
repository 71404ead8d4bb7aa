#pragma once
// Test support for the record cache engine: an in-memory SQLite database
// behind a TSQLConnection, and the dataset components over it.

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvl/components/QVLQuery.h"
#include "qvl/components/QVLTable.h"
#include "qvl/host/dataset/DataLink.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/drivers/SQLiteDriver.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "tests/support/ErrorMessage.h"
#include "tests/support/TestPeer.h"

namespace qvl::test {

// Counts the SELECT statements the database starts, so that tests can tell
// when a dataset executes its query again.
class TSQLiteDb {
 public:
  TSQLiteDb() {
    FConnection.SetDriverName("SQLite");
    FConnection.Params().Add("Database=:memory:");
    // The engine's tests read the typed fields' record slots.
    FConnection.Params().Add("ColumnTypes=Declared");
    FConnection.Open();
    sqlite3_trace_v2(dynamic_cast<TSQLiteConnection&>(FConnection.Driver()).Handle(),
                     SQLITE_TRACE_STMT, Trace, this);
  }
  TSQLiteDb(const TSQLiteDb&) = delete;
  TSQLiteDb& operator=(const TSQLiteDb&) = delete;

  TSQLConnection& Connection() { return FConnection; }
  void Exec(const std::string& SQL) { FConnection.ExecuteDirect(SQL); }
  int Selects() const { return FSelects; }

 private:
  static int Trace(unsigned, void* Context, void*, void* Text) {
    if (std::string(static_cast<const char*>(Text)).rfind("SELECT", 0) == 0)
      ++static_cast<TSQLiteDb*>(Context)->FSelects;
    return 0;
  }

  TSQLConnection FConnection;
  int FSelects = 0;
};

// A TQVLQuery on a test database.
class TTestQVLDataSet : public TQVLQuery {
 public:
  explicit TTestQVLDataSet(TComponent* AOwner = nullptr) : TQVLQuery(AOwner) {}
  void SetDatabase(TSQLiteDb& Db) {
    FDb = &Db;
    SetSQLConnection(&Db.Connection());
  }
  void SetCommandText(const std::string& Text) { SQL().SetText(Text); }
  // Times the database started a query.
  int Executions() const { return FDb->Selects(); }

 private:
  TSQLiteDb* FDb = nullptr;
};

// A view asking for a window of N rows, as a grid would.
class TWindowLink : public TDataLink {
 public:
  explicit TWindowLink(int N) { SetBufferCount(N); }
  // Field's integer value on each row of the window, top to bottom.
  std::vector<int> Values(const std::string& Field) {
    std::vector<int> out;
    const int saved = GetActiveRecord();
    for (int i = 0; i < GetRecordCount(); ++i) {
      SetActiveRecord(i);
      out.push_back(GetDataSet()->FieldByName(Field)->GetAsInteger());
    }
    SetActiveRecord(saved);
    return out;
  }
};

}  // namespace qvl::test
