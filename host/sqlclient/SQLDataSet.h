#pragma once
// The SQL datasets: a statement of a TSQLConnection read as a dataset.
//
// TCustomSQLDataSet prepares its command text, executes it and reads its
// rows through a forward-only server cursor. On its own it is
// unidirectional and read-only: each GetRecord in gmNext moves the server
// cursor one row on (no record buffer is needed) and field values are read
// from the current server row. Descendants that cache rows call these
// row-source operations by qualified name:
//
//   GetRecord(nullptr, gmNext, false)  one row further: grOK, or grEOF at the end
//   GetFieldData(FieldNo, Buffer)      the current row's value; false for null
//   GetBlobFieldData(FieldNo, Bytes)   the current row's bytes; their count
//   FreeCursor()                       releases the server cursor
//   ExecuteStatement()                 runs the prepared statement again
//   GetEndOfData()/SetEndOfData()      set when GetRecord met the end,
//                                      cleared when it read a row
//
// Opening (InternalOpen) prepares the statement if needed, executes it and
// builds the fields from the result's columns: primary-key columns carry
// pfInKey, columns of a type without equality lack pfInWhere, Origin names
// the base column, computed columns are ReadOnly, and each column gets the
// field type that holds its values without loss.
// Statements prepared only for opening are released on closing.
//
// Command text uses "?" markers, bound to Params in order. Errors of the
// database pass through as ESQLDatabaseError.
//
//   TSQLDataSet     CommandType (query, table or stored procedure) and
//                   CommandText
//   TSQLQuery       its SQL list; the list's change notification
//                   (QueryChanged, replaceable with SQL().SetOnChange) sets
//                   the command text and, with ParamCheck, rebuilds Params
//                   from ":name" and "?" markers
//   TSQLStoredProc  calls StoredProcName with Params (PostgreSQL functions
//                   and procedures; SQLite has none and raises)
//   TSQLTable       every row of TableName, an identifier (parts quoted by
//                   the connection's rules when prepared), never SQL text

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/host/sqlclient/SQLDriver.h"

#pragma GCC visibility push(default)

namespace qvl {

class TSQLConnection;

class TCustomSQLDataSet : public TDataSet {
 public:
  explicit TCustomSQLDataSet(TComponent* AOwner = nullptr);
  ~TCustomSQLDataSet() override;

  TSQLConnection* GetSQLConnection() const { return FSQLConnection; }
  // Closes and unprepares the dataset when the connection changes.
  virtual void SetSQLConnection(TSQLConnection* Value);

  TParams& Params() { return *FParams; }
  const TParams& Params() const { return *FParams; }
  bool GetParamCheck() const { return FParamCheck; }
  void SetParamCheck(bool Value) { FParamCheck = Value; }
  // The text that is prepared.
  const std::string& GetCommandText() const { return FCommandText; }

  bool GetPrepared() const { return FStatement != nullptr; }
  // False closes the dataset and releases the statement.
  void SetPrepared(bool Value);
  // Runs the command text without a result set; the rows it affected.
  virtual std::int64_t ExecSQL();

  // ---- row source ----------------------------------------------------------------
  // Inline, as GetFieldData and GetBlobFieldData: called once per row and
  // per value by caching descendants.
  TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override;
  bool GetFieldData(TField* Field, void* Buffer) override;
  // Inline: caching descendants call it, qualified, for every value.
  bool GetFieldData(int FieldNo, void* Buffer) override { return ReadColumn(FieldNo, Buffer); }
  int GetBlobFieldData(int FieldNo, TBlobByteData& Buffer) override {
    if (FStatement == nullptr || !FStatement->HasRow()) {
      Buffer.Clear();
      return 0;
    }
    FStatement->GetBlob(FieldNo - 1, Buffer);
    const std::size_t n = Buffer.Length();
    return n > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n);
  }
  void FreeCursor();
  void ExecuteStatement();
  bool GetEndOfData() const { return FEndOfData; }
  void SetEndOfData(bool Value) { FEndOfData = Value; }

