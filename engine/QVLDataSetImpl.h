#pragma once
// TQVLDataSetImpl: the record cache behind a dataset component.
//
// The component forwards the dataset framework's record operations here and
// serves as the row source through IQVLRecordCursor. Every row read is kept
// in a record from the allocator; records form a doubly linked chain between
// two header-only sentinels, FBOF and FEOF. Rows are read lazily, one per
// forward step past the last row read. The framework's record buffers are
// pointer-sized cells holding a record's address, so scrolling copies no row.
//
// Record layout (bytes; P = sizeof(void*), native pointers, packed):
//
//   0       P  Next          next record; null while nothing after it was read;
//                            FEOF after the last row of the result
//   P       P  Prior         previous record; FBOF for the first one
//   2P      1  UpdateStatus  TUpdateStatus
//   2P+1    P  OldRecord     record with the values before the change, or null
//   3P+1    4  RecNo         int32, position in the chain from 1
//   3P+5       data          one slot per entry of Fields, in order, no gaps:
//                            blob: one TBlobByteData slot (zero = null);
//                            variant: one TVariantCell slot (zero = null);
//                            other: flag byte (0 = null) + DataSize bytes
//
// Header fields are unaligned: they are read and written with memcpy only.
//
// Chain invariants, whenever the engine is open and no operation is running:
//   - Following Next from FBOF visits every linked record once, numbered
//     1, 2, 3... in RecNo, and ends at a record whose Next is null (rows
//     remain unread) or at FEOF (all rows read).
//   - For every linked record R: R.Prior.Next == R, and R.Next.Prior == R
//     when R.Next is not null.
//   - FEOF.Prior is the last linked record (FBOF when none); it is the record
//     fetching appends after. FBOF.Prior, FEOF.Next are never set; FBOF.RecNo
//     and FEOF.RecNo stay 0.
//   - A record that is not linked (new unposted record, edit backup, old
//     values) is never reachable from FBOF.
//
// A bookmark is kQVLBookmarkSize bytes: the record's address, then the
// allocator's stamp for it (0 for a sentinel). A bookmark is valid only while
// that stamp is still the record's, so a freed record's bookmark stays
// invalid when its memory is handed out again, and checking never reads
// memory outside the live allocator.
//
// Not thread-safe: one engine serves one dataset on one thread.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvl/engine/QVLDataSetUpdateObject.h"
#include "qvl/engine/QVLRecordAllocator.h"
#include "qvl/engine/QVLRecordCursor.h"
#include "qvl/host/dataset/DataSet.h"
#include "qvl/host/dataset/DataSetEngineAccess.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/dataset/VariantCell.h"
#include "qvl/host/runtime/Stream.h"

namespace qvl {

class TQVLSQLProcessor;
class TBlobField;
class TQVLBlobStream;
namespace test {
class TDataSetTestPeer;
}

inline constexpr std::size_t kQVLRecordHeaderSize = 3 * sizeof(void*) + 1 + sizeof(std::int32_t);

class TQVLDataSetImpl {
 public:
  TQVLDataSetImpl(TDataSet* ADataSet, IQVLRecordCursor& ARecordCursor);
  ~TQVLDataSetImpl();
  TQVLDataSetImpl(const TQVLDataSetImpl&) = delete;
  TQVLDataSetImpl& operator=(const TQVLDataSetImpl&) = delete;

  // ---- open, close, fetching -------------------------------------------------
  void InternalOpen();
  void InternalClose();
  bool IsCursorOpen() const { return FAllocator != nullptr; }
  // Reads the next row into a new record at the chain's end (the one
  // record of a unidirectional dataset) and calculates its fields.
  TGetResult FetchNextRecord();
  // The data fields of the cursor's current row into Record.
  void FillRecordFromCursor(TRecordBuffer Record, int RecNo);

  // ---- navigation ------------------------------------------------------------
  TGetResult GetRecord(TGetMode GetMode);
  TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck);
  void InternalFirst();
  void InternalLast();
  void SkipRecords(int Count);
  TRecordBuffer MoveFromCurrentRecord();
  void ResyncAndCheckForScroll();

