#pragma once
// TPostgreSQLStatement: one prepared statement of a TPostgreSQLConnection
// and its open result (see PostgreSQLDriver.h for how reading works).
//
// A statement is prepared under a name of the connection's when it is made,
// with its parameter types and result columns described then. A query that a
// cursor can hold also gets the prepared DECLARE of a held cursor, and its
// result is read in batches (FETCH) whose size follows the width of the rows
// before; any other statement runs at once and keeps its whole result. The
// transaction a cursor lives in belongs to the connection, which the
// statement tells when its cursor opens and closes and which tells the
// statement when that transaction ends.

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qvl/host/drivers/PostgreSQLDriver.h"
#include "qvl/host/drivers/PostgreSQLTypes.h"
#include "qvl/host/sqlclient/SQLColumnPolicy.h"

namespace qvl {

class TPostgreSQLStatement : public TSQLStatement {
 public:
  // The first batch is one row, so that the first row costs only itself
  // however wide rows are; later batches grow while the rows of the batch
  // before stay under the byte budget, down to one row at a time.
  static constexpr int kFirstBatch = 1;
  static constexpr int kSecondBatch = 16;
  static constexpr int kMaxBatch = 8192;
  static constexpr std::size_t kBatchBytes = std::size_t{4} << 20;
  // The protocol counts parameters in 16 bits. libpq takes a description of
  // more than 7498 parameters (4 bytes each) for a lost message and drops
  // the session, so such statements learn their parameter types another way.
  static constexpr int kMaxParams = 65535;
  static constexpr int kDescribableParams = 7498;

  TPostgreSQLStatement(TPostgreSQLConnection* Connection, const std::string& Text);
  ~TPostgreSQLStatement() override;

  std::int64_t Execute(const TParams* Params) override;
  void Open(const TParams* Params) override;
  bool Next() override;
  void CloseCursor() override;
  bool CursorOpen() const override { return FState != State::Idle; }
  bool IsNull(int Index) override;
  bool GetBlob(int Index, TBlobByteData& Value) override;
  bool RetypeColumn(int Index, TFieldType Type, int Size, int Precision) override;

 protected:
  void Detach() override;

 private:
  friend class TPostgreSQLConnection;
  struct Bound {
    std::vector<std::string> Storage;
    std::vector<const char*> Values;
    std::vector<int> Lengths;
    std::vector<int> Formats;
  };
  enum class State { Idle, Open, AtEnd };

  TPostgreSQLConnection* Conn() const { return static_cast<TPostgreSQLConnection*>(FConnection); }
  void Bind(const TParams* Params, Bound& B) const;
  static bool ReadValue(TSQLStatement* Self, int Index, void* Buffer);
  bool Read(int Index, void* Buffer);
  // A value of a result in binary form, which floats need to read exactly
  // whatever the session's extra_float_digits.
  void ReadBinary(int Index, void* Buffer);
  PGresult* Run(const std::string& Name, const Bound& B) const;
  void Prepare();
  // Prepares the DECLARE of a held cursor for the statement; false when the
  // server says a cursor cannot hold it.
  bool PrepareCursor();
  // Learns the parameter types of a statement with too many to describe,
  // and returns a description of its result columns.
  TPostgreSQLConnection::Result DescribeManyParams();
  // Describing a result's columns: their base columns from the catalog,
  // their types with domains resolved, then one description each.
  struct TBaseColumn {
    std::string Name, Table;
    sqlpolicy::TBaseColumnFacts Facts;
    bool IdentityAlways = false;
  };
  using TBaseColumns = std::map<std::pair<Oid, int>, TBaseColumn>;  // by table and column number
  struct TColumnTypes {
    std::vector<Oid> Types;
    std::vector<int> Mods;
    std::set<Oid> Enums;
  };
  TBaseColumns ReadBaseColumns(const PGresult* Description) const;
  TColumnTypes ResolveTypes(const PGresult* Description) const;
  void DescribeColumns(const PGresult* Description);
  bool ShapeChanged(const PGresult* Rows) const;
  // Runs Body; when the server refuses a cached plan because a table
  // changed under it, prepares the text again and runs Body once more.
  template <class Body>
  auto WithFreshPlan(Body&& F) -> decltype(F());
  // Fetches the next batch; true when it wrote in the reading transaction,
  // which must then commit (CommitWrites).
  bool FetchBatch();
  void CommitWrites();
  // Declares the cursor and fetches its first batch (see OpenCursor).
  void OpenCursor(const Bound& B);
  // Undoes a cursor opened under the savepoint qvl_open.
  void ForgetOpen();
  void CloseServerCursor();
  // The rest of the rows is gone; reading past those already here raises Why.
  void Lose(const std::string& Why);

  std::string FSQL;
  std::string FName, FDeclareName, FCursorName;
  std::vector<Oid> FParamTypes;
  std::vector<bool> FBytea;  // per column
  // How each column reads in binary form; results with floats or bytea
  // come in binary when every column can.
  std::vector<pgtype::TBinaryKind> FBinaryKinds;
  bool FBinary = false;
  std::vector<Oid> FTypes;  // per column, as described
  std::vector<int> FMods;
  // Columns as described before RetypeColumn changed them.
  std::vector<std::pair<int, TSQLColumnDesc>> FRetyped;
  bool FIsQuery = false;
  bool FCursorable = false;
  State FState = State::Idle;
  bool FServerOpen = false;  // the server cursor exists and belongs to this result
  bool FServerEnd = false;   // no rows are left on the server
  bool FInTx = false;        // declared inside the transaction now active
  std::string FLost;
  TPostgreSQLConnection::Result FBatch;
  int FRow = -1;
  int FBatchRows = 0;
  int FBatchSize = kFirstBatch;
};

}  // namespace qvl