  // ---- provider support ------------------------------------------------------------
  bool PSInTransaction() override;
  void PSStartTransaction() override;
  void PSEndTransaction(bool Commit) override;
  int PSExecuteStatement(const std::string& SQL, TParams* Params) override;
  int PSBatchCapacity() override;
  void PSBatchAdd(const std::string& SQL, TParams* Params) override;
  void PSBatchRun(std::vector<TBatchOutcome>& Outcomes) override;
  std::string PSInDoubtCommit() override;
  TCommitOutcome PSCommitOutcome(const std::string& Id) override;
  std::string PSGetTableName() override;
  std::string PSGetQuoteChar() override;
  bool PSIsSQLBased() override { return true; }

  bool GetCanModify() override { return false; }

  // ---- the framework's operations ----------------------------------------------------
  TRecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(TRecordBuffer& Buffer) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() override { return FCursorOpen; }
  void InternalFirst() override;
  void InternalLast() override;
  void InternalInitFieldDefs() override;

 protected:
  // Prepares the command text (opening the connection when needed).
  virtual void PrepareStatement();
  // The rows read first after the statement runs (0: all of them), so that
  // a driver reading in batches brings them in its first: one for this
  // dataset, which reads one row at a time.
  virtual int FirstBatchRows() { return 1; }
  // The command text, set without any notification or re-parse.
  void SetFCommandText(const std::string& Value) { FCommandText = Value; }
  // The parameters bound to the command text's markers.
  virtual const TParams* BindParams();
  // Whether the server lower-cases unquoted names (PostgreSQL does).
  bool FoldsNamesLower() const;
  // Table names: parts in catalog form (PSGetTableName), an application's
  // name in that form (empty when it is no name), and the text that reads
  // every row of the table named, each part quoted.
  std::string CatalogTableName(std::vector<std::string> Parts);
  std::string ApplicationTableName(const std::string& Name);
  std::string TableCommandText(const std::string& Name);
  // Sets the command text from query text: with ParamCheck, ":name" markers
  // become "?" and Params are rebuilt, keeping the values of parameters of
  // the same name (unnamed ones by position).
  void SetQueryText(const std::string& Text);
  TSQLStatement* Statement() const { return FStatement.get(); }
  TSQLDriverConnection& Driver();
  void CheckStatement();

  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  friend class TSQLConnection;
  // The connection is closing or going: close and let go of the statement.
  void Disconnecting();
  // The session was lost and another takes its place: the dataset stays
  // open, and a server cursor not read to its end is gone with the session.
  void SessionLost();
  [[noreturn]] void CursorLost() const;
  void Unprepare();
  // Checks, once per opening, that each data field can take its column's
  // values, and notes the fields whose buffers differ in size.
  void BindFieldsToColumns();
  bool ReadColumn(int FieldNo, void* Buffer);
  bool ReadResized(int FieldNo, void* Buffer);

  TSQLConnection* FSQLConnection = nullptr;
  std::unique_ptr<TParams> FParams;
  bool FParamCheck = true;
  std::string FCommandText;
  std::unique_ptr<TSQLStatement> FStatement;
  std::unique_ptr<TSQLBatch> FBatch;  // from the first PSBatchAdd to PSBatchRun
  bool FPreparedForOpen = false;      // prepared by InternalOpen, released by InternalClose
  bool FCursorOpen = false;
  bool FCursorLost = false;  // the open cursor went with a lost session
  bool FEndOfData = false;
  bool FAdvanced = false;  // rows were read since the statement last ran
  // Per field number (index 0 unused): how a field whose buffer differs in
  // size from its column's is read; FieldSize 0 for the others.
  struct TResizedField {
    int FieldSize;
    int ColumnSize;
    bool Text;    // zero-terminated text: what follows the terminator is not compared
    bool String;  // a string column, which the driver may read straight into the field's buffer
  };
  std::vector<TResizedField> FResizedFields;
  bool FAnyResized = false;
  std::vector<std::uint8_t> FScratch;
};

