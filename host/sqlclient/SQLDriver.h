#pragma once
// The driver level of the SQL layer: what one database client library offers
// the SQL components, with no knowledge of datasets.
//
// TSQLDriverConnection is one open session. It prepares statements and keeps
// the idle ones in a cache keyed by their text, so that running the same
// text again (thousands of applied records) prepares it once. Statement text
// marks positional parameters with "?"; "??" stands for a literal question
// mark where a driver rewrites markers.
//
// TSQLStatement is one prepared statement with at most one open result,
// read forward only. Open runs it and stands before the first row; Next
// moves one row on. Reading is lazy and bounded: a driver reads no more rows
// than the caller moved past, give or take one bounded batch, and the other
// statements of the connection stay usable while a result is partly read.
// GetData writes the current row's value in the field buffer format of
// Column(i).DataType (host/dataset/Field.h); a value that this format cannot hold
// without loss raises EDatabaseError naming the column, never cut or rounded.
//
// Ownership: a statement belongs to whoever Prepare gave it to, and goes back
// to the cache with Recycle (or is simply destroyed). Closing the connection
// releases the native handles of statements still out; using them afterwards
// raises EDatabaseError instead of touching freed memory.
//
// Errors reported by the database arrive as ESQLDatabaseError carrying the
// server's own message, its code and its SQLSTATE.

#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/Variant.h"

#pragma GCC visibility push(default)

namespace qvl {

class TStrings;

class ESQLDatabaseError : public EDatabaseError {
 public:
  ESQLDatabaseError(std::string Message, int ErrorCode, std::string SQLState,
                    std::string Detail = {})
      : EDatabaseError(std::move(Message)),
        FErrorCode(ErrorCode),
        FSQLState(std::move(SQLState)),
        FDetail(std::move(Detail)) {}
  // The driver's numeric code: SQLite's extended result code; 0 on
  // PostgreSQL, whose codes are SQLSTATEs.
  int GetErrorCode() const noexcept { return FErrorCode; }
  // Five-character SQLSTATE ("23505"); SQLite errors get the nearest class.
  const std::string& GetSQLState() const noexcept { return FSQLState; }
  // The server's detail line, when it sent one.
  const std::string& GetDetail() const noexcept { return FDetail; }

 private:
  int FErrorCode;
  std::string FSQLState;
  std::string FDetail;
};

// How a result column maps onto a field.
struct TSQLColumnDesc {
  std::string Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;       // strings and bytes: maximum bytes; exact numerics: digits after the point
  int Precision = 0;  // exact numerics: total digits
  bool Required = false;     // a NOT NULL base column
  bool InKey = false;        // part of its table's primary key
  bool ReadOnly = false;     // computed: an expression or a generated column
  std::string OriginTable;   // base table, empty for expressions
  std::string OriginColumn;  // base column, empty for expressions
  // The database has an equality for the column's type, so that a WHERE can
  // find a row by its value (PostgreSQL's json, xml, point, ... have none).
  bool Comparable = true;
};

class TSQLDriverConnection;

class TSQLStatement {
 public:
  TSQLStatement(TSQLDriverConnection* Connection, std::string Text);
  TSQLStatement(const TSQLStatement&) = delete;
  TSQLStatement& operator=(const TSQLStatement&) = delete;
  virtual ~TSQLStatement();

  const std::string& Text() const { return FText; }
  bool Attached() const { return FConnection != nullptr; }

  // Runs the statement once with Params bound to its markers in order and
  // returns the rows it inserted, updated or deleted. Rows it returns are
  // read and dropped. An open result is closed first.
  virtual std::int64_t Execute(const TParams* Params) = 0;
  // Runs the statement and stands before the first row of its result.
  virtual void Open(const TParams* Params) = 0;
  // Moves to the next row; false (and no current row) past the last.
  virtual bool Next() = 0;
  virtual void CloseCursor() = 0;
  virtual bool CursorOpen() const = 0;
  // Whether Next stopped on a row.
  bool HasRow() const { return FOnRow; }

  // The result's columns, known once the statement was opened.
  int ColumnCount() const { return static_cast<int>(FColumns.size()); }
  const TSQLColumnDesc& Column(int Index) const;