  // ---- host buffers ----------------------------------------------------------
  TRecordBuffer GetActiveRecordBuffer() const {
    // An empty window's cells are left over from records the window dropped.
    if (FHost.WindowRecordCount() == 0) return nullptr;
    return CellRecord(FHost.ActiveBuffer());
  }
  // The record that field access reads and writes now.
  TRecordBuffer GetFieldsRecordBuffer() const {
    const TDataSetState state = FDataSet->GetState();
    if (!FFiltering && state != dsCalcFields && state != dsOldValue) [[likely]]
      return GetActiveRecordBuffer();
    return FieldsRecordOtherwise(state);
  }
  TRecordBuffer AllocRecord();
  TRecordBuffer AllocRecordBuffer();
  void FreeRecordBuffer(TRecordBuffer& Buffer);
  void InitRecord(TRecordBuffer Buffer);
  void InternalInitRecord(TRecordBuffer Buffer);
  bool GetCurrentRecord(TRecordBuffer Buffer);

  // ---- settings, numbers, counts ---------------------------------------------
  int GetPageSize() const { return FPageSize; }
  void SetPageSize(int Value);
  bool GetFetchOnDemand() const { return FFetchOnDemand; }
  void SetFetchOnDemand(bool Value);
  bool GetUniDirectional() const;
  void SetUniDirectional(bool Value);
  bool IsAllFetched() const;
  bool IsSequenced() const;
  int GetRecordCount();
  int GetRecNo();
  void SetRecNo(int Value);
  std::uint32_t GetRecordSize() const { return static_cast<std::uint32_t>(FRecordSize); }