inline TGetResult TCustomSQLDataSet::GetRecord(TRecordBuffer, TGetMode GetMode, bool) {
  switch (GetMode) {
    case gmNext:
      if (!FCursorOpen || FStatement == nullptr) {
        if (FCursorLost) CursorLost();
        FEndOfData = true;
        return grEOF;
      }
      FAdvanced = true;
      if (FStatement->Next()) {
        FEndOfData = false;
        return grOK;
      }
      FEndOfData = true;
      return grEOF;
    case gmCurrent:
      return FCursorOpen && FStatement != nullptr && FStatement->HasRow() ? grOK : grEOF;
    default:
      return grBOF;
  }
}

// Every value of every row passes here: the common case stays short.
inline bool TCustomSQLDataSet::ReadColumn(int FieldNo, void* Buffer) {
  TSQLStatement* s = FStatement.get();
  if (s == nullptr || !s->HasRow()) return false;
  if (Buffer == nullptr) return !s->IsNull(FieldNo - 1);
  if (FAnyResized) {
    const auto k = static_cast<std::size_t>(FieldNo);
    if (k < FResizedFields.size() && FResizedFields[k].FieldSize != 0)
      return ReadResized(FieldNo, Buffer);
  }
  return s->GetData(FieldNo - 1, Buffer);
}

enum TSQLCommandType : std::uint8_t { ctQuery, ctTable, ctStoredProc };

class TSQLDataSet : public TCustomSQLDataSet {
 public:
  explicit TSQLDataSet(TComponent* AOwner = nullptr) : TCustomSQLDataSet(AOwner) {}
  TSQLCommandType GetCommandType() const { return FCommandType; }
  void SetCommandType(TSQLCommandType Value);
  const std::string& GetSourceText() const { return FSourceText; }
  // Closes and unprepares; with ParamCheck a query's Params are rebuilt.
  void SetCommandText(const std::string& Value);
  std::string PSGetTableName() override;

 protected:
  void PrepareStatement() override;
  const TParams* BindParams() override;

 private:
  TSQLCommandType FCommandType = ctQuery;
  std::string FSourceText;
  TParams FInputs;
};

class TSQLQuery : public TCustomSQLDataSet {
 public:
  explicit TSQLQuery(TComponent* AOwner = nullptr);
  TStringList& SQL() { return FSQL; }
  void SetSQL(const TStrings& Value) { FSQL.Assign(Value); }
  std::string PSGetTableName() override;

 protected:
  // The SQL list's change notification: closes and unprepares, sets the
  // command text, and with ParamCheck rebuilds Params keeping the values
  // of parameters of the same name.
  virtual void QueryChanged(TObject* Sender);

 private:
  TStringList FSQL;
};

class TSQLStoredProc : public TCustomSQLDataSet {
 public:
  explicit TSQLStoredProc(TComponent* AOwner = nullptr) : TCustomSQLDataSet(AOwner) {}
  const std::string& GetStoredProcName() const { return FStoredProcName; }
  void SetStoredProcName(const std::string& Value);
  // Runs the procedure and fills the output parameters from its first row.
  // Returns the rows it affected.
  std::int64_t ExecProc();
  std::int64_t ExecSQL() override { return ExecProc(); }
  std::string PSGetTableName() override { return ""; }

 protected:
  void PrepareStatement() override;
  const TParams* BindParams() override;

 private:
  std::string FStoredProcName;
  TParams FInputs;  // the input parameters of Params, in order
};

class TSQLTable : public TCustomSQLDataSet {
 public:
  explicit TSQLTable(TComponent* AOwner = nullptr) : TCustomSQLDataSet(AOwner) {}
  const std::string& GetTableName() const { return FTableName; }
  void SetTableName(const std::string& Value);
  std::string PSGetTableName() override;

 protected:
  void PrepareStatement() override;

 private:
  std::string FTableName;
};

}  // namespace qvl

#pragma GCC visibility pop
