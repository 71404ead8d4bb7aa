#include "qvl/host/sqlclient/SQLDataSet.h"

#include <climits>
#include <cstring>
#include <optional>

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/sqlclient/SQLColumnPolicy.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLDriver.h"
#include "qvl/host/sqlclient/SQLText.h"
#include "qvl/host/sqlclient/SQLValues.h"

namespace qvl {

namespace {

// Field types that share one native buffer format.
enum TFormatClass {
  fcString = 1,
  fcDecimal,
  fcBlob,
  fcTimestamp,
  fcInt32,
  fcDouble,
  fcOther = 100
};
int FormatClass(TFieldType Type) {
  if (IsBlobType(Type)) return fcBlob;
  if (IsStringType(Type)) return fcString;
  if (IsExactNumericType(Type)) return fcDecimal;
  switch (Type) {
    case ftDateTime:
    case ftTimeStamp:
      return fcTimestamp;
    case ftInteger:
    case ftAutoInc:
      return fcInt32;
    case ftFloat:
    case ftCurrency:
      return fcDouble;
    default:
      return static_cast<int>(fcOther) + static_cast<int>(Type);
  }
}

int ColumnDataSize(const TSQLColumnDesc& C) {
  return static_cast<int>(sqlpolicy::ColumnBufferSize(C));
}

bool IsInput(TParamType Type) {
  return Type == ptInput || Type == ptInputOutput || Type == ptUnknown;
}

bool IsOutput(TParamType Type) {
  return Type == ptOutput || Type == ptInputOutput || Type == ptResult;
}

void CopyInputs(const TParams& All, TParams& Into) {
  Into.Clear();
  for (int i = 0; i < All.Count(); ++i) {
    const TParam* p = All.Items(i);
    if (IsInput(p->GetParamType()))
      Into.CreateParam(p->GetDataType(), p->GetName(), p->GetParamType())->AssignValue(*p);
  }
}

std::vector<TParamType> ModesOf(const TParams& All) {
  std::vector<TParamType> modes;
  for (int i = 0; i < All.Count(); ++i) modes.push_back(All.Items(i)->GetParamType());
  return modes;
}

}  // namespace

// ---- TCustomSQLDataSet ------------------------------------------------------------------

TCustomSQLDataSet::TCustomSQLDataSet(TComponent* AOwner)
    : TDataSet(AOwner), FParams(std::make_unique<TParams>()) {}

TCustomSQLDataSet::~TCustomSQLDataSet() {
  FBatch.reset();
  DestroyingDataSet();
  Unprepare();
  if (FSQLConnection != nullptr) {
    FSQLConnection->UnregisterClient(this);
    RemoveFreeNotification(FSQLConnection);
    FSQLConnection = nullptr;
  }
}

void TCustomSQLDataSet::SetSQLConnection(TSQLConnection* Value) {
  if (Value == FSQLConnection) return;
  Close();
  Unprepare();
  FBatch.reset();
  if (FSQLConnection != nullptr) {
    FSQLConnection->UnregisterClient(this);
    RemoveFreeNotification(FSQLConnection);
  }
  FSQLConnection = Value;
  if (Value != nullptr) {
    Value->RegisterClient(this);
    Value->FreeNotification(this);
  }
}

void TCustomSQLDataSet::Notification(TComponent* AComponent, TOperation Operation) {
  TDataSet::Notification(AComponent, Operation);
  if (Operation != opRemove || AComponent == nullptr ||
      AComponent != static_cast<TComponent*>(FSQLConnection))
    return;
  try {
    SetSQLConnection(nullptr);
  } catch (...) {
    // The connection goes whatever happens; the dataset must let go of it.
    FSQLConnection = nullptr;
    ApplicationHandleException(this);
  }
}

void TCustomSQLDataSet::Disconnecting() {
  FBatch.reset();
  try {
    Close();
  } catch (...) {
    ApplicationHandleException(this);
  }
  Unprepare();
}

void TCustomSQLDataSet::SessionLost() {
  FBatch.reset();
  FCursorLost = FCursorLost || FCursorOpen;
  FCursorOpen = false;
}

void TCustomSQLDataSet::CursorLost() const {
  throw ESQLDatabaseError(SCursorSessionLost, 0, "08003");
}

TSQLDriverConnection& TCustomSQLDataSet::Driver() {
  if (FSQLConnection == nullptr) DatabaseError(SMissingSQLConnection, this);
  return FSQLConnection->Connected();
}

bool TCustomSQLDataSet::FoldsNamesLower() const {
  return FSQLConnection != nullptr && SameTextAscii(FSQLConnection->GetDriverName(), "PostgreSQL");
}

void TCustomSQLDataSet::SetQueryText(const std::string& Text) {
  if (!FParamCheck) {
    SetFCommandText(Text);
    return;
  }
  TParams fresh;
  std::string command = ParseSQLParams(
      Text, &fresh, FoldsNamesLower() ? TSQLDialect::PostgreSQL : TSQLDialect::SQLite);
  int unnamed = 0;
  for (int i = 0; i < fresh.Count(); ++i) {
    TParam* p = fresh.Items(i);
    const TParam* old = nullptr;
    if (!p->GetName().empty()) {
      old = FParams->FindParam(p->GetName());
    } else {
      for (int k = 0, seen = 0; k < FParams->Count(); ++k)
        if (FParams->Items(k)->GetName().empty() && seen++ == unnamed) {
          old = FParams->Items(k);
          break;
        }
      ++unnamed;
    }
    if (old != nullptr) p->AssignValue(*old);
  }
  FParams->Assign(fresh);
  SetFCommandText(command);
}

void TCustomSQLDataSet::PrepareStatement() {
  if (FCommandText.empty()) DatabaseError(SNoSQLStatement, this);
  TSQLDriverConnection& driver = Driver();
  if (FStatement != nullptr && FStatement->Attached() && FStatement->Text() == FCommandText) return;
  if (FStatement != nullptr) {
    FCursorOpen = false;
    driver.Recycle(std::move(FStatement));
  }
  FStatement = driver.Prepare(FCommandText);
}

void TCustomSQLDataSet::CheckStatement() {
  if (FStatement != nullptr && FStatement->Attached() && FStatement->Text() == FCommandText) return;
  PrepareStatement();
}

void TCustomSQLDataSet::Unprepare() {
  FCursorOpen = false;
  FPreparedForOpen = false;
  if (FStatement == nullptr) return;
  std::unique_ptr<TSQLStatement> statement = std::move(FStatement);
  if (FSQLConnection != nullptr && FSQLConnection->GetConnected() && statement->Attached())
    FSQLConnection->Driver().Recycle(std::move(statement));
}

void TCustomSQLDataSet::SetPrepared(bool Value) {
  if (Value) {
    CheckStatement();
    FPreparedForOpen = false;
  } else {
    Close();
    Unprepare();
  }
}

const TParams* TCustomSQLDataSet::BindParams() {
  return FParams.get();
}

std::int64_t TCustomSQLDataSet::ExecSQL() {
  CheckInactive();
  const bool implicit = FStatement == nullptr;
  CheckStatement();
  std::int64_t rows = FStatement->Execute(BindParams());
  if (implicit) Unprepare();
  return rows;
}

// ---- row source -----------------------------------------------------------------------

// The field's buffer differs in size from the column's: read whole, then
// copy what fits, raising for what does not. Called for every such value of
// every row, so the column's description is only looked at to report a value
// that does not fit.
bool TCustomSQLDataSet::ReadResized(int FieldNo, void* Buffer) {
  const TResizedField& r = FResizedFields[static_cast<std::size_t>(FieldNo)];
  const auto columnSize = static_cast<std::size_t>(r.ColumnSize);
  const auto fieldSize = static_cast<std::size_t>(r.FieldSize);
  if (r.String) {
    switch (FStatement->ReadText(FieldNo - 1, static_cast<char*>(Buffer), fieldSize)) {
      case TSQLStatement::trRead:
        return true;
      case TSQLStatement::trNull:
        return false;
      case TSQLStatement::trOther:
        break;
    }
  }
  if (FScratch.size() < columnSize) FScratch.resize(columnSize);
  // Fixed-width values are compared byte by byte below, so what the reader
  // leaves untouched must be zero; text ends at its terminator.
  if (!r.Text) std::memset(FScratch.data(), 0, columnSize);
  if (!FStatement->GetData(FieldNo - 1, FScratch.data())) return false;
  auto* out = static_cast<std::uint8_t*>(Buffer);
  auto doesNotFit = [&](int Size, std::optional<int> Precision, const std::string& Value) {
    TSQLColumnDesc field = FStatement->Column(FieldNo - 1);
    if (const TField* f = FieldByNumber(FieldNo)) field.Name = f->GetFieldName();
    field.Size = Size;
    if (Precision) field.Precision = *Precision;
    sqlvalue::DoesNotFit(field, Value);
  };
  if (r.Text) {
    // One pass copies up to and with the terminator, or finds none in room.
    if (::memccpy(out, FScratch.data(), 0, std::min(fieldSize, columnSize)) == nullptr) {
      const auto* chars = reinterpret_cast<const char*>(FScratch.data());
      doesNotFit(
          r.FieldSize - 1, r.FieldSize - 3,
          "'" + std::string(chars, std::min<std::size_t>(strnlen(chars, columnSize), 40)) + "'");
    }
    return true;
  }
  if (FStatement->Column(FieldNo - 1).DataType == ftVarBytes) {
    std::uint16_t n;
    std::memcpy(&n, FScratch.data(), 2);
    if (n + 2u > fieldSize) doesNotFit(r.FieldSize - 2, std::nullopt, std::to_string(n) + " bytes");
    std::memcpy(out, FScratch.data(), n + 2u);
    return true;
  }
  // Fixed-width bytes: zeros beyond the shorter width carry nothing.
  for (std::size_t i = fieldSize; i < columnSize; ++i)
    if (FScratch[i] != 0)
      doesNotFit(r.FieldSize, std::nullopt, std::to_string(columnSize) + " bytes");
  std::memcpy(out, FScratch.data(), std::min(columnSize, fieldSize));
  if (fieldSize > columnSize) std::memset(out + columnSize, 0, fieldSize - columnSize);
  return true;
}

bool TCustomSQLDataSet::GetFieldData(TField* Field, void* Buffer) {
  if (Field == nullptr || Field->GetFieldNo() <= 0) return false;
  return ReadColumn(Field->GetFieldNo(), Buffer);
}

void TCustomSQLDataSet::FreeCursor() {
  if (FStatement != nullptr) FStatement->CloseCursor();
  FCursorOpen = false;
}

void TCustomSQLDataSet::ExecuteStatement() {
  CheckStatement();
  FCursorOpen = false;
  FCursorLost = false;
  FStatement->SetFirstBatch(FirstBatchRows());
  FStatement->Open(BindParams());
  FCursorOpen = true;
  FAdvanced = false;
  // The fields were made for the columns of the first run; a table changed
  // since then must still fit them.
  if (GetActive()) BindFieldsToColumns();
}

// ---- opening and closing ------------------------------------------------------------------

TRecordBuffer TCustomSQLDataSet::AllocRecordBuffer() {
  return new std::uint8_t[1]{};
}

void TCustomSQLDataSet::FreeRecordBuffer(TRecordBuffer& Buffer) {
  delete[] Buffer;
  Buffer = nullptr;
}

void TCustomSQLDataSet::InternalOpen() {
  if (FStatement == nullptr || !FStatement->Attached() || FStatement->Text() != FCommandText) {
    const bool explicitly = FStatement != nullptr && !FPreparedForOpen;
    PrepareStatement();
    FPreparedForOpen = !explicitly;
  }
  FStatement->SetFirstBatch(FirstBatchRows());
  FStatement->Open(BindParams());
  FCursorOpen = true;
  FCursorLost = false;
  FEndOfData = false;
  FAdvanced = false;
  InitFieldDefs();
  CreateAndBindFields();
  BindFieldsToColumns();
  SetUniDirectional(true);
}

void TCustomSQLDataSet::BindFieldsToColumns() {
  FResizedFields.assign(static_cast<std::size_t>(FStatement->ColumnCount()) + 1,
                        TResizedField{0, 0, false, false});
  FAnyResized = false;
  for (int i = 0; i < Fields().Count(); ++i) {
    TField* f = Fields().Items(i);
    if (f->GetFieldKind() != fkData || f->GetFieldNo() <= 0) continue;
    const TSQLColumnDesc& c = FStatement->Column(f->GetFieldNo() - 1);
    if (c.DataType == ftVariant && f->GetDataType() != ftVariant)
      FStatement->RetypeColumn(f->GetFieldNo() - 1, f->GetDataType(), f->GetSize(),
                               IsExactNumericType(f->GetDataType()) ? f->GetDataSize() - 3 : 0);
    if (FormatClass(f->GetDataType()) != FormatClass(c.DataType))
      DatabaseErrorFmt(
          SFieldTypeMismatch,
          {f->GetFieldName(), FieldTypeName(f->GetDataType()), FieldTypeName(c.DataType)}, this);
    if (FormatClass(c.DataType) != fcBlob && f->GetDataSize() != ColumnDataSize(c)) {
      const int format = FormatClass(c.DataType);
      FResizedFields[static_cast<std::size_t>(f->GetFieldNo())] =
          TResizedField{f->GetDataSize(), ColumnDataSize(c),
                        format == fcString || format == fcDecimal, format == fcString};
      FAnyResized = true;
    }
  }
}

void TCustomSQLDataSet::InternalInitFieldDefs() {
  FieldDefs().Clear();
  if (FStatement == nullptr) return;
  const bool foldLower = FoldsNamesLower();
  for (int i = 0; i < FStatement->ColumnCount(); ++i) {
    const TSQLColumnDesc& c = FStatement->Column(i);
    // Field names must be unique: "ID", "ID_1", ...
    std::string base = c.Name.empty() ? "COLUMN" + std::to_string(i + 1) : c.Name;
    std::string name = base;
    for (int k = 1; FieldDefs().Find(name) != nullptr; ++k) name = base + "_" + std::to_string(k);
    TFieldDef* def = FieldDefs().Add(name, c.DataType, c.Size, c.Required);
    def->Precision = c.Precision;
    def->InKey = c.InKey;
    def->InWhere = c.Comparable;
    def->ReadOnly = c.ReadOnly;
    def->Origin = c.OriginColumn.empty() ? "" : CatalogSQLName({c.OriginColumn}, foldLower);
  }
}

void TCustomSQLDataSet::InternalClose() {
  FreeCursor();
  FCursorLost = false;
  FResizedFields.clear();
  FAnyResized = false;
  if (FPreparedForOpen) Unprepare();
}

void TCustomSQLDataSet::InternalFirst() {
  // Forward only: going back to the first row runs the statement again.
  if (FCursorOpen && FAdvanced) ExecuteStatement();
}

void TCustomSQLDataSet::InternalLast() {
  DatabaseError(SDataSetUnidirectional, this);
}

// ---- provider support -------------------------------------------------------------------------

bool TCustomSQLDataSet::PSInTransaction() {
  return FSQLConnection != nullptr && FSQLConnection->InTransaction();
}

void TCustomSQLDataSet::PSStartTransaction() {
  Driver().StartTransaction();
}

void TCustomSQLDataSet::PSEndTransaction(bool Commit) {
  TSQLDriverConnection& driver = Driver();
  if (Commit)
    driver.Commit();
  else
    driver.Rollback();
}

int TCustomSQLDataSet::PSExecuteStatement(const std::string& SQL, TParams* Params) {
  std::int64_t rows = Driver().Execute(SQL, Params);
  return rows > INT_MAX ? INT_MAX : static_cast<int>(rows);
}

int TCustomSQLDataSet::PSBatchCapacity() {
  return FSQLConnection != nullptr ? Driver().BatchCapacity() : 1;
}

void TCustomSQLDataSet::PSBatchAdd(const std::string& SQL, TParams* Params) {
  if (FBatch == nullptr) FBatch = Driver().NewBatch();
  FBatch->Add(SQL, Params);
}

void TCustomSQLDataSet::PSBatchRun(std::vector<TBatchOutcome>& Outcomes) {
  Outcomes.clear();
  if (FBatch == nullptr) return;
  // The batch goes with its run: nothing of it outlives the connection.
  const std::unique_ptr<TSQLBatch> batch = std::move(FBatch);
  batch->Run(Outcomes);
}

std::string TCustomSQLDataSet::PSInDoubtCommit() {
  if (FSQLConnection == nullptr || FSQLConnection->FDriver == nullptr) return "";
  return FSQLConnection->FDriver->InDoubtCommit();
}

TCommitOutcome TCustomSQLDataSet::PSCommitOutcome(const std::string& Id) {
  return Driver().CommitOutcome(Id);
}

std::string TCustomSQLDataSet::CatalogTableName(std::vector<std::string> Parts) {
  if (!Parts.empty() && FSQLConnection != nullptr && FSQLConnection->GetConnected())
    Parts = FSQLConnection->Driver().CatalogTableName(std::move(Parts));
  return CatalogSQLName(Parts, FoldsNamesLower());
}

std::string TCustomSQLDataSet::ApplicationTableName(const std::string& Name) {
  try {
    return CatalogTableName(SplitSQLName(Name, FoldsNamesLower()));
  } catch (const EDatabaseError&) {
    return "";  // not a name: no table to write back to
  }
}

std::string TCustomSQLDataSet::TableCommandText(const std::string& Name) {
  const std::string quote = FSQLConnection != nullptr ? FSQLConnection->GetQuoteChar() : "\"";
  return "SELECT * FROM " + QuoteSQLName(SplitSQLName(Name, FoldsNamesLower()), quote);
}

std::string TCustomSQLDataSet::PSGetTableName() {
  return CatalogTableName(SimpleSelectTableParts(FCommandText, FoldsNamesLower()));
}

std::string TCustomSQLDataSet::PSGetQuoteChar() {
  return FSQLConnection != nullptr ? FSQLConnection->GetQuoteChar() : "\"";
}

// ---- TSQLDataSet ------------------------------------------------------------------------------

void TSQLDataSet::SetCommandType(TSQLCommandType Value) {
  if (Value == FCommandType) return;
  SetPrepared(false);
  FCommandType = Value;
  SetCommandText(FSourceText);
}

void TSQLDataSet::SetCommandText(const std::string& Value) {
  SetPrepared(false);
  FSourceText = Value;
  switch (FCommandType) {
    case ctQuery:
      SetQueryText(Value);
      break;
    case ctTable:
    case ctStoredProc:
      SetFCommandText("");
      break;  // made when prepared, by the connection's rules for names
  }
}

void TSQLDataSet::PrepareStatement() {
  if (FSourceText.empty() && GetCommandText().empty()) DatabaseError(SNoSQLStatement, this);
  if (FCommandType == ctStoredProc)
    SetFCommandText(Driver().StoredProcCall(FSourceText, ModesOf(Params())));
  else if (FCommandType == ctTable)
    SetFCommandText(TableCommandText(FSourceText));
  TCustomSQLDataSet::PrepareStatement();
}

const TParams* TSQLDataSet::BindParams() {
  if (FCommandType != ctStoredProc) return TCustomSQLDataSet::BindParams();
  CopyInputs(Params(), FInputs);
  return &FInputs;
}

std::string TSQLDataSet::PSGetTableName() {
  switch (FCommandType) {
    case ctTable:
      return ApplicationTableName(FSourceText);
    case ctStoredProc:
      return "";
    default:
      return TCustomSQLDataSet::PSGetTableName();
  }
}

// ---- TSQLQuery -------------------------------------------------------------------------------

TSQLQuery::TSQLQuery(TComponent* AOwner) : TCustomSQLDataSet(AOwner) {
  FSQL.SetOnChange([this](TObject* Sender) { QueryChanged(Sender); });
}

void TSQLQuery::QueryChanged(TObject*) {
  if (!IsReading()) SetPrepared(false);
  SetQueryText(FSQL.GetText());
}

std::string TSQLQuery::PSGetTableName() {
  return TCustomSQLDataSet::PSGetTableName();
}

// ---- TSQLStoredProc --------------------------------------------------------------------------

void TSQLStoredProc::SetStoredProcName(const std::string& Value) {
  if (Value == FStoredProcName) return;
  SetPrepared(false);
  FStoredProcName = Value;
  SetFCommandText("");
}

void TSQLStoredProc::PrepareStatement() {
  if (FStoredProcName.empty()) DatabaseError(SNoStoredProcName, this);
  SetFCommandText(Driver().StoredProcCall(FStoredProcName, ModesOf(Params())));
  TCustomSQLDataSet::PrepareStatement();
}

const TParams* TSQLStoredProc::BindParams() {
  CopyInputs(Params(), FInputs);
  return &FInputs;
}

std::int64_t TSQLStoredProc::ExecProc() {
  CheckInactive();
  const bool implicit = Statement() == nullptr;
  if (implicit || GetCommandText().empty()) PrepareStatement();
  bool outputs = false;
  for (int i = 0; i < Params().Count(); ++i)
    outputs = outputs || IsOutput(Params().Items(i)->GetParamType());
  std::int64_t rows = 0;
  TSQLStatement* s = Statement();
  if (!outputs) {
    rows = s->Execute(BindParams());
  } else {
    // Output values come back as the columns of the first row: by name
    // where a column has the parameter's name, else in order.
    s->Open(BindParams());
    if (s->Next()) {
      std::vector<bool> used(static_cast<std::size_t>(s->ColumnCount()), false);
      std::vector<TParam*> unmatched;
      for (int i = 0; i < Params().Count(); ++i) {
        TParam* p = Params().Items(i);
        if (!IsOutput(p->GetParamType())) continue;
        int column = -1;
        for (int c = 0; c < s->ColumnCount() && column < 0; ++c)
          if (!used[static_cast<std::size_t>(c)] && SameTextAscii(s->Column(c).Name, p->GetName()))
            column = c;
        if (column < 0) {
          unmatched.push_back(p);
          continue;
        }
        used[static_cast<std::size_t>(column)] = true;
        p->SetValue(s->GetValue(column));
      }
      int next = 0;
      for (TParam* p : unmatched) {
        while (next < s->ColumnCount() && used[static_cast<std::size_t>(next)]) ++next;
        if (next >= s->ColumnCount()) break;
        used[static_cast<std::size_t>(next)] = true;
        p->SetValue(s->GetValue(next++));
      }
    }
    s->CloseCursor();
  }
  if (implicit) SetPrepared(false);
  return rows;
}

// ---- TSQLTable --------------------------------------------------------------------------------

void TSQLTable::SetTableName(const std::string& Value) {
  if (Value == FTableName) return;
  SetPrepared(false);
  FTableName = Value;
  SetFCommandText("");
}

void TSQLTable::PrepareStatement() {
  if (FTableName.empty()) DatabaseError(SNoTableName, this);
  SetFCommandText(TableCommandText(FTableName));
  TCustomSQLDataSet::PrepareStatement();
}

std::string TSQLTable::PSGetTableName() {
  return ApplicationTableName(FTableName);
}

}  // namespace qvl
