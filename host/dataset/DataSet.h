#pragma once
// TDataSet: the host dataset framework.
//
// A dataset shows the records of its source through a window of record
// buffers. The framework owns the window, the state machine (Overview's
// dsInactive, dsBrowse, dsEdit, dsInsert, and the temporary dsCalcFields,
// dsFilter, dsNewValue, dsOldValue), the fields and the events; a descendant
// owns the records and implements the Internal* operations and the buffer
// operations below.
//
// The window. BufferCount buffers (at least 1, the largest count a data link
// asks for; 1 for a unidirectional dataset) plus one spare used while
// scrolling. RecordCount() of them hold records; ActiveRecord indexes the
// active one. CurrentRecord is the window index on which the descendant's
// cursor stands, or -1 when unknown (CursorPosChanged). Before every
// operation on the active record the framework re-positions the descendant
// with UpdateCursorPos (InternalSetToRecord, or InternalFirst/InternalLast
// for a buffer flagged bfBOF/bfEOF). Buffers are opaque to the framework:
// AllocRecordBuffer makes them and GetRecord fills them.
//
// Moving. Next/Prior/MoveBy shift the active record inside the window and
// ask the descendant for one more record (GetRecord gmNext or gmPrior) at an
// edge, dropping the buffer at the other edge when the window is full.
// First/Last refill the window from the ends. Resync refills it around the
// descendant's current record (rmExact: that record must exist; rmCenter:
// put it in the middle).
//
// Editing. Edit, Insert, Append, Post, Cancel and Delete call the
// descendant's InternalEdit, InternalInsert, InternalPost, InternalCancel and
// InternalDelete; InternalEdit, InternalPost and InternalDelete run inside
// CheckOperation, which first calls UpdateCursorPos and offers an
// EDatabaseError to OnEditError, OnPostError or OnDeleteError (daFail
// re-raises, daAbort aborts silently, daRetry runs the operation again).
// A field change (DataEvent deFieldChange) sets Modified and recalculates
// the calculated fields of the active record.
//
// Not thread-safe: a dataset is used from one thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvl/host/dataset/DBTypes.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Component.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/Variant.h"

namespace qvl {

// The library's own, declared outside the exported part.
namespace test {
class TDataSetTestPeer;
}

}  // namespace qvl

#pragma GCC visibility push(default)

namespace qvl {

class TBlobByteData;
class TDataLink;
class TDataSet;
class TField;
class TFieldDefs;
class TFields;
class TStream;

// A record buffer as the framework sees it: an opaque block allocated by
// the descendant.
using TRecordBuffer = std::uint8_t*;
// A bookmark: BookmarkSize bytes identifying a record; empty = no bookmark.
using TBookmark = std::vector<std::uint8_t>;

enum TDataAction : std::uint8_t { daFail, daAbort, daRetry };

using TDataSetNotifyEvent = std::function<void(TDataSet* DataSet)>;
using TDataSetErrorEvent =
    std::function<void(TDataSet* DataSet, EDatabaseError& E, TDataAction& Action)>;
using TFilterRecordEvent = std::function<void(TDataSet* DataSet, bool& Accept)>;

class TDataSet : public TComponent {
 public:
  explicit TDataSet(TComponent* AOwner);
  ~TDataSet() override;

  // ---- state -----------------------------------------------------------------
  TDataSetState GetState() const { return FState; }
  bool GetActive() const { return FActive; }
  void SetActive(bool Value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool GetModified() const { return FModified; }
  bool IsEmpty() const { return FActive && FRecordCount == 0; }
  bool Bof() const { return FBOF; }
  bool Eof() const { return FEOF; }
  bool GetUniDirectional() const { return FUniDirectional; }
  // Whether the dataset may be edited.
  virtual bool GetCanModify() { return !FUniDirectional; }

  void CheckActive() const;
  void CheckInactive() const;
  // Posts (when modified) or cancels a pending edit or insert.
  void CheckBrowseMode();

  // ---- navigation --------------------------------------------------------------
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  int MoveBy(int Distance);
  // Record number of the active record from 1, -1 when unknown.
  virtual int GetRecNo() { return -1; }
  virtual void SetRecNo(int Value) { (void)Value; }
  // Number of records, -1 when unknown.
  virtual int GetRecordCount() { return -1; }
  void Refresh();

  // ---- bookmarks ---------------------------------------------------------------
  int GetBookmarkSize() const { return FBookmarkSize; }
  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& Bookmark);
  // Whether Bookmark still names a record (false for an empty one).
  virtual bool BookmarkValid(const TBookmark& Bookmark);
  // -1, 0 or 1 by record order; an empty bookmark sorts after a present one.
  virtual int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2);

