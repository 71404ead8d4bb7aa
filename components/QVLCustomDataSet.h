#pragma once
// TQVLCustomDataSet<TSQLBase>: what the four dataset components share.
//
// Each component is its host SQL dataset (connecting, preparing, executing,
// describing fields) with all record work handed to an engine,
// TQVLDataSetImpl, that it creates in its constructor and destroys last in
// its destructor. In return it is the engine's row source (IQVLRecordCursor):
// it steps the host's forward-only server cursor and hands over the values of
// the row it stands on.
//
// TSQLBase must offer, as its own (not virtual-dispatched) operations: the
// record fetch GetRecord(nullptr, gmNext, false), GetFieldData by field
// number, GetBlobFieldData, FreeCursor, ExecuteStatement, and its
// end-of-data flag (GetEndOfData / SetEndOfData).

#include <memory>
#include <string>
#include <typeinfo>

#include "qvl/engine/QVLDataSetImpl.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/runtime/ScopedValue.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"
#include "qvl/update/QVLDataSetAutoSQLGenerator.h"

namespace qvl {
namespace test {
class TDataSetTestPeer;
}

template <class TSQLBase>
class TQVLCustomDataSet : public TSQLBase, public IQVLRecordCursor {
 public:
  explicit TQVLCustomDataSet(TComponent* AOwner)
      : TSQLBase(AOwner), FDataSetImpl(std::make_unique<TQVLDataSetImpl>(this, *this)) {}
  // Closing needs these overrides and the engine: close before either goes.
  ~TQVLCustomDataSet() override { this->DestroyingDataSet(); }

  // ---- published properties ----------------------------------------------------
  int GetPageSize() const { return FDataSetImpl->GetPageSize(); }
  void SetPageSize(int Value) { FDataSetImpl->SetPageSize(Value); }
  bool GetFetchOnDemand() const { return FDataSetImpl->GetFetchOnDemand(); }
  void SetFetchOnDemand(bool Value) { FDataSetImpl->SetFetchOnDemand(Value); }
  bool GetUniDirectional() const { return FDataSetImpl->GetUniDirectional(); }
  void SetUniDirectional(bool Value) { FDataSetImpl->SetUniDirectional(Value); }
  bool GetCachedUpdates() const { return FDataSetImpl->GetCachedUpdates(); }
  void SetCachedUpdates(bool Value) { FDataSetImpl->SetCachedUpdates(Value); }
  TQVLRecordUpdateOptions GetUpdateOptions() const { return FDataSetImpl->GetUpdateOptions(); }
  void SetUpdateOptions(TQVLRecordUpdateOptions Value) { FDataSetImpl->SetUpdateOptions(Value); }
  TUpdateMode GetUpdateMode() const { return FDataSetImpl->GetUpdateMode(); }
  void SetUpdateMode(TUpdateMode Value) { FDataSetImpl->SetUpdateMode(Value); }
  TQVLDataSetUpdateObject* GetUpdateObject() const { return FDataSetImpl->GetUpdateObject(); }
  void SetUpdateObject(TQVLDataSetUpdateObject* Value) { FDataSetImpl->SetUpdateObject(Value); }
  const TNotifyEvent& GetBeforeApplyUpdates() const {
    return FDataSetImpl->GetBeforeApplyUpdates();
  }
  void SetBeforeApplyUpdates(TNotifyEvent Value) {
    FDataSetImpl->SetBeforeApplyUpdates(std::move(Value));
  }
  const TNotifyEvent& GetAfterApplyUpdates() const { return FDataSetImpl->GetAfterApplyUpdates(); }
  void SetAfterApplyUpdates(TNotifyEvent Value) {
    FDataSetImpl->SetAfterApplyUpdates(std::move(Value));
  }
  const TUpdateRecordEvent& GetOnUpdateRecord() const { return FDataSetImpl->GetOnUpdateRecord(); }
  void SetOnUpdateRecord(TUpdateRecordEvent Value) {
    FDataSetImpl->SetOnUpdateRecord(std::move(Value));
  }
  const TUpdateErrorEvent& GetOnUpdateError() const { return FDataSetImpl->GetOnUpdateError(); }
  void SetOnUpdateError(TUpdateErrorEvent Value) {
    FDataSetImpl->SetOnUpdateError(std::move(Value));
  }

