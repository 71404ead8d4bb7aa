#pragma once
// Test support for the record cache engine: real SQLite tables in memory and
// the dataset components over them.

#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/QVLCustomDataSet.h"
#include "host/Field.h"

namespace qvl::test {

class TSQLiteDb {
 public:
  TSQLiteDb() {
    if (sqlite3_open(":memory:", &FDb) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
  }
  ~TSQLiteDb() { sqlite3_close_v2(FDb); }
  TSQLiteDb(const TSQLiteDb&) = delete;
  TSQLiteDb& operator=(const TSQLiteDb&) = delete;
  sqlite3* Handle() const { return FDb; }
  void Exec(const std::string& SQL) {
    char* error = nullptr;
    if (sqlite3_exec(FDb, SQL.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(message + " in " + SQL);
    }
  }

 private:
  sqlite3* FDb = nullptr;
};

// A forward-only SQLite dataset: the host SQL base as the components see it.
class TTestSQLiteBase : public TDataSet {
 public:
  explicit TTestSQLiteBase(TComponent* AOwner) : TDataSet(AOwner) { SetUniDirectional(true); }
  ~TTestSQLiteBase() override { FreeCursor(); }

  void SetDatabase(sqlite3* Db) { FDb = Db; }
  void SetCommandText(const std::string& Text) { FText = Text; }
  int Executions() const { return FExecutions; }
  void SetTableName(const std::string& Value) { FTableName = Value; }
  std::string PSGetTableName() override { return FTableName; }

  TGetResult GetRecord(TRecordBuffer, TGetMode GetMode, bool) override {
    if (FStmt == nullptr || GetMode != gmNext) return grEOF;
    int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW) {
      // As a host SQL dataset computes its calculated fields on each row.
      GetCalcFields(nullptr);
      return grOK;
    }
    if (rc == SQLITE_DONE) {
      FEndOfData = true;
      return grEOF;
    }
    throw EDatabaseError(sqlite3_errmsg(FDb));
  }
  bool GetFieldData(TField* Field, void* Buffer) override { return GetFieldData(Field->GetFieldNo(), Buffer); }
  bool GetFieldData(int FieldNo, void* Buffer) override {
    const int col = FieldNo - 1;
    if (sqlite3_column_type(FStmt, col) == SQLITE_NULL) return false;
    const TFieldDef* def = FieldDefs().Items(col);
    switch (def->DataType) {
      case ftSmallint: Store<std::int16_t>(Buffer, sqlite3_column_int(FStmt, col)); break;
      case ftBoolean: Store<std::uint16_t>(Buffer, sqlite3_column_int(FStmt, col) != 0); break;
      case ftInteger:
      case ftDate: Store<std::int32_t>(Buffer, sqlite3_column_int(FStmt, col)); break;
      case ftLargeint: Store<std::int64_t>(Buffer, sqlite3_column_int64(FStmt, col)); break;
      case ftFloat: Store<double>(Buffer, sqlite3_column_double(FStmt, col)); break;
      case ftString: {
        const auto* text = sqlite3_column_text(FStmt, col);
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(sqlite3_column_bytes(FStmt, col)),
                                                    static_cast<std::size_t>(def->Size));
        std::memcpy(Buffer, text, n);
        static_cast<char*>(Buffer)[n] = 0;
        break;
      }
      default: return false;
    }
    return true;
  }
  int GetBlobFieldData(int FieldNo, TBlobByteData& Buffer) override {
    const int col = FieldNo - 1;
    const void* bytes = sqlite3_column_blob(FStmt, col);
    const int n = sqlite3_column_bytes(FStmt, col);
    Buffer = bytes == nullptr ? TBlobByteData() : TBlobByteData(bytes, static_cast<std::size_t>(n));
    return n;
  }

  void FreeCursor() {
    if (FStmt != nullptr) sqlite3_finalize(FStmt);
    FStmt = nullptr;
  }
  void ExecuteStatement() {
    FreeCursor();
    if (sqlite3_prepare_v2(FDb, FText.c_str(), -1, &FStmt, nullptr) != SQLITE_OK)
      throw EDatabaseError(sqlite3_errmsg(FDb));
    FEndOfData = false;
    ++FExecutions;
  }
  bool GetEndOfData() const { return FEndOfData; }
  void SetEndOfData(bool Value) { FEndOfData = Value; }

  void InternalOpen() override {
    ExecuteStatement();
    InitFieldDefs();
    CreateAndBindFields();
  }
  void InternalClose() override { FreeCursor(); }
  bool IsCursorOpen() override { return FStmt != nullptr; }

 protected:
  void InternalInitFieldDefs() override {
    for (int i = 0; i < sqlite3_column_count(FStmt); ++i) {
      std::string type = sqlite3_column_decltype(FStmt, i) ? sqlite3_column_decltype(FStmt, i) : "";
      int size = 0;
      TFieldType ft = ftInteger;
      if (type.rfind("VARCHAR", 0) == 0) {
        ft = ftString;
        size = std::stoi(type.substr(8));
      } else if (type == "BIGINT") {
        ft = ftLargeint;
      } else if (type == "SMALLINT") {
        ft = ftSmallint;
      } else if (type == "REAL") {
        ft = ftFloat;
      } else if (type == "DATE") {
        ft = ftDate;
      } else if (type == "BOOLEAN") {
        ft = ftBoolean;
      } else if (type == "BLOB") {
        ft = ftBlob;
      } else if (type == "TEXT") {
        ft = ftMemo;
      }
      FieldDefs().Add(sqlite3_column_name(FStmt, i), ft, size);
    }
  }

 private:
  template <class T, class V>
  static void Store(void* Buffer, V Value) {
    T v = static_cast<T>(Value);
    std::memcpy(Buffer, &v, sizeof v);
  }

  sqlite3* FDb = nullptr;
  sqlite3_stmt* FStmt = nullptr;
  std::string FText;
  std::string FTableName;
  bool FEndOfData = false;
  int FExecutions = 0;
};

using TTestQVLDataSet = TQVLCustomDataSet<TTestSQLiteBase>;

}  // namespace qvl::test