  // ---- editing -----------------------------------------------------------------
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  // One-call insert and append: values in field order; Unassigned values
  // leave their field as it is.
  void InsertRecord(const std::vector<Variant>& Values);
  void AppendRecord(const std::vector<Variant>& Values);
  void SetFields(const std::vector<Variant>& Values);
  // Asks the views to write pending edits into the fields.
  void UpdateRecord();

  // ---- fields ------------------------------------------------------------------
  TFields& Fields() { return *FFields; }
  const TFields& Fields() const { return *FFields; }
  TFieldDefs& FieldDefs() { return *FFieldDefs; }
  TField* FindField(const std::string& FieldName) const;
  // Raises "Field 'X' not found".
  TField* FieldByName(const std::string& FieldName) const;
  TField* FieldByNumber(int FieldNo) const;
  // The fields named in a ";"-separated list, in order; raises for a name
  // that is not a field.
  void GetFieldList(std::vector<TField*>& List, const std::string& FieldNames) const;
  // One field's value, or a variant array for several names.
  Variant GetFieldValue(const std::string& FieldNames) const;
  void SetFieldValue(const std::string& FieldName, const Variant& Value);
  int BlobFieldCount() const;
  bool HasCalcFields() const;

  // ---- searching (descendants implement) ---------------------------------------
  virtual bool Locate(const std::string& KeyFields, const Variant& KeyValues,
                      TLocateOptions Options);
  virtual Variant Lookup(const std::string& KeyFields, const Variant& KeyValues,
                         const std::string& ResultFields);
  virtual TUpdateStatus UpdateStatus();
  virtual bool IsSequenced();

  // ---- blobs -------------------------------------------------------------------
  // A stream on a blob field of the active record; owned by the caller.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode);
  virtual int GetBlobFieldData(int FieldNo, TBlobByteData& Buffer);

  // ---- field data (descendants implement) --------------------------------------
  virtual bool GetFieldData(TField* Field, void* Buffer);
  virtual bool GetFieldData(int FieldNo, void* Buffer);
  virtual void SetFieldData(TField* Field, const void* Buffer);
  // Where a non-blob field's value lies, in its native format, in the record
  // that field access reads now: Data is set to the value's bytes (null for a
  // null value), valid until that record changes or field access moves.
  // False when the dataset keeps no such bytes; GetFieldData then copies.
  virtual bool PeekFieldData(TField* Field, const void*& Data) {
    (void)Field;
    (void)Data;
    return false;
  }
  // PeekFieldData for Count fields of one record, for a view that shows all
  // of a record's fields: Peeked[i] and Data[i] are what PeekFieldData gives
  // for Fields[i]. A dataset whose fields lie side by side overrides it to
  // find the record once.
  virtual void PeekFieldsData(TField* const* Fields, std::size_t Count, const void** Data,
                              bool* Peeked);
  // Copies the record that field access reads now into Buffer.
  virtual bool GetCurrentRecord(TRecordBuffer Buffer);

  // ---- views -------------------------------------------------------------------
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return FDisableCount != 0; }
  void DataEvent(TDataEvent Event, std::intptr_t Info);

  // The first broken invariant of the window, or "": BufferCount buffers
  // (at least one) and the spare; RecordCount of them hold records; the
  // active record and the cursor's buffer (or -1) lie among those (index 0
  // when the window is empty). Debug builds check it at the start and end
  // of every operation that moves or refills the window.
  std::string InvariantFault() const;

  // ---- provider support (SQL-based descendants implement) -----------------------
  virtual bool PSInTransaction();
  virtual void PSStartTransaction();
  virtual void PSEndTransaction(bool Commit);
  // Executes SQL with "?" markers bound to Params; returns rows affected.
  virtual int PSExecuteStatement(const std::string& SQL, TParams* Params);
  virtual std::string PSGetTableName();
  virtual std::string PSGetQuoteChar();
  virtual bool PSIsSQLBased();
  virtual bool PSUpdateRecord(TUpdateKind UpdateKind, TDataSet* Delta);
  // Statements in batches: added in order, run in the current transaction,
  // their outcomes taken by PSBatchRun once all were sent, so that a
  // database across a network answers a batch in one round trip. After a
  // statement fails, those after it in the batch do not run.
  // PSBatchCapacity: the most statements worth sending before waiting; 1
  // (the default) where each runs as it is added.
  virtual int PSBatchCapacity();
  // Adds SQL with "?" markers bound to Params (read now); by default runs it
  // at once through PSExecuteStatement, or not at all after a failure.
  virtual void PSBatchAdd(const std::string& SQL, TParams* Params);
  // Outcomes of the statements added since the last run, in order.
  virtual void PSBatchRun(std::vector<TBatchOutcome>& Outcomes);
  // After PSEndTransaction(true) raised: the transaction whose commit went
  // unanswered because the session was lost during it, as an id that
  // PSCommitted looks up once connected again; empty (the default) when
  // the commit failed for sure.
  virtual std::string PSInDoubtCommit();
  // What became of the transaction of a PSInDoubtCommit id: coUnknown
  // (the default) when the database cannot tell.
  virtual TCommitOutcome PSCommitOutcome(const std::string& Id);

  // ---- events --------------------------------------------------------------------