  // ---- public operations -----------------------------------------------------------
  bool GetUpdatesPending() const { return FDataSetImpl->GetUpdatesPending(); }
  TUpdateStatusSet GetStatusFilter() const { return FDataSetImpl->GetStatusFilter(); }
  void SetStatusFilter(TUpdateStatusSet Value) { FDataSetImpl->SetStatusFilter(Value); }
  void ApplyUpdates() { FDataSetImpl->ApplyUpdates(); }
  void CancelUpdates() { FDataSetImpl->CancelUpdates(); }
  void RevertRecord() { FDataSetImpl->RevertRecord(); }
  bool Locate(const std::string& KeyFields, const Variant& KeyValues,
              TLocateOptions Options) override {
    return FDataSetImpl->Locate(KeyFields, KeyValues, Options, true);
  }
  // Searches on from the record after the active one.
  bool LocateNext(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    return FDataSetImpl->Locate(KeyFields, KeyValues, Options, false);
  }
  Variant Lookup(const std::string& KeyFields, const Variant& KeyValues,
                 const std::string& ResultFields) override {
    return FDataSetImpl->Lookup(KeyFields, KeyValues, ResultFields);
  }

  // ---- IQVLRecordCursor -----------------------------------------------------------------
  TGetResult FetchNext() override {
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
  bool ReadFieldData(int FieldNo, void* Buffer) override {
    return TSQLBase::GetFieldData(FieldNo, Buffer);
  }
  int ReadBlobFieldData(int FieldNo, TBlobByteData& Buffer) override {
    return TSQLBase::GetBlobFieldData(FieldNo, Buffer);
  }
  void Restart() override {
    this->FreeCursor();
    this->ExecuteStatement();
  }
  // Looked up afresh at each use: a TQVLConnection's processor, else the
  // process-wide default.
  TQVLSQLProcessor* GetSQLProcessorInUse() override {
    // Asked once or twice for every record applied: a plain connection is
    // told by its type alone, as a cast that fails walks every base.
    TSQLConnection* plain = this->GetSQLConnection();
    if (plain != nullptr && typeid(*plain) != typeid(TSQLConnection))
      if (auto* connection = dynamic_cast<TQVLConnection*>(plain))
        return &connection->GetSQLProcessorInUse();
    return &TQVLSQLProcessor::DefaultProcessor();
  }
  std::unique_ptr<TQVLDataSetUpdateObject> CreateAutoSQLGenerator() override {
    return std::make_unique<TQVLDataSetAutoSQLGenerator>(nullptr);
  }

  // ---- host overrides ---------------------------------------------------------------------
  void GetCalcFields(TRecordBuffer Buffer) override {
    // The host's own fetch must not compute fields: the engine does it once
    // the row is in its record.
    if (FFetching) return;
    TDataSet::GetCalcFields(Buffer);
  }
  bool GetCanModify() override { return FDataSetImpl->GetCanModify(); }
  // Finding the table parses the command text, and applying asks once per
  // record: the answer is kept while the text and the connection stay.
  std::string PSGetTableName() override {
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
  bool PSUpdateRecord(TUpdateKind UpdateKind, TDataSet* Delta) override {
    return FDataSetImpl->UpdateRecord(UpdateKind, Delta);
  }
  int GetRecordCount() override { return FDataSetImpl->GetRecordCount(); }
  int GetRecNo() override { return FDataSetImpl->GetRecNo(); }
  void SetRecNo(int Value) override { FDataSetImpl->SetRecNo(Value); }
  void InitRecord(TRecordBuffer Buffer) override { FDataSetImpl->InitRecord(Buffer); }
  void InternalCancel() override { FDataSetImpl->InternalCancel(); }
  void InternalEdit() override { FDataSetImpl->InternalEdit(); }
  void InternalInsert() override { FDataSetImpl->InternalInsert(); }
  void InternalRefresh() override { FDataSetImpl->InternalRefresh(); }
  void SetBufListSize(int Value) override { TDataSet::SetBufListSize(Value); }
  void SetFiltered(bool Value) override {
    if (Value == this->GetFiltered()) return;
    TSQLBase::SetFiltered(Value);
    if (this->GetActive()) this->Refresh();
  }
  void SetOnFilterRecord(TFilterRecordEvent Value) override {
    // Same code, perhaps another object: the handler is still taken (dropping
    // it would leave the old object filtering), only the refresh is spared.
    const bool sameCode = SameEventCode(Value, this->GetOnFilterRecord());
    TSQLBase::SetOnFilterRecord(std::move(Value));
    if (!sameCode && this->GetActive()) this->Refresh();
  }
  TRecordBuffer AllocRecordBuffer() override { return FDataSetImpl->AllocRecordBuffer(); }
  void FreeRecordBuffer(TRecordBuffer& Buffer) override { FDataSetImpl->FreeRecordBuffer(Buffer); }
  void GetBookmarkData(TRecordBuffer Buffer, void* Data) override {
    FDataSetImpl->GetBookmarkData(Buffer, Data);
  }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override {
    return FDataSetImpl->GetBookmarkFlag(Buffer);
  }
  std::uint32_t GetRecordSize() override { return FDataSetImpl->GetRecordSize(); }
  void InternalAddRecord(TRecordBuffer Buffer, bool Append) override {
    FDataSetImpl->InternalAddRecord(Buffer, Append);
  }
  void InternalDelete() override { FDataSetImpl->InternalDelete(); }
  void InternalFirst() override { FDataSetImpl->InternalFirst(); }
  void InternalGotoBookmark(const void* Bookmark) override {
    FDataSetImpl->InternalGotoBookmark(Bookmark);
  }
  void InternalInitRecord(TRecordBuffer Buffer) override {
    FDataSetImpl->InternalInitRecord(Buffer);
  }
  void InternalLast() override { FDataSetImpl->InternalLast(); }
  void InternalPost() override {
    TDataSet::InternalPost();
    FDataSetImpl->InternalPost();
  }
  void InternalSetToRecord(TRecordBuffer Buffer) override {
    FDataSetImpl->InternalSetToRecord(Buffer);
  }
  void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override {
    FDataSetImpl->SetBookmarkFlag(Buffer, Value);
  }
  void SetBookmarkData(TRecordBuffer Buffer, const void* Data) override {
    FDataSetImpl->SetBookmarkData(Buffer, Data);
  }
  void SetFieldData(TField* Field, const void* Buffer) override {
    FDataSetImpl->SetFieldData(Field, Buffer);
  }
  TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override {
    return FDataSetImpl->GetRecord(Buffer, GetMode, DoCheck);
  }
  void InternalClose() override {
    FDataSetImpl->InternalClose();
    TSQLBase::InternalClose();
  }
  void InternalOpen() override {
    // The host's forward-only open makes the dataset unidirectional; here
    // direction is the UniDirectional property's.
    const bool uniDirectional = TDataSet::GetUniDirectional();
    TSQLBase::InternalOpen();
    TDataSet::SetUniDirectional(uniDirectional);
    FDataSetImpl->InternalOpen();
  }
  // The first batch brings the window the views show, or every row when
  // they are all read at once.
  int FirstBatchRows() override {
    if (TDataSet::GetUniDirectional()) return 1;
    return FDataSetImpl->GetFetchOnDemand() ? this->WantedBufferCount() : 0;
  }
  bool IsCursorOpen() override { return FDataSetImpl->IsCursorOpen() || TSQLBase::IsCursorOpen(); }
  bool BookmarkValid(const TBookmark& Bookmark) override {
    return FDataSetImpl->BookmarkValid(AsBookmark(Bookmark));
  }
  int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override {
    return FDataSetImpl->CompareBookmarks(AsBookmark(Bookmark1), AsBookmark(Bookmark2));
  }
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override {
    return FDataSetImpl->CreateBlobStream(Field, Mode);
  }
  bool GetCurrentRecord(TRecordBuffer Buffer) override {
    return FDataSetImpl->GetCurrentRecord(Buffer);
  }
  int GetBlobFieldData(int FieldNo, TBlobByteData& Buffer) override {
    return FDataSetImpl->GetBlobFieldData(FieldNo, Buffer);
  }
  bool GetFieldData(TField* Field, void* Buffer) override {
    return FDataSetImpl->GetFieldData(Field, Buffer);
  }
  bool PeekFieldData(TField* Field, const void*& Data) override {
    return FDataSetImpl->PeekFieldData(Field, Data);
  }
  void PeekFieldsData(TField* const* Fields, std::size_t Count, const void** Data,
                      bool* Peeked) override {
    FDataSetImpl->PeekFieldsData(Fields, Count, Data, Peeked);
  }
  bool GetFieldData(int FieldNo, void* Buffer) override {
    TField* field = this->FieldByNumber(FieldNo);
    return field != nullptr && FDataSetImpl->GetFieldData(field, Buffer);
  }
  bool IsSequenced() override { return FDataSetImpl->IsSequenced(); }
  TUpdateStatus UpdateStatus() override { return FDataSetImpl->UpdateStatus(); }

 private:
  friend class test::TDataSetTestPeer;

  // A host bookmark of another size is not one of ours: it names nothing.
  static const void* AsBookmark(const TBookmark& Bookmark) {
    return Bookmark.size() == static_cast<std::size_t>(kQVLBookmarkSize) ? Bookmark.data()
                                                                         : nullptr;
  }

  std::unique_ptr<TQVLDataSetImpl> FDataSetImpl;
  bool FFetching = false;
  bool FTableNameKnown = false;
  std::string FTableName, FTableNameText, FTableNameDriver;
  TSQLConnection* FTableNameConnection = nullptr;
};

}  // namespace qvl
