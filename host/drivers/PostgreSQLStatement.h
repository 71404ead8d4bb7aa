#pragma once
// TPostgreSQLStatement: one prepared statement of a TPostgreSQLConnection
// and its open result (see PostgreSQLDriver.h for how reading works).
//
// A statement goes to the server when it first runs: its text is prepared
// under a name of the connection's and described, together with the DECLARE
// of a held cursor when the text is a query that a cursor may hold, in one
// round trip. Opening then sends, in one more round trip, what the columns
// need from the catalog (the first time), the start of the reading
// transaction or a savepoint, the DECLARE and the first FETCH, sized to the
// rows the caller reads first (SetFirstBatch). A statement opened
// again takes that second round trip alone. Later batches grow with the
// width of the rows before; once they reach their largest size, each FETCH
// is sent as the one before arrives, so that the server computes a batch
// while the caller reads the last. Any other statement runs at once and
// keeps its whole result.
//
// The transaction a cursor lives in belongs to the connection, which the
// statement tells when its cursor opens and closes and which tells the
// statement when that transaction ends.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qvl/host/drivers/PostgreSQLDriver.h"
#include "qvl/host/drivers/PostgreSQLPipeline.h"
#include "qvl/host/drivers/PostgreSQLTypes.h"
#include "qvl/host/sqlclient/SQLColumnPolicy.h"

namespace qvl {

class TPostgreSQLStatement : public TSQLStatement {
 public:
  // The first batch is what the caller reads first (one row unless told),
  // so that the first screen costs only itself however wide rows are;
  // later batches grow while the rows of the batch before stay under the
  // byte budget, down to one row at a time. Larger batches cost more than
  // they save: libpq takes a result of megabytes much more slowly per row
  // than one of a few hundred kilobytes.
  static constexpr int kFirstBatch = 1;
  static constexpr int kSecondBatch = 16;
  static constexpr int kMaxBatch = 1024;
  static constexpr std::size_t kBatchBytes = std::size_t{512} << 10;
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
  TTextRead ReadText(int Index, char* Buffer, std::size_t Capacity) override;
  bool RetypeColumn(int Index, TFieldType Type, int Size, int Precision) override;
  void SetFirstBatch(int Rows) override;

 protected:
  void Detach() override;

 private:
  friend class TPostgreSQLConnection;
  friend class TPostgreSQLBatch;
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
  // Readers for the common columns of a batch in binary form, which go
  // straight into the field's format (ChooseReaders picks them per batch);
  // a value they do not expect goes the general way (ReadValue).
  template <class T>
  static bool ReadSame(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadDate(TSQLStatement* Self, int Index, void* Buffer);
  static bool ReadText(TSQLStatement* Self, int Index, void* Buffer);
  void ChooseReaders();
  bool Read(int Index, void* Buffer);
  // A value of a result in binary form, which floats need to read exactly
  // whatever the session's extra_float_digits.
  void ReadBinary(int Index, void* Buffer);

  // Preparing: the text (and its DECLARE) on the server, described, in one
  // round trip; nothing when it is there already.
  void Prepare();
  // The same for a text with too many parameters to describe at once.
  void PrepareManyParams();
  // Learns the parameter types of a statement with too many to describe,
  // and returns a description of its result columns.
  TPostgreSQLConnection::Result DescribeManyParams();
  // Queues the run of the prepared text (or of its DECLARE): by name, or
  // under transaction pooling parsed anew, since a name would outlive the
  // transaction on a server the pooler hands to someone else.
  int SendRun(TPostgreSQLPipeline& P, bool Declare, const Bound& B, int ResultFormat) const;
  // Forgets the prepared statements (dropped on the server once it allows).
  void Unprepare(bool Drop);

  // Describing a result's columns: their base columns and their types
  // (domains resolved) from the catalog, asked in a pipeline that may carry
  // other commands, then one description each.
  struct TCatalog {
    int Tables = -1, Types = -1;  // the commands' indexes; -1: not asked
  };
  TCatalog AskCatalog(TPostgreSQLPipeline& P, const PGresult* Description) const;
  void DescribeColumns(const PGresult* Description, TPostgreSQLPipeline& P, const TCatalog& C);
  // Asks the catalog and describes, in a round trip of its own.
  void DescribeColumnsNow(const PGresult* Description);
  // The result format of a FETCH: binary when the columns allow it.
  int ResultFormat() const;
  static bool BinaryResults(const std::vector<pgtype::TBinaryKind>& Kinds,
                            const std::vector<bool>& Bytea);
  bool ShapeChanged(const PGresult* Rows) const;
  // Whether Error says that a table changed under the prepared plan or the
  // session forgot its prepared statements: the text is prepared anew.
  static bool StalePlan(const ESQLDatabaseError& Error, bool& Changed);
  // Runs Body; when the server refuses a cached plan because a table
  // changed under it, prepares the text again and runs Body once more.
  template <class Body>
  auto WithFreshPlan(Body&& F) -> decltype(F());

  // Reading. A FETCH is sent (with what the transaction needs around it)
  // and its answer taken later or at once.
  struct TFetch {
    std::unique_ptr<TPostgreSQLPipeline> Pipeline;
    int Fetch = -1, Wrote = -1;
    bool Guarded = false;  // under a savepoint, beside other cursors
    int Asked = 0;
  };
  TFetch SendFetch();
  // Takes the FETCH's rows into FBatch (or, ahead, FAhead's slot); true
  // when it wrote in the reading transaction, which must then commit.
  // Raises its error after ending what it failed.
  bool TakeFetch(TFetch& F, TPostgreSQLConnection::Result& Rows);
  bool FetchBatch();
  // After a batch: the next size, and the FETCH ahead once batches are full.
  void BatchTaken(const PGresult* Rows, int Asked);
  void FetchAhead();
  // Called by the connection before anything else uses the session.
  void TakeAhead();
  void CommitWrites();
  // Declares the cursor and fetches its first batch (see OpenCursor).
  void OpenCursor(const Bound& B, bool Again);
  void CloseServerCursor();
  // Reads the cursor's rest into FDrained and closes it, so that its
  // transaction may end with nothing left in the session.
  // Returns the error that ended the transaction, empty when none did.
  std::string Drain();
  // The rest of the rows is gone; reading past those already here raises Why.
  void Lose(const std::string& Why);

  std::string FSQL;
  std::string FName, FDeclareName, FCursorName;
  std::string FDeclareSQL;  // the DECLARE's text
  // Rows read to the end into the client before the cursor's transaction
  // ended (under transaction pooling), taken before anything else.
  std::vector<TPostgreSQLConnection::Result> FDrained;
  bool FPrepared = false;
  bool FMayBeCursor = false;
  bool FDescribed = false;                     // the columns are known
  TPostgreSQLConnection::Result FDescription;  // of the prepared text, until then
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
  TPostgreSQLConnection::Result FRetired;  // the batch before, freed with the next
  int FRow = -1;
  int FBatchRows = 0;
  int FBatchSize = kFirstBatch;
  int FFirstBatch = kFirstBatch;
  int FLastAsked = 0;   // the rows the last FETCH asked for
  bool FWrote = false;  // this cursor wrote: no FETCH goes ahead of need
  // The FETCH sent ahead, and what came of it once taken.
  TFetch FAhead;
  TPostgreSQLConnection::Result FAheadRows;
  std::unique_ptr<ESQLDatabaseError> FAheadError;
};

}  // namespace qvl