#define QVL_DATASET_EVENT(Name, Type) \
  const Type& Get##Name() const {     \
    return F##Name;                   \
  }                                   \
  void Set##Name(Type Value) {        \
    F##Name = std::move(Value);       \
  }
  QVL_DATASET_EVENT(BeforeOpen, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterOpen, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforeClose, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterClose, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforeInsert, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterInsert, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforeEdit, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterEdit, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforePost, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterPost, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforeCancel, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterCancel, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforeDelete, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterDelete, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforeScroll, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterScroll, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(BeforeRefresh, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(AfterRefresh, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(OnNewRecord, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(OnCalcFields, TDataSetNotifyEvent)
  QVL_DATASET_EVENT(OnEditError, TDataSetErrorEvent)
  QVL_DATASET_EVENT(OnPostError, TDataSetErrorEvent)
  QVL_DATASET_EVENT(OnDeleteError, TDataSetErrorEvent)
#undef QVL_DATASET_EVENT

  bool GetFiltered() const {
    return FFiltered;
  }
  virtual void SetFiltered(bool Value);
  const TFilterRecordEvent& GetOnFilterRecord() const {
    return FOnFilterRecord;
  }
  virtual void SetOnFilterRecord(TFilterRecordEvent Value);

  // Whether the fields were made from the definitions at opening.
  bool DefaultFields() const {
    return FDefaultFields;
  }
  // Bytes GetCurrentRecord writes: a buffer handed to it holds at least
  // this many.
  virtual std::uint32_t GetRecordSize() {
    return 0;
  }

 protected:
  // ======== The descendant's interface ==========================================
  // Members below are for descendants, and through TDataSetEngineAccess for the
  // engines they hand their record work to.

  // State changes without events, for a short operation: TDataSetTempState
  // sets one and restores the state it found.
  TDataSetState SetTempState(TDataSetState Value);
  void RestoreState(TDataSetState Value);

  TRecordBuffer ActiveBuffer() const {
    return FBuffers.empty() ? nullptr : FBuffers[static_cast<std::size_t>(FActiveRecord)];
  }
  // The buffer whose calculated fields are being computed (dsCalcFields);
  // set for the length of one CalculateFields, nested ones included.
  TRecordBuffer CalcBuffer() const {
    return FCalcBuffer;
  }
  int BufferCount() const {
    return FBufferCount;
  }
  int WindowRecordCount() const {
    return FRecordCount;
  }  // buffers holding records
  // The buffers that the views attached now ask for (at least 1): the
  // window an opening makes unless the dataset is unidirectional.
  int WantedBufferCount() const;
  int ActiveRecord() const {
    return FActiveRecord;
  }
  int CurrentRecord() const {
    return FCurrentRecord;
  }
  TRecordBuffer Buffer(int Index) const;

  void ClearBuffers();
  void CursorPosChanged() {
    FCurrentRecord = -1;
  }
  void UpdateCursorPos();
  void Resync(TResyncMode Mode);
  void DoBeforeScroll();
  void DoAfterScroll();
  void SetBookmarkSize(int Value) {
    FBookmarkSize = Value;
  }
  void SetUniDirectional(bool Value) {
    FUniDirectional = Value;
  }
  void CheckBiDirectional() const;

  // Runs the calculated-field step for Buffer: dsCalcFields state,
  // CalculateFields, state restored.
  virtual void GetCalcFields(TRecordBuffer Buffer);
  // Computes lookup fields and calls OnCalcFields for Buffer; CalcBuffer is
  // Buffer meanwhile and what it was before afterwards.
  virtual void CalculateFields(TRecordBuffer Buffer);
  virtual void ClearCalcFields(TRecordBuffer Buffer);

  // Buffer management.
  virtual TRecordBuffer AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(TRecordBuffer& Buffer) = 0;
  virtual void SetBufListSize(int Value);
  virtual TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) = 0;
  virtual void InitRecord(TRecordBuffer Buffer);
  virtual void InternalInitRecord(TRecordBuffer Buffer) {
    (void)Buffer;
  }

  // Cursor.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalRefresh() {}
  virtual void InternalHandleException();

  // Bookmarks.
  virtual void GetBookmarkData(TRecordBuffer Buffer, void* Data);
  virtual void SetBookmarkData(TRecordBuffer Buffer, const void* Data);
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer);
  virtual void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value);
  virtual void InternalGotoBookmark(const void* Bookmark);
  virtual void InternalSetToRecord(TRecordBuffer Buffer);

  // Editing.
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalPost();  // checks required fields
  virtual void InternalCancel() {}
  virtual void InternalDelete() {}
  virtual void InternalAddRecord(TRecordBuffer Buffer, bool Append);

  // Fields: FieldDefs are read by InternalInitFieldDefs; default fields are
  // made for them when the application defined no data fields of its own.
  virtual void InternalInitFieldDefs() {}
  void InitFieldDefs();
  // Creates default fields (if needed) and binds every field to this
  // dataset and its definition.
  void CreateAndBindFields();
  void DestroyDefaultFields();

  void CheckRequiredFields();
  void CheckOperation(const std::function<void()>& Operation, const TDataSetErrorEvent& ErrorEvent);

  virtual void DoBeforeOpen();
  virtual void DoAfterOpen();
  virtual void DoOnNewRecord();
  // Opens a dataset whose Active was set while it was being read.
  void Loaded() override;
  void SetState(TDataSetState Value);
  void SetModified(bool Value) {
    FModified = Value;
  }
  virtual void OpenCursor();
  virtual void CloseCursor();
  // Every concrete descendant calls this first in its destructor: it closes
  // the dataset while the descendant's overrides still exist.
  void DestroyingDataSet();

 private:
  friend class TDataLink;
  friend class TDataSetReader;
  friend class TField;
  friend class TDataSetTempState;
  friend class TDataSetEngineAccess;
  friend class test::TDataSetTestPeer;

  struct TWindowState {
    int RecordCount, ActiveRecord;
    bool AtBOF, AtEOF;
  };
  TWindowState SaveWindow() const;
  void RestoreEmptyWindow(const TWindowState& Saved);
  void SetBufferCount(int Value);
  void UpdateBufferCount();
  void SetCurrentRecord(int Index);
  void ActivateBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  int StepOneBufferWindow(bool Forward);
  int GetNextRecords();
  int GetPriorRecords();
  void MoveBuffer(int CurIndex, int NewIndex);
  void BeginInsertAppend();
  void EndInsertAppend();
  void AddRecordWithValues(const std::vector<Variant>& Values, bool Append);
  void CalcLookupValue(TField* Field);
  void NotifyDataLinks(TDataEvent Event, std::intptr_t Info);
  void AddDataLink(TDataLink* Link);
  void RemoveDataLink(TDataLink* Link);

  TDataSetState FState = dsInactive;
  bool FActive = false;
  bool FModified = false;
  bool FBOF = true;
  bool FEOF = true;
  bool FUniDirectional = false;
  bool FFiltered = false;
  bool FDefaultFields = false;
  bool FDestroyingDataSet = false;
  bool FStreamedActive = false;
  int FBookmarkSize = 0;
  int FBufferCount = 0;
  int FRecordCount = 0;
  int FActiveRecord = 0;
  int FCurrentRecord = -1;
  int FDisableCount = 0;
  int FCheckDepth = 0;  // operations running that check invariants
  bool FPendingChange = false;
  TDataSetState FDisableState = dsInactive;
  std::vector<TRecordBuffer> FBuffers;
  TRecordBuffer FCalcBuffer = nullptr;
  std::unique_ptr<TFields> FFields;
  std::unique_ptr<TFieldDefs> FFieldDefs;
  std::vector<TDataLink*> FDataLinks;         // mutual, non-owning
  std::vector<TBatchOutcome> FBatchOutcomes;  // PSBatchAdd's, run at once

  TDataSetNotifyEvent FBeforeOpen, FAfterOpen, FBeforeClose, FAfterClose, FBeforeInsert,
      FAfterInsert, FBeforeEdit, FAfterEdit, FBeforePost, FAfterPost, FBeforeCancel, FAfterCancel,
      FBeforeDelete, FAfterDelete, FBeforeScroll, FAfterScroll, FBeforeRefresh, FAfterRefresh,
      FOnNewRecord, FOnCalcFields;
  TDataSetErrorEvent FOnEditError, FOnPostError, FOnDeleteError;
  TFilterRecordEvent FOnFilterRecord;
};

// Puts a dataset in a temporary state (dsCalcFields, dsFilter, dsOldValue...)
// for the guard's lifetime, without events, and restores the state it found.
class TDataSetTempState {
 public:
  TDataSetTempState(TDataSet& ADataSet, TDataSetState State)
      : FDataSet(ADataSet), FSaved(ADataSet.SetTempState(State)) {}
  ~TDataSetTempState() { FDataSet.RestoreState(FSaved); }
  TDataSetTempState(const TDataSetTempState&) = delete;
  TDataSetTempState& operator=(const TDataSetTempState&) = delete;

 private:
  TDataSet& FDataSet;
  TDataSetState FSaved;
};

}  // namespace qvl

#pragma GCC visibility pop