  // ---- field data and blobs --------------------------------------------------
  // Inline: every field read of every scroll comes here.
  bool GetFieldData(TField* Field, void* Buffer) {
    // The field's own index says where its slot is; a field of another
    // dataset, or one added since the open, has none.
    const auto index = static_cast<std::size_t>(Field != nullptr ? Field->GetIndex() : -1);
    if (index >= FFieldSlots.size() || Field->GetDataSet() != FDataSet) return false;
    TRecordBuffer record = GetFieldsRecordBuffer();
    if (record == nullptr) return false;
    const TFieldSlot& slot = FFieldSlots[index];
    const std::uint8_t* at = record + slot.Offset;
    if (slot.IsBlob) return GetBlobSlotData(at, Buffer);
    if (slot.IsVariant) return GetVariantSlotData(at, Buffer);
    if (at[0] == 0) return false;
    if (Buffer == nullptr) return true;
    // Fixed widths copy inline; a call to memcpy costs more than the copy.
    switch (slot.DataSize) {
      case 2:
        std::memcpy(Buffer, at + 1, 2);
        break;
      case 4:
        std::memcpy(Buffer, at + 1, 4);
        break;
      case 8:
        std::memcpy(Buffer, at + 1, 8);
        break;
      default:
        std::memcpy(Buffer, at + 1, static_cast<std::size_t>(slot.DataSize));
        break;
    }
    return true;
  }
  // The value's bytes in the record's slot (null for null), a variant's
  // cell included; false for a blob or a field without a slot.
  bool PeekFieldData(TField* Field, const void*& Data) {
    return PeekSlot(Field, GetFieldsRecordBuffer(), Data);
  }
  void PeekFieldsData(TField* const* Fields, std::size_t Count, const void** Data, bool* Peeked) {
    const std::uint8_t* record = GetFieldsRecordBuffer();
    for (std::size_t i = 0; i < Count; ++i) Peeked[i] = PeekSlot(Fields[i], record, Data[i]);
  }
  void SetFieldData(TField* Field, const void* Buffer);
  // What each field's NewValue is in the record that field access reads now,
  // by field index, told from the record's bytes without reading a value, for
  // generated SQL: Unassigned when it holds its old value (or, in an inserted
  // record, is null), Assigned when it surely differs (is not null), Unknown
  // otherwise.
  enum class TNewValueHint { Unknown, Unassigned, Assigned };
  void NewValueHints(bool Inserted, std::vector<TNewValueHint>& Hints);
  int GetBlobFieldData(int FieldNo, TBlobByteData& Buffer);
  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode);
  void CopyRecordData(TRecordBuffer Source, TRecordBuffer Dest);

  // ---- editing and the update log --------------------------------------------
  void InternalEdit();
  void InternalInsert();
  void InternalAddRecord(TRecordBuffer Buffer, bool Append);
  void InternalPost();
  void InternalCancel();
  void InternalDelete();
  void InternalRefresh();
  void RegisterUpdate(TUpdateStatus Status);
  std::vector<TRecordBuffer>& GetUpdatedRecords();
  void CommitUpdate(TRecordBuffer Record);
  void RollbackUpdate(TRecordBuffer Record);
  void RevertRecord();
  void CancelUpdates();
  TUpdateStatus UpdateStatus();
  bool GetUpdatesPending() const { return FUpdateLog != nullptr && !FUpdateLog->empty(); }
  bool GetCachedUpdates() const { return FCachedUpdates; }
  void SetCachedUpdates(bool Value);
  TUpdateStatusSet GetStatusFilter() const { return FStatusFilter; }
  void SetStatusFilter(TUpdateStatusSet Value);
  bool IsInStatusFilter(TUpdateStatus Status) const;
  TQVLRecordUpdateOptions GetUpdateOptions() const { return FUpdateOptions; }
  void SetUpdateOptions(TQVLRecordUpdateOptions Value) { FUpdateOptions = Value; }
  TUpdateMode GetUpdateMode() const { return FUpdateMode; }
  void SetUpdateMode(TUpdateMode Value) { FUpdateMode = Value; }
  bool GetCanModify();

  // ---- applying updates ------------------------------------------------------
  // Applies the update log in order, inside a transaction of its own when
  // uoUpdateInTransaction asks and none is open. Records are made final in
  // the cache only after every one was tried and the transaction committed.
  // When anything fails inside a transaction, the log, the records and the
  // position are as they were before the call, also when the session was
  // lost during the COMMIT: the next call first learns whether that
  // transaction committed (its records become final) or not (they are
  // applied again), raising once if the database cannot tell, so that no
  // record is written twice; outside any transaction the
  // records written before the failure are made final (they are on the
  // server) and the rest are as they were. Inside a transaction, without
  // OnUpdateRecord, records go to a dataset that takes batches
  // (PSBatchCapacity) in batches of statements, under the same rules
  // (ApplyInBatches).
  void ApplyUpdates();
  // Writes the change of the record being applied: OnUpdateRecord, else the
  // update object, else generated SQL when uoAllowAutomaticUpdate is set.
  // False when nothing wrote it (skipped). Database errors go to
  // OnUpdateError, whose answer decides; uaAbort raises EAbort.
  // When uoCheckRowsAffected is set without uoAllowMultiRecordUpdates, a
  // record whose writes fail leaves the server as it was: its writes run in
  // the apply's transaction, else under a savepoint of the application's,
  // else in a transaction of their own.
  bool UpdateRecord(TUpdateKind UpdateKind, TDataSet* DataSet);
  void DoUpdateError(EDatabaseError& E, TUpdateKind UpdateKind, TUpdateAction& UpdateAction);
  bool UpdateRecordUsingAutoSQL(TUpdateKind UpdateKind, TDataSet* DataSet);
  // Whether the apply under way sends records in batches; an update object
  // that added its statement to the batch says so with
  // UpdateStatementQueued (see TQVLDataSetUpdateObject::Apply).
  bool BatchingUpdates() const { return FBatching; }
  void UpdateStatementQueued(TQVLDataSetUpdateObject* By) { FQueuedBy = By; }
  TQVLDataSetUpdateObject* GetUpdateObject() const { return FUpdateObject; }
  // Links Value both ways and unlinks the previous object.
  void SetUpdateObject(TQVLDataSetUpdateObject* Value);
  const TNotifyEvent& GetBeforeApplyUpdates() const { return FBeforeApplyUpdates; }
  void SetBeforeApplyUpdates(TNotifyEvent Value) { FBeforeApplyUpdates = std::move(Value); }
  const TNotifyEvent& GetAfterApplyUpdates() const { return FAfterApplyUpdates; }
  void SetAfterApplyUpdates(TNotifyEvent Value) { FAfterApplyUpdates = std::move(Value); }
  const TUpdateRecordEvent& GetOnUpdateRecord() const { return FOnUpdateRecord; }
  void SetOnUpdateRecord(TUpdateRecordEvent Value) { FOnUpdateRecord = std::move(Value); }
  const TUpdateErrorEvent& GetOnUpdateError() const { return FOnUpdateError; }
  void SetOnUpdateError(TUpdateErrorEvent Value) { FOnUpdateError = std::move(Value); }

  // ---- bookmarks and search --------------------------------------------------
  int GetBookmarkSize() const { return kQVLBookmarkSize; }
  void GetBookmarkData(TRecordBuffer Buffer, void* Data);
  void SetBookmarkData(TRecordBuffer Buffer, const void* Data);
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer);
  void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value);
  void InternalGotoBookmark(const void* Bookmark);
  void InternalSetToRecord(TRecordBuffer Buffer);
  // Bookmark: kQVLBookmarkSize bytes, or null for an empty bookmark.
  bool BookmarkValid(const void* Bookmark) const;
  int CompareBookmarks(const void* Bookmark1, const void* Bookmark2) const;
  bool Locate(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options,
              bool Restart);
  bool LocateRecord(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options,
                    bool Restart);
  Variant Lookup(const std::string& KeyFields, const Variant& KeyValues,
                 const std::string& ResultFields);
  struct TKeySearch;  // the keys of one search, prepared

  TDataSet* GetDataSet() const { return FDataSet; }
  IQVLRecordCursor& GetRecordCursor() const { return FRecordCursor; }

  // The first broken invariant of the chain or the update log (see above;
  // also: the log holds each record whose status is not unmodified exactly
  // once, and only those; a modified record has old values, an unmodified
  // or inserted one has none), or "" when all hold. Debug builds check it
  // at the start and end of every operation that changes the chain or the
  // log; fetching checks the chain's end only.
  std::string InvariantFault() const;

 private:
  friend class TQVLBlobStream;
  friend class TQVLDataSetUpdateObject;
  friend class test::TDataSetTestPeer;

  struct alignas(16) TFieldSlot {  // 16 bytes: indexing is a shift
    std::int32_t Offset;           // of the slot from the record's start (same as FFieldOffsets)
    std::int32_t DataSize;         // bytes after the flag; 0 for a blob slot
    bool IsBlob;
    bool IsString;   // a TStringField: writes are cut and zero-terminated
    bool IsVariant;  // a TVariantCell, without a flag byte
  };
  struct TFetchStep {
    int FieldNo;
    std::int32_t Offset;
    bool IsBlob;
    bool IsVariant;
  };

  // The chain: linking a placed record in, unlinking and freeing one,
  // freeing a record with its old values, releasing a record's blobs and the
  // out-of-line bytes of its variant cells (the slots are left null).
  void InsertRecord(TRecordBuffer Record);
  void DeleteRecord(TRecordBuffer Record);
  void FreeRecord(TRecordBuffer Record);
  void ClearBlobs(void* P) noexcept;
  // The allocator of the open engine, or null.
  const TQVLRecordAllocator* GetAllocator() const { return FAllocator.get(); }

  TGetResult MoveCurrent();
  TGetResult MoveNext();
  TGetResult MovePrior();
  TGetResult Move(TGetMode GetMode);
  bool IsVisible(TRecordBuffer Record) const { return IsInStatusFilter(RecordStatus(Record)); }
  TRecordBuffer OldValuesOf(TRecordBuffer Record) const;
  void CalcRecordFields(TRecordBuffer Record);
  bool RecordIsLive(TRecordBuffer Record) const;
  void RemoveFromLog(TRecordBuffer Record);
  void ApplyAtOnce(TUpdateStatus Status);
  // UpdateRecord inside whatever transaction it chose.
  bool WriteRecord(TUpdateKind UpdateKind, TDataSet* DataSet);
  // Whether a record's writes must change exactly one row.
  bool ChecksSingleRow() const {
    return (FUpdateOptions & (uoCheckRowsAffected | uoAllowMultiRecordUpdates)) ==
           uoCheckRowsAffected;
  }
  // Applies the log in batches of statements sent together (see the unit);
  // Undo: each batch under a savepoint, a failure rolled back to it; Release:
  // the last savepoint released at the end.
  void ApplyInBatches(std::vector<std::size_t>& Applied, bool Undo, bool Release);
  // Writes or queues the record being applied as UpdateRecord does, with no
  // OnUpdateRecord and no OnUpdateError.
  bool QueueRecord(TUpdateKind UpdateKind);
  void CommitApplied(const std::vector<std::size_t>& Applied);
  // The records of an apply whose commit the lost session left unanswered
  // are final when the transaction committed after all, and pending again
  // when it did not; raises, once, when the database cannot tell.
  void ResolveInDoubtCommit();
  // Raises while Record's write awaits the outcome of a lost COMMIT.
  void CheckNotInDoubt(TRecordBuffer Record) const;
  void UpdateObjectDestroyed(TQVLDataSetUpdateObject* Object) {
    if (FUpdateObject == Object) FUpdateObject = nullptr;
  }
  void ResetChain();
  int FieldSlotIndex(const TField* Field) const {
    if (Field == nullptr || Field->GetDataSet() != FDataSet) return -1;
    const int index = Field->GetIndex();
    if (index < 0 || static_cast<std::size_t>(index) >= FFieldOffsets.size()) return -1;
    return index;
  }
  TRecordBuffer FieldsRecordOtherwise(TDataSetState State) const;
  static TNewValueHint SlotNewValueHint(const TField& Field, const TFieldSlot& Slot,
                                        TRecordBuffer Now, TRecordBuffer Old, bool Inserted);
  std::string TailFault() const;
  void PrepareKeySearch(TKeySearch& Search, const std::vector<TField*>& Fields,
                        const Variant& KeyValues);
  static bool IsStringFieldType(TFieldType T) {
    return T == ftString || T == ftFixedChar || T == ftWideString || T == ftGuid;
  }
  static bool GetBlobSlotData(const std::uint8_t* Slot, void* Buffer) {
    if (TBlobByteData::SlotData(Slot) == nullptr) return false;
    if (Buffer != nullptr) *static_cast<TBlobByteData*>(Buffer) = TBlobByteData::SlotGet(Slot);
    return true;
  }
  static bool GetVariantSlotData(const std::uint8_t* Slot, void* Buffer) {
    if (Slot[0] == vkNull) return false;
    if (Buffer != nullptr) *static_cast<TVariantCell*>(Buffer) = TVariantCell::SlotGet(Slot);
    return true;
  }

  static TRecordBuffer RecordNext(TRecordBuffer R);
  static TRecordBuffer RecordPrior(TRecordBuffer R);
  static TUpdateStatus RecordStatus(TRecordBuffer R) {
    return static_cast<TUpdateStatus>(R[2 * sizeof(void*)]);
  }
  static TRecordBuffer RecordOld(TRecordBuffer R);
  void PrefetchRecord(TRecordBuffer Record) const;
  void PrefetchLogAhead(const std::vector<TRecordBuffer>& Log, std::size_t I) const;
  static std::int32_t RecordNo(TRecordBuffer R);
  static void SetRecordNext(TRecordBuffer R, TRecordBuffer Value);
  static void SetRecordPrior(TRecordBuffer R, TRecordBuffer Value);
  static void SetRecordStatus(TRecordBuffer R, TUpdateStatus Value) {
    R[2 * sizeof(void*)] = static_cast<std::uint8_t>(Value);
  }
  static void SetRecordOld(TRecordBuffer R, TRecordBuffer Value);
  static void SetRecordNo(TRecordBuffer R, std::int32_t Value);
  // PeekFieldData's work once Record, the record field access reads, is known.
  bool PeekSlot(TField* Field, const std::uint8_t* Record, const void*& Data) const {
    const auto index = static_cast<std::size_t>(Field != nullptr ? Field->GetIndex() : -1);
    if (index >= FFieldSlots.size() || Field->GetDataSet() != FDataSet) return false;
    const TFieldSlot& slot = FFieldSlots[index];
    if (slot.IsBlob) return false;
    const std::uint8_t* at = Record == nullptr ? nullptr : Record + slot.Offset;
    if (slot.IsVariant)
      Data = at != nullptr && at[0] != vkNull ? at : nullptr;
    else
      Data = at != nullptr && at[0] != 0 ? at + 1 : nullptr;
    return true;
  }
  static TRecordBuffer CellRecord(TRecordBuffer Cell) {
    if (Cell == nullptr) return nullptr;
    TRecordBuffer record;
    std::memcpy(&record, Cell, sizeof record);
    return record;
  }
  static void SetCellRecord(TRecordBuffer Cell, TRecordBuffer Record);

  TDataSet* FDataSet;
  TDataSetEngineAccess FHost;  // FDataSet's descendant interface
  IQVLRecordCursor& FRecordCursor;
  bool FFetchOnDemand = true;
  std::vector<std::int32_t> FFieldOffsets;  // by field Index
  std::vector<std::int32_t> FBlobOffsets;   // one per blob field, in Fields order
  std::vector<std::int32_t> FCellOffsets;   // one per variant field, in Fields order
  std::vector<TFieldSlot> FFieldSlots;      // by field Index
  std::vector<TFetchStep> FFetchSteps;      // data fields, in Fields order
  bool FHasCalcFields = false;              // calculated or lookup fields (fixed while open)
  bool FFiltering = false;
  bool FRowPending = false;  // the cursor stands on a row not yet in a record
  int FCheckDepth = 0;       // operations running that check invariants
  std::int32_t FRecordSize = 0;
  std::int32_t FPageSize = 32;
  std::unique_ptr<TQVLRecordAllocator> FAllocator;
  alignas(void*) std::uint8_t FBOF[kQVLRecordHeaderSize] = {};
  TRecordBuffer FCurrentRecord;
  alignas(void*) std::uint8_t FEOF[kQVLRecordHeaderSize] = {};
  TRecordBuffer FEditBackup = nullptr;
  std::unique_ptr<std::vector<TRecordBuffer>> FUpdateLog;
  // The apply whose COMMIT went unanswered: the id that tells its outcome
  // (PSInDoubtCommit) and its records that wrote, still in the log.
  std::string FInDoubtCommit;
  std::vector<TRecordBuffer> FInDoubtRecords;
  std::vector<TQVLBlobStream*> FBlobStreams;  // live streams, cut loose on closing
  TQVLRecordUpdateOptions FUpdateOptions = kQVLDefaultRecordUpdateOptions;
  TUpdateMode FUpdateMode = upWhereAll;
  TQVLDataSetUpdateObject* FUpdateObject = nullptr;  // linked both ways
  bool FCachedUpdates = false;
  // The open transaction is the apply's own, rolled back if the apply fails.
  bool FApplyTransaction = false;
  TUpdateStatusSet FStatusFilter = 0;
  TNotifyEvent FBeforeApplyUpdates;
  TNotifyEvent FAfterApplyUpdates;
  TUpdateRecordEvent FOnUpdateRecord;
  TUpdateErrorEvent FOnUpdateError;
  std::unique_ptr<TQVLDataSetUpdateObject> FAutoSQLGenerator;  // never FUpdateObject
  bool FBatching = false;                                      // see BatchingUpdates
  TQVLDataSetUpdateObject* FQueuedBy = nullptr;  // whose statement the last record queued
};

}  // namespace qvl
