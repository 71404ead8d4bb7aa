#include "qvl/host/sqlclient/SQLConnection.h"

#include <algorithm>

#include "qvl/host/sqlclient/SQLConsts.h"
#include "qvl/host/sqlclient/SQLDataSet.h"
#include "qvl/host/sqlclient/SQLDriver.h"

namespace qvl {

TSQLConnection::TSQLConnection(TComponent* AOwner) : TComponent(AOwner) {}

TSQLConnection::~TSQLConnection() {
  // Datasets hear of the removal while the session still runs, so that they
  // close and hand back their statements.
  Destroying();
  while (!FDataSets.empty()) FDataSets.back()->SetSQLConnection(nullptr);
  FBeforeDisconnect = nullptr;
  FAfterDisconnect = nullptr;
  FDriver.reset();
}

void TSQLConnection::CheckInactive() const {
  if (GetConnected()) DatabaseError(SConnectionOpen, this);
}

void TSQLConnection::SetDriverName(const std::string& Value) {
  if (Value == FDriverName) return;
  CheckInactive();
  FDriverName = Value;
}

void TSQLConnection::SetConnectionString(const std::string& Value) {
  if (Value == FConnectionString) return;
  CheckInactive();
  FConnectionString = Value;
}

void TSQLConnection::SetConnected(bool Value) {
  if (IsLoading() && IsReading()) {
    FStreamedConnected = Value;
    return;
  }
  if (Value == GetConnected() && (Value || FDriver == nullptr)) return;
  // A lost session is closed before connecting again.
  if (FDriver != nullptr) Disconnect();
  if (Value) Connect();
}

bool TSQLConnection::GetConnected() const {
  return FDriver != nullptr && !FDriver->Lost();
}

void TSQLConnection::Connect() {
  if (FBeforeConnect) FBeforeConnect(this);
  TStringList params;
  params.Assign(FParams);
  if (!FConnectionString.empty()) params.Insert(0, "ConnectionString=" + FConnectionString);
  FDriver = OpenSQLDriverConnection(FDriverName, params);
  if (FAfterConnect) FAfterConnect(this);
}

void TSQLConnection::Disconnect() {
  if (FBeforeDisconnect) FBeforeDisconnect(this);
  std::vector<TCustomSQLDataSet*> clients = FDataSets;
  for (TCustomSQLDataSet* ds : clients) ds->Disconnecting();
  FDriver.reset();
  if (FAfterDisconnect) FAfterDisconnect(this);
}

void TSQLConnection::Loaded() {
  TComponent::Loaded();
  if (FStreamedConnected) {
    FStreamedConnected = false;
    SetConnected(true);
  }
}

TSQLDriverConnection& TSQLConnection::Driver() const {
  if (!GetConnected()) DatabaseError(SConnectionClosed, this);
  return *FDriver;
}

TSQLDriverConnection& TSQLConnection::Connected() {
  // Connecting again after a lost session closes every dataset of the
  // connection. Done implicitly while one is open, that would throw away its
  // cached records and pending updates in the middle of an operation: the
  // application reconnects explicitly (SetConnected, or Open once its
  // datasets are closed).
  if (FDriver != nullptr && FDriver->Lost()) {
    for (TCustomSQLDataSet* ds : FDataSets)
      if (ds->GetActive()) DatabaseError(SConnectionClosed, this);
  }
  SetConnected(true);
  return *FDriver;
}

void TSQLConnection::StartTransaction() {
  Connected().StartTransaction();
}

void TSQLConnection::Commit() {
  Driver().Commit();
}

void TSQLConnection::Rollback() {
  Driver().Rollback();
}

bool TSQLConnection::InTransaction() const {
  return GetConnected() && FDriver->InTransaction();
}

std::int64_t TSQLConnection::ExecuteDirect(const std::string& SQL) {
  return Connected().ExecuteDirect(SQL);
}

std::int64_t TSQLConnection::Execute(const std::string& SQL, const TParams* Params) {
  return Connected().Execute(SQL, Params);
}

std::string TSQLConnection::GetQuoteChar() const {
  return FDriver != nullptr ? FDriver->GetQuoteChar() : "\"";
}

TCustomSQLDataSet* TSQLConnection::DataSets(int Index) const {
  if (Index < 0 || Index >= DataSetCount()) throw EListError(SDataSetIndexError);
  return FDataSets[static_cast<std::size_t>(Index)];
}

void TSQLConnection::CloseDataSets() {
  std::vector<TCustomSQLDataSet*> clients = FDataSets;
  for (TCustomSQLDataSet* ds : clients) ds->Close();
}

void TSQLConnection::RegisterClient(TCustomSQLDataSet* DataSet) {
  if (std::find(FDataSets.begin(), FDataSets.end(), DataSet) == FDataSets.end())
    FDataSets.push_back(DataSet);
}

void TSQLConnection::UnregisterClient(TCustomSQLDataSet* DataSet) {
  FDataSets.erase(std::remove(FDataSets.begin(), FDataSets.end(), DataSet), FDataSets.end());
}

void TSQLConnection::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != opRemove) return;
  FDataSets.erase(std::remove_if(FDataSets.begin(), FDataSets.end(),
                                 [&](TCustomSQLDataSet* ds) {
                                   return static_cast<TComponent*>(ds) == AComponent;
                                 }),
                  FDataSets.end());
}

}  // namespace qvl
