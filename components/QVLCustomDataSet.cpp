#include "qvl/components/QVLCustomDataSet.h"

#include <typeinfo>

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/runtime/ScopedValue.h"
#include "qvl/host/sqlclient/SQLConnection.h"
#include "qvl/host/sqlclient/SQLDataSet.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"
#include "qvl/update/QVLDataSetAutoSQLGenerator.h"

namespace qvl {

template <class TSQLBase>
TQVLCustomDataSet<TSQLBase>::TQVLCustomDataSet(TComponent* AOwner)
    : TSQLBase(AOwner), FDataSetImpl(std::make_unique<TQVLDataSetImpl>(this, *this)) {}

template <class TSQLBase>
TQVLCustomDataSet<TSQLBase>::~TQVLCustomDataSet() {
  this->DestroyingDataSet();
}

template <class TSQLBase>
int TQVLCustomDataSet<TSQLBase>::GetPageSize() const {
  return FDataSetImpl->GetPageSize();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetPageSize(int Value) {
  FDataSetImpl->SetPageSize(Value);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetFetchOnDemand() const {
  return FDataSetImpl->GetFetchOnDemand();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetFetchOnDemand(bool Value) {
  FDataSetImpl->SetFetchOnDemand(Value);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetUniDirectional() const {
  return FDataSetImpl->GetUniDirectional();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetUniDirectional(bool Value) {
  FDataSetImpl->SetUniDirectional(Value);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetCachedUpdates() const {
  return FDataSetImpl->GetCachedUpdates();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetCachedUpdates(bool Value) {
  FDataSetImpl->SetCachedUpdates(Value);
}

template <class TSQLBase>
TQVLRecordUpdateOptions TQVLCustomDataSet<TSQLBase>::GetUpdateOptions() const {
  return FDataSetImpl->GetUpdateOptions();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetUpdateOptions(TQVLRecordUpdateOptions Value) {
  FDataSetImpl->SetUpdateOptions(Value);
}

template <class TSQLBase>
TUpdateMode TQVLCustomDataSet<TSQLBase>::GetUpdateMode() const {
  return FDataSetImpl->GetUpdateMode();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetUpdateMode(TUpdateMode Value) {
  FDataSetImpl->SetUpdateMode(Value);
}

template <class TSQLBase>
TQVLDataSetUpdateObject* TQVLCustomDataSet<TSQLBase>::GetUpdateObject() const {
  return FDataSetImpl->GetUpdateObject();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetUpdateObject(TQVLDataSetUpdateObject* Value) {
  FDataSetImpl->SetUpdateObject(Value);
}

template <class TSQLBase>
const TNotifyEvent& TQVLCustomDataSet<TSQLBase>::GetBeforeApplyUpdates() const {
  return FDataSetImpl->GetBeforeApplyUpdates();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetBeforeApplyUpdates(TNotifyEvent Value) {
  FDataSetImpl->SetBeforeApplyUpdates(std::move(Value));
}

template <class TSQLBase>
const TNotifyEvent& TQVLCustomDataSet<TSQLBase>::GetAfterApplyUpdates() const {
  return FDataSetImpl->GetAfterApplyUpdates();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetAfterApplyUpdates(TNotifyEvent Value) {
  FDataSetImpl->SetAfterApplyUpdates(std::move(Value));
}

template <class TSQLBase>
const TUpdateRecordEvent& TQVLCustomDataSet<TSQLBase>::GetOnUpdateRecord() const {
  return FDataSetImpl->GetOnUpdateRecord();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetOnUpdateRecord(TUpdateRecordEvent Value) {
  FDataSetImpl->SetOnUpdateRecord(std::move(Value));
}

template <class TSQLBase>
const TUpdateErrorEvent& TQVLCustomDataSet<TSQLBase>::GetOnUpdateError() const {
  return FDataSetImpl->GetOnUpdateError();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetOnUpdateError(TUpdateErrorEvent Value) {
  FDataSetImpl->SetOnUpdateError(std::move(Value));
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetUpdatesPending() const {
  return FDataSetImpl->GetUpdatesPending();
}

template <class TSQLBase>
TUpdateStatusSet TQVLCustomDataSet<TSQLBase>::GetStatusFilter() const {
  return FDataSetImpl->GetStatusFilter();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetStatusFilter(TUpdateStatusSet Value) {
  FDataSetImpl->SetStatusFilter(Value);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::ApplyUpdates() {
  FDataSetImpl->ApplyUpdates();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::CancelUpdates() {
  FDataSetImpl->CancelUpdates();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::RevertRecord() {
  FDataSetImpl->RevertRecord();
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::Locate(const std::string& KeyFields, const Variant& KeyValues,
                                         TLocateOptions Options) {
  return FDataSetImpl->Locate(KeyFields, KeyValues, Options, true);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::LocateNext(const std::string& KeyFields, const Variant& KeyValues,
                                             TLocateOptions Options) {
  return FDataSetImpl->Locate(KeyFields, KeyValues, Options, false);
}

template <class TSQLBase>
Variant TQVLCustomDataSet<TSQLBase>::Lookup(const std::string& KeyFields, const Variant& KeyValues,
                                            const std::string& ResultFields) {
  return FDataSetImpl->Lookup(KeyFields, KeyValues, ResultFields);
}

template <class TSQLBase>
TGetResult TQVLCustomDataSet<TSQLBase>::FetchNext() {
  TGetResult result;
  {
    TScopedValue<bool> fetching(FFetching, true);
    result = TSQLBase::GetRecord(nullptr, gmNext, false);
  }
  if (result != grOK)
    this->FreeCursor();
  else
    this->SetEndOfData(false);
  return result;
}

template <class TSQLBase>
TQVLSQLProcessor* TQVLCustomDataSet<TSQLBase>::GetSQLProcessorInUse() {
  // Asked once or twice for every record applied: a plain connection is
  // told by its type alone, as a cast that fails walks every base.
  TSQLConnection* plain = this->GetSQLConnection();
  if (plain != nullptr && typeid(*plain) != typeid(TSQLConnection))
    if (auto* connection = dynamic_cast<TQVLConnection*>(plain))
      return &connection->GetSQLProcessorInUse();
  return &TQVLSQLProcessor::DefaultProcessor();
}

template <class TSQLBase>
std::unique_ptr<TQVLDataSetUpdateObject> TQVLCustomDataSet<TSQLBase>::CreateAutoSQLGenerator() {
  return std::make_unique<TQVLDataSetAutoSQLGenerator>(nullptr);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetCanModify() {
  return FDataSetImpl->GetCanModify();
}

template <class TSQLBase>
std::string TQVLCustomDataSet<TSQLBase>::PSGetTableName() {
  TSQLConnection* connection = this->GetSQLConnection();
  const std::string driver = connection != nullptr ? connection->GetDriverName() : std::string();
  if (!FTableNameKnown || FTableNameText != this->GetCommandText() ||
      FTableNameConnection != connection || FTableNameDriver != driver) {
    FTableName = TSQLBase::PSGetTableName();
    FTableNameText = this->GetCommandText();
    FTableNameConnection = connection;
    FTableNameDriver = driver;
    FTableNameKnown = true;
  }
  return FTableName;
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::PSUpdateRecord(TUpdateKind UpdateKind, TDataSet* Delta) {
  return FDataSetImpl->UpdateRecord(UpdateKind, Delta);
}

template <class TSQLBase>
int TQVLCustomDataSet<TSQLBase>::GetRecordCount() {
  return FDataSetImpl->GetRecordCount();
}

template <class TSQLBase>
int TQVLCustomDataSet<TSQLBase>::GetRecNo() {
  return FDataSetImpl->GetRecNo();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetRecNo(int Value) {
  FDataSetImpl->SetRecNo(Value);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InitRecord(TRecordBuffer Buffer) {
  FDataSetImpl->InitRecord(Buffer);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalCancel() {
  FDataSetImpl->InternalCancel();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalEdit() {
  FDataSetImpl->InternalEdit();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalInsert() {
  FDataSetImpl->InternalInsert();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalRefresh() {
  FDataSetImpl->InternalRefresh();
}

template <class TSQLBase>
TRecordBuffer TQVLCustomDataSet<TSQLBase>::AllocRecordBuffer() {
  return FDataSetImpl->AllocRecordBuffer();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::FreeRecordBuffer(TRecordBuffer& Buffer) {
  FDataSetImpl->FreeRecordBuffer(Buffer);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::GetBookmarkData(TRecordBuffer Buffer, void* Data) {
  FDataSetImpl->GetBookmarkData(Buffer, Data);
}

template <class TSQLBase>
TBookmarkFlag TQVLCustomDataSet<TSQLBase>::GetBookmarkFlag(TRecordBuffer Buffer) {
  return FDataSetImpl->GetBookmarkFlag(Buffer);
}

template <class TSQLBase>
std::uint32_t TQVLCustomDataSet<TSQLBase>::GetRecordSize() {
  return FDataSetImpl->GetRecordSize();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalAddRecord(TRecordBuffer Buffer, bool Append) {
  FDataSetImpl->InternalAddRecord(Buffer, Append);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalDelete() {
  FDataSetImpl->InternalDelete();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalFirst() {
  FDataSetImpl->InternalFirst();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalGotoBookmark(const void* Bookmark) {
  FDataSetImpl->InternalGotoBookmark(Bookmark);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalInitRecord(TRecordBuffer Buffer) {
  FDataSetImpl->InternalInitRecord(Buffer);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalLast() {
  FDataSetImpl->InternalLast();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalPost() {
  TDataSet::InternalPost();
  FDataSetImpl->InternalPost();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalSetToRecord(TRecordBuffer Buffer) {
  FDataSetImpl->InternalSetToRecord(Buffer);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) {
  FDataSetImpl->SetBookmarkFlag(Buffer, Value);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetBookmarkData(TRecordBuffer Buffer, const void* Data) {
  FDataSetImpl->SetBookmarkData(Buffer, Data);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::SetFieldData(TField* Field, const void* Buffer) {
  FDataSetImpl->SetFieldData(Field, Buffer);
}

template <class TSQLBase>
TGetResult TQVLCustomDataSet<TSQLBase>::GetRecord(TRecordBuffer Buffer, TGetMode GetMode,
                                                  bool DoCheck) {
  return FDataSetImpl->GetRecord(Buffer, GetMode, DoCheck);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalClose() {
  FDataSetImpl->InternalClose();
  TSQLBase::InternalClose();
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::InternalOpen() {
  // The host's forward-only open makes the dataset unidirectional; here
  // direction is the UniDirectional property's.
  const bool uniDirectional = TDataSet::GetUniDirectional();
  TSQLBase::InternalOpen();
  TDataSet::SetUniDirectional(uniDirectional);
  FDataSetImpl->InternalOpen();
}

template <class TSQLBase>
int TQVLCustomDataSet<TSQLBase>::FirstBatchRows() {
  if (TDataSet::GetUniDirectional()) return 1;
  return FDataSetImpl->GetFetchOnDemand() ? this->WantedBufferCount() : 0;
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::IsCursorOpen() {
  return FDataSetImpl->IsCursorOpen() || TSQLBase::IsCursorOpen();
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::BookmarkValid(const TBookmark& Bookmark) {
  return FDataSetImpl->BookmarkValid(AsBookmark(Bookmark));
}

template <class TSQLBase>
int TQVLCustomDataSet<TSQLBase>::CompareBookmarks(const TBookmark& Bookmark1,
                                                  const TBookmark& Bookmark2) {
  return FDataSetImpl->CompareBookmarks(AsBookmark(Bookmark1), AsBookmark(Bookmark2));
}

template <class TSQLBase>
std::unique_ptr<TStream> TQVLCustomDataSet<TSQLBase>::CreateBlobStream(TField* Field,
                                                                       TBlobStreamMode Mode) {
  return FDataSetImpl->CreateBlobStream(Field, Mode);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetCurrentRecord(TRecordBuffer Buffer) {
  return FDataSetImpl->GetCurrentRecord(Buffer);
}

template <class TSQLBase>
int TQVLCustomDataSet<TSQLBase>::GetBlobFieldData(int FieldNo, TBlobByteData& Buffer) {
  return FDataSetImpl->GetBlobFieldData(FieldNo, Buffer);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetFieldData(TField* Field, void* Buffer) {
  return FDataSetImpl->GetFieldData(Field, Buffer);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::PeekFieldData(TField* Field, const void*& Data) {
  return FDataSetImpl->PeekFieldData(Field, Data);
}

template <class TSQLBase>
void TQVLCustomDataSet<TSQLBase>::PeekFieldsData(TField* const* Fields, std::size_t Count,
                                                 const void** Data, bool* Peeked) {
  FDataSetImpl->PeekFieldsData(Fields, Count, Data, Peeked);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::GetFieldData(int FieldNo, void* Buffer) {
  TField* field = this->FieldByNumber(FieldNo);
  return field != nullptr && FDataSetImpl->GetFieldData(field, Buffer);
}

template <class TSQLBase>
bool TQVLCustomDataSet<TSQLBase>::IsSequenced() {
  return FDataSetImpl->IsSequenced();
}

template <class TSQLBase>
TUpdateStatus TQVLCustomDataSet<TSQLBase>::UpdateStatus() {
  return FDataSetImpl->UpdateStatus();
}

// The components' hosts, the only ones the template serves.
template class TQVLCustomDataSet<TSQLDataSet>;
template class TQVLCustomDataSet<TSQLQuery>;
template class TQVLCustomDataSet<TSQLStoredProc>;
template class TQVLCustomDataSet<TSQLTable>;

}  // namespace qvl