  virtual bool IsNull(int Index) = 0;
  // The current row's value in the native format of Column(Index); false
  // and Buffer untouched for null. Called for every value of every row, so
  // it goes straight to the column's reader.
  bool GetData(int Index, void* Buffer) {
    if (FOnRow && static_cast<std::size_t>(Index) < FReaders.size())
      return FReaders[static_cast<std::size_t>(Index)](this, Index, Buffer);
    CheckRow();
    BadIndex(Index);
  }
  // The current row's value as bytes (any type; blobs and memos are read
  // this way); false and Value emptied for null.
  virtual bool GetBlob(int Index, TBlobByteData& Value) = 0;
  // A shortcut for a text column read into a buffer of Capacity bytes that
  // differs from the column's: trRead when the value is text that GetData
  // would give unchanged and that fits with its terminator (written to
  // Buffer), trNull for null, trOther (nothing written) for anything to be
  // read through GetData. A driver without the shortcut answers trOther.
  enum TTextRead { trRead, trNull, trOther };
  virtual TTextRead ReadText(int Index, char* Buffer, std::size_t Capacity);
  // The current row's value as a variant of the column's type.
  Variant GetValue(int Index);
  // Reads a variant column (ftVariant) in the format of a field of another
  // type that the application declared for it, converting each value with
  // an error for one that does not convert; false when the column is not a
  // variant column or the driver cannot convert.
  virtual bool RetypeColumn(int /*Index*/, TFieldType /*Type*/, int /*Size*/, int /*Precision*/) {
    return false;
  }
  // How many rows the caller reads first when it next opens the statement
  // (the rows a view shows; 0 when it reads them all): a driver that reads
  // in batches makes its first batch that size, so that the first screen
  // comes in one round trip.
  virtual void SetFirstBatch(int /*Rows*/) {}

 protected:
  void CheckAttached() const;
  void CheckRow() const {
    if (!FOnRow) NoCurrentRow();
  }
  [[noreturn]] static void NoCurrentRow();
  void CheckIndex(int Index) const {
    if (static_cast<std::size_t>(Index) >= FColumns.size()) BadIndex(Index);
  }
  [[noreturn]] static void BadIndex(int Index);
  // Releases the native handle when the connection goes first.
  virtual void Detach() = 0;
  // Value := a copy of Size bytes, reusing its array when it holds it alone
  // and has that size (a reader that keeps one array across rows).
  static void AssignBytes(TBlobByteData& Value, const void* Data, std::size_t Size) {
    if (Size != 0 && Value.RefCount() == 1 && Value.Length() == Size)
      std::memcpy(Value.MutableData(), Data, Size);
    else
      Value = TBlobByteData(Data, Size);  // no bytes: the empty value, not null
  }

  // Reads one value of the current row; the driver sets one per column,
  // together with FColumns, knowing the row and the index to be valid.
  using TValueReader = bool (*)(TSQLStatement* Self, int Index, void* Buffer);

  TSQLDriverConnection* FConnection;
  std::vector<TSQLColumnDesc> FColumns;
  std::vector<TValueReader> FReaders;
  bool FOnRow = false;  // kept by the driver: read on every value

 private:
  friend class TSQLDriverConnection;
  std::string FText;
};

// TSQLBatch: statements of a connection run in order in its current
// transaction, their outcomes taken once all are added, so that a server
// across a network answers them in one round trip (the PostgreSQL driver
// pipelines them); a driver without that runs each as it is added. After a
// statement fails, none after it in the batch runs. A batch belongs to its
// connection's user and must not outlive the connection.
class TSQLBatch {
 public:
  virtual ~TSQLBatch() = default;
  // Adds one statement with Params bound to its markers (read now). Raises
  // EDatabaseError for parameters that cannot be sent; the statement is
  // then not added.
  virtual void Add(const std::string& SQL, const TParams* Params) = 0;
  // Outcomes of the statements added since the last run, in order.
  virtual void Run(std::vector<TBatchOutcome>& Outcomes) = 0;
};

class TSQLDriverConnection {
 public:
  TSQLDriverConnection() = default;
  TSQLDriverConnection(const TSQLDriverConnection&) = delete;
  TSQLDriverConnection& operator=(const TSQLDriverConnection&) = delete;
  virtual ~TSQLDriverConnection();

