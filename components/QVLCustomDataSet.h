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
//
// The engine's layout stays out of this header: every member that reaches
// the engine is defined in QVLCustomDataSet.cpp, which instantiates the
// template for the four components' host datasets (TSQLDataSet, TSQLQuery,
// TSQLStoredProc, TSQLTable) and no other.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "qvl/engine/QVLRecordCursor.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/Stream.h"
#include "qvl/sql/QVLConnection.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace qvl {

// The library's own, declared outside the exported part.
class TQVLDataSetImpl;
namespace test {
class TDataSetTestPeer;
}

}  // namespace qvl

#pragma GCC visibility push(default)

namespace qvl {

template <class TSQLBase>
class TQVLCustomDataSet : public TSQLBase, public IQVLRecordCursor {
 public:
  explicit TQVLCustomDataSet(TComponent* AOwner);
  // Closing needs these overrides and the engine: close before either goes.
  ~TQVLCustomDataSet() override;

  // ---- published properties ----------------------------------------------------
  int GetPageSize() const;
  void SetPageSize(int Value);
  bool GetFetchOnDemand() const;
  void SetFetchOnDemand(bool Value);
  bool GetUniDirectional() const;
  void SetUniDirectional(bool Value);
  bool GetCachedUpdates() const;
  void SetCachedUpdates(bool Value);
  TQVLRecordUpdateOptions GetUpdateOptions() const;
  void SetUpdateOptions(TQVLRecordUpdateOptions Value);
  TUpdateMode GetUpdateMode() const;
  void SetUpdateMode(TUpdateMode Value);
  TQVLDataSetUpdateObject* GetUpdateObject() const;
  void SetUpdateObject(TQVLDataSetUpdateObject* Value);
  const TNotifyEvent& GetBeforeApplyUpdates() const;
  void SetBeforeApplyUpdates(TNotifyEvent Value);
  const TNotifyEvent& GetAfterApplyUpdates() const;
  void SetAfterApplyUpdates(TNotifyEvent Value);
  const TUpdateRecordEvent& GetOnUpdateRecord() const;
  void SetOnUpdateRecord(TUpdateRecordEvent Value);
  const TUpdateErrorEvent& GetOnUpdateError() const;
  void SetOnUpdateError(TUpdateErrorEvent Value);

  // ---- public operations -----------------------------------------------------------
  bool GetUpdatesPending() const;
  TUpdateStatusSet GetStatusFilter() const;
  void SetStatusFilter(TUpdateStatusSet Value);
  void ApplyUpdates();
  void CancelUpdates();
  void RevertRecord();
  bool Locate(const std::string& KeyFields, const Variant& KeyValues,
              TLocateOptions Options) override;
  // Searches on from the record after the active one.
  bool LocateNext(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options);
  Variant Lookup(const std::string& KeyFields, const Variant& KeyValues,
                 const std::string& ResultFields) override;

  // ---- IQVLRecordCursor -----------------------------------------------------------------
  TGetResult FetchNext() override;
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
  TQVLSQLProcessor* GetSQLProcessorInUse() override;
  std::unique_ptr<TQVLDataSetUpdateObject> CreateAutoSQLGenerator() override;

  // ---- host overrides ---------------------------------------------------------------------
  void GetCalcFields(TRecordBuffer Buffer) override {
    // The host's own fetch must not compute fields: the engine does it once
    // the row is in its record.
    if (FFetching) return;
    TDataSet::GetCalcFields(Buffer);
  }
  bool GetCanModify() override;
  // Finding the table parses the command text, and applying asks once per
  // record: the answer is kept while the text and the connection stay.
  std::string PSGetTableName() override;
  bool PSUpdateRecord(TUpdateKind UpdateKind, TDataSet* Delta) override;
  int GetRecordCount() override;
  int GetRecNo() override;
  void SetRecNo(int Value) override;
  void InitRecord(TRecordBuffer Buffer) override;
  void InternalCancel() override;
  void InternalEdit() override;
  void InternalInsert() override;
  void InternalRefresh() override;
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
  TRecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(TRecordBuffer& Buffer) override;
  void GetBookmarkData(TRecordBuffer Buffer, void* Data) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override;
  std::uint32_t GetRecordSize() override;
  void InternalAddRecord(TRecordBuffer Buffer, bool Append) override;
  void InternalDelete() override;
  void InternalFirst() override;
  void InternalGotoBookmark(const void* Bookmark) override;
  void InternalInitRecord(TRecordBuffer Buffer) override;
  void InternalLast() override;
  void InternalPost() override;
  void InternalSetToRecord(TRecordBuffer Buffer) override;
  void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override;
  void SetBookmarkData(TRecordBuffer Buffer, const void* Data) override;
  void SetFieldData(TField* Field, const void* Buffer) override;
  TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override;
  void InternalClose() override;
  void InternalOpen() override;
  // The first batch brings the window the views show, or every row when
  // they are all read at once.
  int FirstBatchRows() override;
  bool IsCursorOpen() override;
  bool BookmarkValid(const TBookmark& Bookmark) override;
  int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;
  bool GetCurrentRecord(TRecordBuffer Buffer) override;
  int GetBlobFieldData(int FieldNo, TBlobByteData& Buffer) override;
  bool GetFieldData(TField* Field, void* Buffer) override;
  bool PeekFieldData(TField* Field, const void*& Data) override;
  void PeekFieldsData(TField* const* Fields, std::size_t Count, const void** Data,
                      bool* Peeked) override;
  bool GetFieldData(int FieldNo, void* Buffer) override;
  bool IsSequenced() override;
  TUpdateStatus UpdateStatus() override;

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

#pragma GCC visibility pop
