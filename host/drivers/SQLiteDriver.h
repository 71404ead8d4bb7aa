#pragma once
// The SQLite driver: one sqlite3 database handle per connection.
//
// Connection parameters (NAME=VALUE, names in any case):
//   Database      the file, ":memory:", or a "file:" URI (required)
//   BusyTimeout   milliseconds to wait for a lock held by another process
//                 (default 5000)
//   ReadOnly      True opens the file read-only
//   ForeignKeys   True enforces foreign keys (SQLite's default is off)
//   JournalMode   WAL, DELETE, TRUNCATE, PERSIST, MEMORY or OFF (default:
//                 the file's own). With WAL a partly read query does not
//                 keep writers on other connections waiting.
//
//   ColumnTypes   Stored (default) or Declared: how columns map to fields.
//
// Stored: SQLite does not hold values to their declared types, so every
// column gets a variant field (ftVariant) that keeps each value with its
// storage class, except the columns SQLite enforces: a rowid (INTEGER
// PRIMARY KEY) is ftLargeint, and the INT/INTEGER, REAL, TEXT and BLOB
// columns of STRICT tables map to ftLargeint, ftFloat, ftMemo and ftBlob.
// Any file reads whole; values written back keep their storage class.
//
// Declared: columns map by declared type (see MapSQLiteColumnType); a column
// without one (an expression, an untyped table column) takes its type from
// the storage class of its value in the first row. A value that does not fit
// its field raises an error when read.
//
// Stored procedures: SQLite has none; StoredProcCall raises.
//
// Threads: a connection and its statements are used from one thread at a
// time; the handle has no mutex of its own.

#include <memory>
#include <string>

#include "qvl/host/sqlclient/SQLDriver.h"

struct sqlite3;

namespace qvl {

class TStrings;

class TSQLiteConnection : public TSQLDriverConnection {
 public:
  explicit TSQLiteConnection(const TStrings& Params);
  ~TSQLiteConnection() override;

  const char* GetDriverName() const override { return "SQLite"; }
  std::int64_t ExecuteDirect(const std::string& SQL) override;
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() override;
  std::vector<std::string> CatalogTableName(std::vector<std::string> Parts) override;
  std::string StoredProcCall(const std::string& Name,
                             const std::vector<TParamType>& Modes) override;

  // The native handle, for registering functions or collations.
  sqlite3* Handle() const { return FDb; }
  // Raises the handle's last error as ESQLDatabaseError.
  [[noreturn]] void RaiseError(int Code) const;

 protected:
  std::unique_ptr<TSQLStatement> NewStatement(const std::string& Text) override;

 private:
  friend class TSQLiteStatement;
  void SetJournalMode(const std::string& Mode);
  sqlite3* FDb = nullptr;
  bool FDeclaredTypes = false;  // ColumnTypes=Declared
};

std::unique_ptr<TSQLDriverConnection> OpenSQLiteConnection(const TStrings& Params);

// The field type for a SQLite declared type; false when the declared type is
// empty and the value decides.
bool MapSQLiteColumnType(const std::string& DeclaredType, TSQLColumnDesc& Column);

}  // namespace qvl