  virtual const char* GetDriverName() const = 0;

  // A statement for Text: an idle one of the cache, else a new one.
  std::unique_ptr<TSQLStatement> Prepare(const std::string& Text);
  // Puts a statement back into the cache for the next Prepare of its text.
  // The least recently used idle statements beyond the capacity go.
  void Recycle(std::unique_ptr<TSQLStatement> Statement);
  void SetCacheCapacity(std::size_t Value);
  std::size_t CachedCount() const { return FIdleCount; }
  // Statements prepared on the database since the connection opened.
  std::int64_t PrepareCount() const { return FPrepareCount; }

  // Runs text that may hold several statements and no parameters; returns
  // the rows affected by the last one.
  virtual std::int64_t ExecuteDirect(const std::string& SQL) = 0;
  // Runs one statement through the cache with Params bound.
  std::int64_t Execute(const std::string& SQL, const TParams* Params);
  // A batch of statements for this connection (see TSQLBatch), and the most
  // statements worth adding to one before running it: 1 where each runs as
  // it is added (the default batch runs each through Execute).
  virtual std::unique_ptr<TSQLBatch> NewBatch();
  virtual int BatchCapacity() const { return 1; }

  // Whether the session ended under the connection (server stopped,
  // backend terminated); the error that found it out carried SQLSTATE class
  // 08, and the connection is of no further use.
  virtual bool Lost() const { return false; }
  // The transaction whose COMMIT went unanswered when the session was lost
  // (Commit raised SQLSTATE 08007), as an id that CommitOutcome of a later
  // session looks up; empty when no commit was left in doubt.
  virtual std::string InDoubtCommit() const { return ""; }
  // What became of the transaction of an InDoubtCommit id: coUnknown when
  // the server cannot tell (the default).
  virtual TCommitOutcome CommitOutcome(const std::string& /*Id*/) { return coUnknown; }

  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual bool InTransaction() = 0;

  // The identifier quote: one character, or empty when names are not quoted.
  virtual std::string GetQuoteChar() const { return "\""; }
  // Whether unquoted names are folded to lower case (else they keep their
  // case and compare without it).
  virtual bool FoldsNamesLower() const { return false; }
  // The parts of a table name (see SplitSQLName) as the catalog holds them:
  // a database that compares names without case gives the declared case of
  // the table found; an unknown table keeps the parts given.
  virtual std::vector<std::string> CatalogTableName(std::vector<std::string> Parts) {
    return Parts;
  }
  // Statement text that calls the stored procedure Name; Modes lists the
  // parameters in order and the result carries one "?" per input parameter.
  // Drivers without stored procedures raise EDatabaseError.
  virtual std::string StoredProcCall(const std::string& Name, const std::vector<TParamType>& Modes);

 protected:
  virtual std::unique_ptr<TSQLStatement> NewStatement(const std::string& Text) = 0;
  // Refuses text holding a zero byte: the client libraries end text there,
  // so the database would run only what comes before it.
  static void CheckSQLText(const std::string& SQL);
  void CountPrepare() { ++FPrepareCount; }
  // Empties the cache and detaches statements still out; a driver calls it
  // before it closes its native handle.
  void ReleaseStatements();

 private:
  friend class TSQLStatement;
  using Lru = std::list<std::unique_ptr<TSQLStatement>>;
  void Trim();
  std::unique_ptr<TSQLStatement> TakeIdle(Lru::iterator At);  // out of the cache, not freed

  Lru FIdle;  // most recently used first
  std::unordered_multimap<std::string, Lru::iterator> FIdleByText;
  std::size_t FIdleCount = 0;
  std::size_t FCapacity = 64;
  std::vector<TSQLStatement*> FOut;  // statements handed out, not owned
  std::int64_t FPrepareCount = 0;
};

// A driver connection by name ("SQLite", "PostgreSQL", any case), opened
// with the NAME=VALUE lines of Params.
std::unique_ptr<TSQLDriverConnection> OpenSQLDriverConnection(const std::string& DriverName,
                                                              const TStrings& Params);

}  // namespace qvl

#pragma GCC visibility pop
