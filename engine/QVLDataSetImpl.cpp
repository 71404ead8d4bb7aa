#include "qvl/engine/QVLDataSetImpl.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <typeinfo>
#include <unordered_set>

#include "qvl/engine/QVLBlobStream.h"
#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Exceptions.h"
#include "qvl/host/runtime/Invariants.h"
#include "qvl/host/runtime/ScopedValue.h"
#include "qvl/resources/QVLConsts.h"

namespace qvl {

namespace {

constexpr std::size_t kPointerSize = sizeof(void*);
constexpr std::size_t kOffNext = 0;
constexpr std::size_t kOffPrior = kPointerSize;
constexpr std::size_t kOffOldRecord = 2 * kPointerSize + 1;
constexpr std::size_t kOffRecNo = 3 * kPointerSize + 1;
static_assert(kOffRecNo + sizeof(std::int32_t) == kQVLRecordHeaderSize);

TRecordBuffer LoadPtr(const std::uint8_t* At) {
  TRecordBuffer p;
  std::memcpy(&p, At, sizeof p);
  return p;
}

void StorePtr(std::uint8_t* At, TRecordBuffer Value) {
  std::memcpy(At, &Value, sizeof Value);
}

}  // namespace

// ---- record header ------------------------------------------------------------

TRecordBuffer TQVLDataSetImpl::RecordNext(TRecordBuffer R) {
  return LoadPtr(R + kOffNext);
}
TRecordBuffer TQVLDataSetImpl::RecordPrior(TRecordBuffer R) {
  return LoadPtr(R + kOffPrior);
}
TRecordBuffer TQVLDataSetImpl::RecordOld(TRecordBuffer R) {
  return LoadPtr(R + kOffOldRecord);
}
std::int32_t TQVLDataSetImpl::RecordNo(TRecordBuffer R) {
  std::int32_t n;
  std::memcpy(&n, R + kOffRecNo, sizeof n);
  return n;
}
void TQVLDataSetImpl::SetRecordNext(TRecordBuffer R, TRecordBuffer Value) {
  StorePtr(R + kOffNext, Value);
}
void TQVLDataSetImpl::SetRecordPrior(TRecordBuffer R, TRecordBuffer Value) {
  StorePtr(R + kOffPrior, Value);
}
void TQVLDataSetImpl::SetRecordOld(TRecordBuffer R, TRecordBuffer Value) {
  StorePtr(R + kOffOldRecord, Value);
}
void TQVLDataSetImpl::SetRecordNo(TRecordBuffer R, std::int32_t Value) {
  std::memcpy(R + kOffRecNo, &Value, sizeof Value);
}
void TQVLDataSetImpl::SetCellRecord(TRecordBuffer Cell, TRecordBuffer Record) {
  StorePtr(Cell, Record);
}

// ---- life ------------------------------------------------------------------------

TQVLDataSetImpl::TQVLDataSetImpl(TDataSet* ADataSet, IQVLRecordCursor& ARecordCursor)
    : FDataSet(ADataSet), FHost(*ADataSet), FRecordCursor(ARecordCursor), FCurrentRecord(FBOF) {
  FHost.SetBookmarkSize(kQVLBookmarkSize);
  FHost.SetUniDirectional(false);
  ResetChain();
}

TQVLDataSetImpl::~TQVLDataSetImpl() {
  if (FUpdateObject != nullptr) FUpdateObject->FDataSetImpl = nullptr;
  InternalClose();
}

void TQVLDataSetImpl::ResetChain() {
  FRowPending = false;
  SetRecordNext(FBOF, nullptr);
  SetRecordPrior(FEOF, FBOF);
  FCurrentRecord = FBOF;
}

void TQVLDataSetImpl::InternalOpen() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  const TFields& fields = FDataSet->Fields();
  const int count = fields.Count();
  std::int64_t size = static_cast<std::int64_t>(kQVLRecordHeaderSize);
  FFieldOffsets.assign(static_cast<std::size_t>(count), 0);
  FFieldSlots.assign(static_cast<std::size_t>(count), TFieldSlot{0, 0, false, false, false});
  FBlobOffsets.clear();
  FCellOffsets.clear();
  FFetchSteps.clear();
  for (int i = 0; i < count; ++i) {
    TField* f = fields.Items(i);
    const auto offset = static_cast<std::int32_t>(size);
    FFieldOffsets[static_cast<std::size_t>(i)] = offset;
    TFieldSlot& slot = FFieldSlots[static_cast<std::size_t>(i)];
    slot.Offset = offset;
    slot.IsBlob = f->IsBlob();
    // Told by type where it can be: a failed dynamic_cast costs hundreds of
    // instructions, and opening asks it of every field.
    slot.IsVariant = !slot.IsBlob && f->GetDataType() == ftVariant;
    if (slot.IsBlob) {
      FBlobOffsets.push_back(offset);
      size += static_cast<std::int64_t>(TBlobByteData::kSlotSize);
    } else if (slot.IsVariant) {
      FCellOffsets.push_back(offset);
      slot.DataSize = static_cast<std::int32_t>(TVariantCell::kSize);
      size += slot.DataSize;
    } else {
      slot.DataSize = f->GetDataSize();
      slot.IsString =
          IsStringFieldType(f->GetDataType()) && dynamic_cast<TStringField*>(f) != nullptr;
      size += slot.DataSize + 1;
    }
    if (f->GetFieldKind() == fkData)
      FFetchSteps.push_back({f->GetFieldNo(), offset, slot.IsBlob, slot.IsVariant});
    if (size > INT32_MAX) throw EQVLRecordAllocatorException(SInvalidRecordSize);
  }
  FRecordSize = static_cast<std::int32_t>(size);
  FHasCalcFields = FDataSet->HasCalcFields();
  ResetChain();
  const bool uni = FDataSet->GetUniDirectional();
  FAllocator = std::make_unique<TQVLRecordAllocator>(
      static_cast<std::uint32_t>(FRecordSize), uni ? 1u : static_cast<std::uint32_t>(FPageSize));
  if (!FBlobOffsets.empty() || !FCellOffsets.empty())
    FAllocator->SetOnRecordFree([this](void* P) { ClearBlobs(P); });
  if (!uni && !FFetchOnDemand) {
    InternalLast();
    FCurrentRecord = FBOF;
  }
}

void TQVLDataSetImpl::InternalClose() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  // The streams' field and records go now.
  for (TQVLBlobStream* stream : FBlobStreams) stream->Detach();
  FBlobStreams.clear();
  FUpdateLog.reset();
  FInDoubtCommit.clear();
  FInDoubtRecords.clear();
  FEditBackup = nullptr;
  // The allocator's destruction releases the blobs of every live record, so
  // the blob offsets must outlive it.
  FAllocator.reset();
  FFieldOffsets.clear();
  FBlobOffsets.clear();
  FCellOffsets.clear();
  FFieldSlots.clear();
  FFetchSteps.clear();
  ResetChain();
  // What it generated belongs to these fields and this table.
  FAutoSQLGenerator.reset();
}

// ---- fetching ----------------------------------------------------------------------

TGetResult TQVLDataSetImpl::FetchNextRecord() {
  const bool uni = FDataSet->GetUniDirectional();
  // A row whose values could not be read is read again, not skipped: the
  // cursor still stands on it.
  const TGetResult r = FRowPending ? grOK : FRecordCursor.FetchNext();
  // A bidirectional chain always grows at its end, FEOF.Prior: the current
  // record is that one whenever its Next is null and it is linked.
  TRecordBuffer last = uni ? FCurrentRecord : RecordPrior(FEOF);
  if (r != grOK) {
    SetRecordNext(last, FEOF);
    SetRecordPrior(FEOF, last);
    FCurrentRecord = FEOF;
    return r;
  }
  FRowPending = true;
  TRecordBuffer record;
  if (!uni) {
    // Filled before it is linked: a row that fails to read leaves the chain
    // as it was.
    record = AllocRecord();
    try {
      FillRecordFromCursor(record, RecordNo(last) + 1);
    } catch (...) {
      FreeRecord(record);
      throw;
    }
    SetRecordPrior(record, last);
    SetRecordNo(record, RecordNo(last) + 1);
    SetRecordNext(last, record);
    SetRecordPrior(FEOF, record);
  } else if (FCurrentRecord == FBOF) {
    // One record serves a unidirectional dataset; it stays out of the chain.
    record = AllocRecord();
    try {
      FillRecordFromCursor(record, 1);
    } catch (...) {
      FreeRecord(record);
      throw;
    }
    SetRecordPrior(record, FBOF);
    SetRecordNo(record, 1);
  } else {
    // The one record is overwritten: a row that fails to read leaves it
    // partly filled, and moving on reads that row again.
    record = FCurrentRecord;
    ClearBlobs(record);
    FillRecordFromCursor(record, RecordNo(record) + 1);
    SetRecordNo(record, RecordNo(record) + 1);
  }
  FRowPending = false;
  SetRecordStatus(record, usUnmodified);
  FCurrentRecord = record;
#ifndef NDEBUG
  // Only the chain's end changed: checking all of it at every row would make
  // reading quadratic.
  if (const std::string fault = TailFault(); !fault.empty())
    InvariantBroken("end", __func__, fault);
#endif
  // With nothing to calculate the host's step would return at once; asking
  // it costs more than the rest of filling a narrow record.
  if (FHasCalcFields || FDataSet->GetOnCalcFields()) CalcRecordFields(record);
  return grOK;
}

void TQVLDataSetImpl::FillRecordFromCursor(TRecordBuffer Record, int RecNo) {
  try {
    for (const TFetchStep& step : FFetchSteps) {
      std::uint8_t* slot = Record + step.Offset;
      if (step.IsBlob) {
        TBlobByteData bytes;
        FRecordCursor.ReadBlobFieldData(step.FieldNo, bytes);
        TBlobByteData::SlotMove(slot, std::move(bytes));
      } else if (step.IsVariant) {
        // The slot is null here (a new record, or one whose values were
        // released): the reader assigns to a cell made in place, whose hold
        // the record keeps.
        FRecordCursor.ReadFieldData(step.FieldNo, new (slot) TVariantCell);
      } else {
        slot[0] = FRecordCursor.ReadFieldData(step.FieldNo, slot + 1) ? 1 : 0;
      }
    }
  } catch (const EDatabaseError& e) {
    // A value that does not convert says which record it is in; the
    // driver's own errors (server, connection) keep their class and state.
    if (typeid(e) != typeid(EDatabaseError)) throw;
    DatabaseErrorFmt(SRecordNotReadable, {std::to_string(RecNo), e.what()});
  }
}

void TQVLDataSetImpl::CalcRecordFields(TRecordBuffer Record) {
  alignas(void*) std::uint8_t cell[sizeof(void*)];
  SetCellRecord(cell, Record);
  FHost.GetCalcFields(cell);
}

// ---- moving --------------------------------------------------------------------------

bool TQVLDataSetImpl::IsInStatusFilter(TUpdateStatus Status) const {
  if (FStatusFilter == 0) return Status != usDeleted;
  return (FStatusFilter & UpdateStatusBit(Status)) != 0;
}

TGetResult TQVLDataSetImpl::MoveCurrent() {
  if (FCurrentRecord == FBOF) return grBOF;
  if (FCurrentRecord == FEOF) return grEOF;
  return IsVisible(FCurrentRecord) ? grOK : grError;
}

TGetResult TQVLDataSetImpl::MoveNext() {
  for (;;) {
    TGetResult r;
    if (FCurrentRecord == FEOF) {
      r = grEOF;
    } else if (TRecordBuffer next = RecordNext(FCurrentRecord); next == nullptr) {
      r = FetchNextRecord();
    } else {
      FCurrentRecord = next;
      r = next == FEOF ? grEOF : grOK;
    }
    if (r != grOK || IsVisible(FCurrentRecord)) return r;
  }
}

TGetResult TQVLDataSetImpl::MovePrior() {
  if (FCurrentRecord == FBOF) return grBOF;
  do {
    FCurrentRecord = RecordPrior(FCurrentRecord);
    if (FCurrentRecord == FBOF) return grBOF;
  } while (!IsVisible(FCurrentRecord));
  return grOK;
}

TGetResult TQVLDataSetImpl::Move(TGetMode GetMode) {
  switch (GetMode) {
    case gmCurrent:
      return MoveCurrent();
    case gmNext:
      return MoveNext();
    case gmPrior:
      return MovePrior();
  }
  return grError;
}

TGetResult TQVLDataSetImpl::GetRecord(TGetMode GetMode) {
  if (!FDataSet->GetFiltered() || !FDataSet->GetOnFilterRecord()) return Move(GetMode);
  // The handler may replace itself; this step keeps the one it started with.
  const TFilterRecordEvent handler = FDataSet->GetOnFilterRecord();
  TDataSetTempState state(*FDataSet, dsFilter);
  TScopedValue<bool> filtering(FFiltering, true);
  for (;;) {
    // Reading rows may fail (the server, the connection, a value): that
    // reaches the caller as it does without a filter.
    const TGetResult r = Move(GetMode);
    if (r != grOK) return r;
    bool accept = true;
    try {
      handler(FDataSet, accept);
    } catch (...) {
      // A failing filter ends the move with no record.
      return grError;
    }
    if (accept) return grOK;
    if (GetMode == gmCurrent) return grError;
  }
}

TGetResult TQVLDataSetImpl::GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) {
  (void)DoCheck;
  TGetResult r = GetRecord(GetMode);
  SetCellRecord(Buffer, r == grOK ? FCurrentRecord : nullptr);
  return r;
}

void TQVLDataSetImpl::InternalFirst() {
  FCurrentRecord = FBOF;
}

void TQVLDataSetImpl::InternalLast() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (!IsAllFetched()) {
    FCurrentRecord = RecordPrior(FEOF);
    while (FetchNextRecord() == grOK) {
    }
  }
  FCurrentRecord = FEOF;
}

void TQVLDataSetImpl::SkipRecords(int Count) {
  for (int i = 0; i < Count; ++i)
    if (GetRecord(gmNext) != grOK) break;
}

TRecordBuffer TQVLDataSetImpl::MoveFromCurrentRecord() {
  TRecordBuffer record = FCurrentRecord;
  if (GetRecord(gmNext) == grEOF) FCurrentRecord = RecordPrior(record);
  return record;
}

void TQVLDataSetImpl::ResyncAndCheckForScroll() {
  // The active buffer may name a record that was just freed (a rolled back
  // insert): before-scroll handlers then see no record rather than its
  // remains.
  TRecordBuffer active = GetActiveRecordBuffer();
  const bool moved = active != FCurrentRecord;
  if (moved && active != nullptr && !RecordIsLive(active))
    SetCellRecord(FHost.ActiveBuffer(), nullptr);
  if (moved) FHost.DoBeforeScroll();
  FHost.Resync(0);
  if (moved) FHost.DoAfterScroll();
}

// ---- host buffers ------------------------------------------------------------------------

TRecordBuffer TQVLDataSetImpl::FieldsRecordOtherwise(TDataSetState State) const {
  if (FFiltering) {
    if (FCurrentRecord == FBOF || FCurrentRecord == FEOF) return nullptr;
    return State == dsOldValue ? OldValuesOf(FCurrentRecord) : FCurrentRecord;
  }
  if (State == dsCalcFields) return CellRecord(FHost.CalcBuffer());
  return OldValuesOf(GetActiveRecordBuffer());  // dsOldValue
}

TRecordBuffer TQVLDataSetImpl::OldValuesOf(TRecordBuffer Record) const {
  if (Record == nullptr) return nullptr;
  if (TRecordBuffer old = RecordOld(Record)) return old;
  if (FEditBackup != nullptr) return FEditBackup;
  return Record;
}

TRecordBuffer TQVLDataSetImpl::AllocRecord() {
  return static_cast<TRecordBuffer>(FAllocator->AllocRecord());
}

TRecordBuffer TQVLDataSetImpl::AllocRecordBuffer() {
  return new std::uint8_t[sizeof(void*)]();
}

void TQVLDataSetImpl::FreeRecordBuffer(TRecordBuffer& Buffer) {
  delete[] Buffer;
  Buffer = nullptr;
}

void TQVLDataSetImpl::InitRecord(TRecordBuffer Buffer) {
  TRecordBuffer record = AllocRecord();
  SetRecordStatus(record, usInserted);
  SetCellRecord(Buffer, record);
}

void TQVLDataSetImpl::InternalInitRecord(TRecordBuffer Buffer) {
  TRecordBuffer record = CellRecord(Buffer);
  if (record == nullptr) return;
  ClearBlobs(record);
  std::memset(record + kQVLRecordHeaderSize, 0,
              static_cast<std::size_t>(FRecordSize) - kQVLRecordHeaderSize);
}

bool TQVLDataSetImpl::GetCurrentRecord(TRecordBuffer Buffer) {
  TRecordBuffer record = GetFieldsRecordBuffer();
  if (record == nullptr) return false;
  CopyRecordData(record, Buffer);
  return true;
}

// ---- settings, numbers, counts -----------------------------------------------------------------

void TQVLDataSetImpl::SetPageSize(int Value) {
  FDataSet->CheckInactive();
  FPageSize = Value;
}

void TQVLDataSetImpl::SetFetchOnDemand(bool Value) {
  if (Value != FFetchOnDemand && !Value && !FDataSet->GetUniDirectional() && IsCursorOpen()) {
    InternalLast();
    FHost.CursorPosChanged();
  }
  FFetchOnDemand = Value;
}

bool TQVLDataSetImpl::GetUniDirectional() const {
  return FDataSet->GetUniDirectional();
}

void TQVLDataSetImpl::SetUniDirectional(bool Value) {
  FDataSet->CheckInactive();
  FHost.SetUniDirectional(Value);
}

bool TQVLDataSetImpl::IsAllFetched() const {
  return RecordNext(RecordPrior(const_cast<std::uint8_t*>(FEOF))) != nullptr;
}

bool TQVLDataSetImpl::IsSequenced() const {
  return IsCursorOpen() && IsAllFetched();
}

int TQVLDataSetImpl::GetRecordCount() {
  FDataSet->CheckActive();
  return IsAllFetched() ? RecordNo(RecordPrior(FEOF)) : -1;
}

int TQVLDataSetImpl::GetRecNo() {
  FDataSet->CheckActive();
  TRecordBuffer record = GetActiveRecordBuffer();
  return record == nullptr ? -1 : RecordNo(record);
}

void TQVLDataSetImpl::SetRecNo(int Value) {
  FDataSet->CheckBrowseMode();
  if (Value == GetRecNo()) return;
  FHost.DoBeforeScroll();
  InternalFirst();
  SkipRecords(Value);
  FHost.Resync(rmCenter);
  FHost.DoAfterScroll();
}

// ---- field data ---------------------------------------------------------------------------------

void TQVLDataSetImpl::NewValueHints(bool Inserted, std::vector<TNewValueHint>& Hints) {
  // The two records are found once for all fields: switching the state
  // per field cost more than telling the fields apart.
  const TFields& fields = FDataSet->Fields();
  const auto n = static_cast<std::size_t>(fields.Count());
  Hints.assign(n, TNewValueHint::Unknown);
  TRecordBuffer now, old;
  {
    TDataSetTempState state(*FDataSet, dsNewValue);
    now = GetFieldsRecordBuffer();
  }
  {
    TDataSetTempState state(*FDataSet, dsOldValue);
    old = GetFieldsRecordBuffer();
  }
  if (now == nullptr || old == nullptr) return;
  for (std::size_t i = 0; i < n; ++i) {
    const TField& field = *fields[static_cast<int>(i)];
    if (FieldSlotIndex(&field) == static_cast<int>(i) && field.GetFieldKind() == fkData)
      Hints[i] = SlotNewValueHint(field, FFieldSlots[i], now, old, Inserted);
  }
}

TQVLDataSetImpl::TNewValueHint TQVLDataSetImpl::SlotNewValueHint(const TField& Field,
                                                                 const TFieldSlot& Slot,
                                                                 TRecordBuffer Now,
                                                                 TRecordBuffer Old, bool Inserted) {
  using enum TNewValueHint;
  const std::uint8_t* a = Now + Slot.Offset;
  const std::uint8_t* b = Old + Slot.Offset;
  if (Slot.IsBlob) {
    // An inserted record's null blob was never given a value; an array is one.
    if (Inserted) return TBlobByteData::SlotData(a) == nullptr ? Unassigned : Assigned;
    // Blobs share their bytes until written: one array is one value.
    return TBlobByteData::SlotData(a) == TBlobByteData::SlotData(b) ? Unassigned : Unknown;
  }
  if (Slot.IsVariant) {
    // A variant's value is left to its field, unless the cells are the same
    // bytes: the same number or short value, or the same shared array.
    const TVariantCellView now(a);
    if (Inserted) return now.IsNull() ? Unassigned : Unknown;
    if (std::memcmp(a, b, TVariantCell::kSize) != 0) return Unknown;
    return now.Kind() == vkReal && std::isnan(now.Real()) ? Unknown : Unassigned;
  }
  if (Inserted) return a[0] == 0 ? Unassigned : Assigned;
  if (a[0] != b[0]) return Assigned;  // null against a value
  if (a[0] == 0) return Unassigned;
  const auto size = static_cast<std::size_t>(Slot.DataSize);
  const TFieldType type = Field.GetDataType();
  switch (type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftLargeint:
    case ftAutoInc:
      return std::memcmp(a + 1, b + 1, size) == 0 ? Unassigned : Assigned;
    case ftString: {
      if (!Slot.IsString) break;
      // The text ends at its terminator; what follows it is no part of it.
      const auto* x = reinterpret_cast<const char*>(a + 1);
      const auto* y = reinterpret_cast<const char*>(b + 1);
      const std::size_t n = strnlen(x, size);
      return n == strnlen(y, size) && std::memcmp(x, y, n) == 0 ? Unassigned : Assigned;
    }
    case ftFloat:
    case ftCurrency: {
      // A NaN is not its own old value, and -0 is 0: only the same bytes of
      // a number are surely the same value.
      double d;
      if (size != sizeof d || std::memcmp(a + 1, b + 1, size) != 0) return Unknown;
      std::memcpy(&d, a + 1, sizeof d);
      return std::isnan(d) ? Unknown : Unassigned;
    }
    default:
      break;
  }
  return std::memcmp(a + 1, b + 1, size) == 0 ? Unassigned : Unknown;
}

void TQVLDataSetImpl::SetFieldData(TField* Field, const void* Buffer) {
  TRecordBuffer record = GetFieldsRecordBuffer();
  if (record == nullptr) DatabaseError(SNotEditing, FDataSet);
  const int index = FieldSlotIndex(Field);
  if (index < 0) return;
  const TFieldSlot& slot = FFieldSlots[static_cast<std::size_t>(index)];
  std::uint8_t* at = record + FFieldOffsets[static_cast<std::size_t>(index)];
  if (slot.IsBlob) {
    // Values come through the blob streams; here a blob can only become null.
    if (Buffer != nullptr) return;
    TBlobByteData::SlotRelease(at);
  } else if (slot.IsVariant) {
    if (Buffer != nullptr)
      TVariantCell::SlotAssign(at, *static_cast<const TVariantCell*>(Buffer));
    else
      TVariantCell::SlotRelease(at);
  } else if (Buffer != nullptr) {
    at[0] = 1;
    if (slot.IsString) {
      // Cut to the slot, and never inside a UTF-8 sequence.
      const auto* text = static_cast<const char*>(Buffer);
      std::size_t limit = slot.DataSize > 0 ? static_cast<std::size_t>(slot.DataSize) - 1 : 0;
      std::size_t n = strnlen(text, limit + 1);
      if (n > limit) {
        n = limit;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
      }
      std::memcpy(at + 1, text, n);
      if (slot.DataSize > 0) at[1 + n] = 0;
    } else {
      std::memcpy(at + 1, Buffer, static_cast<std::size_t>(slot.DataSize));
    }
  } else {
    at[0] = 0;
  }
  const TDataSetState state = FDataSet->GetState();
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue)
    FDataSet->DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

int TQVLDataSetImpl::GetBlobFieldData(int FieldNo, TBlobByteData& Buffer) {
  TRecordBuffer record = GetFieldsRecordBuffer();
  if (record != nullptr) {
    const int index = FieldSlotIndex(FDataSet->FieldByNumber(FieldNo));
    if (index >= 0 && FFieldSlots[static_cast<std::size_t>(index)].IsBlob)
      Buffer = TBlobByteData::SlotGet(record + FFieldOffsets[static_cast<std::size_t>(index)]);
  }
  return static_cast<int>(Buffer.Length());
}

std::unique_ptr<TStream> TQVLDataSetImpl::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
  auto* blob = dynamic_cast<TBlobField*>(Field);
  if (blob == nullptr) throw EInvalidCast(SInvalidCast);
  return std::make_unique<TQVLBlobStream>(this, blob, Mode);
}

void TQVLDataSetImpl::ClearBlobs(void* P) noexcept {
  auto* record = static_cast<std::uint8_t*>(P);
  for (std::int32_t offset : FBlobOffsets) TBlobByteData::SlotRelease(record + offset);
  for (std::int32_t offset : FCellOffsets) TVariantCell::SlotRelease(record + offset);
}

void TQVLDataSetImpl::FreeRecord(TRecordBuffer Record) {
  while (Record != nullptr) {
    TRecordBuffer old = RecordOld(Record);
    FAllocator->FreeRecord(Record);
    Record = old;
  }
}

void TQVLDataSetImpl::CopyRecordData(TRecordBuffer Source, TRecordBuffer Dest) {
  std::memcpy(Dest + kQVLRecordHeaderSize, Source + kQVLRecordHeaderSize,
              static_cast<std::size_t>(FRecordSize) - kQVLRecordHeaderSize);
  for (std::int32_t offset : FBlobOffsets) TBlobByteData::SlotAddRef(Dest + offset);
  for (std::int32_t offset : FCellOffsets) TVariantCell::SlotAddRef(Dest + offset);
}

// ---- editing ----------------------------------------------------------------

std::vector<TRecordBuffer>& TQVLDataSetImpl::GetUpdatedRecords() {
  if (!FUpdateLog) FUpdateLog = std::make_unique<std::vector<TRecordBuffer>>();
  return *FUpdateLog;
}

void TQVLDataSetImpl::RemoveFromLog(TRecordBuffer Record) {
  if (!FUpdateLog) return;
  auto it = std::find(FUpdateLog->begin(), FUpdateLog->end(), Record);
  if (it != FUpdateLog->end()) FUpdateLog->erase(it);
  FInDoubtRecords.erase(std::remove(FInDoubtRecords.begin(), FInDoubtRecords.end(), Record),
                        FInDoubtRecords.end());
}

void TQVLDataSetImpl::InsertRecord(TRecordBuffer Record) {
  TRecordBuffer prior = RecordPrior(Record);
  TRecordBuffer next = RecordNext(Record);
  SetRecordNext(prior, Record);
  // Placed after the last row read while rows remain unread: it becomes the
  // record that fetching continues from.
  SetRecordPrior(next != nullptr ? next : FEOF, Record);
  for (TRecordBuffer r = next; r != nullptr && r != FEOF; r = RecordNext(r))
    SetRecordNo(r, RecordNo(r) + 1);
}

void TQVLDataSetImpl::DeleteRecord(TRecordBuffer Record) {
  TRecordBuffer prior = RecordPrior(Record);
  TRecordBuffer next = RecordNext(Record);
  SetRecordNext(prior, next);
  // Without a successor read yet, FEOF.Prior named this record: fetching
  // must go on from its predecessor.
  SetRecordPrior(next != nullptr ? next : FEOF, prior);
  if (FCurrentRecord == Record) FCurrentRecord = prior;
  FreeRecord(Record);
  for (TRecordBuffer r = next; r != nullptr && r != FEOF; r = RecordNext(r))
    SetRecordNo(r, RecordNo(r) - 1);
}

void TQVLDataSetImpl::CheckNotInDoubt(TRecordBuffer Record) const {
  // Until the lost COMMIT is looked up, the record's log entry stands for a
  // write that may be on the server already: a new change would be made final
  // unwritten if it was, or an insert deleted here would stay there.
  if (std::find(FInDoubtRecords.begin(), FInDoubtRecords.end(), Record) != FInDoubtRecords.end())
    DatabaseError(SRecordInDoubt);
}

void TQVLDataSetImpl::InternalEdit() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (RecordStatus(FCurrentRecord) == usDeleted) DatabaseError(SDeletedRecordEdit);
  CheckNotInDoubt(FCurrentRecord);
  TRecordBuffer backup = AllocRecord();
  CopyRecordData(FCurrentRecord, backup);
  if (FEditBackup != nullptr) FreeRecord(FEditBackup);
  FEditBackup = backup;
}

void TQVLDataSetImpl::InternalInsert() {
  FHost.CursorPosChanged();
}

void TQVLDataSetImpl::InternalAddRecord(TRecordBuffer Buffer, bool Append) {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (Append) InternalLast();
  TRecordBuffer record = CellRecord(Buffer);
  if (FCurrentRecord == FBOF) {
    SetRecordNext(record, RecordNext(FBOF));
    SetRecordPrior(record, FBOF);
  } else {
    SetRecordNext(record, FCurrentRecord);
    SetRecordPrior(record, RecordPrior(FCurrentRecord));
  }
  SetRecordNo(record, RecordNo(RecordPrior(record)) + 1);
  FCurrentRecord = record;
  InternalPost();
}

void TQVLDataSetImpl::InternalPost() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  switch (FDataSet->GetState()) {
    case dsEdit:
      if (FDataSet->GetModified() && RecordStatus(FCurrentRecord) == usUnmodified) {
        RegisterUpdate(usModified);
      } else if (FEditBackup != nullptr) {
        FreeRecord(FEditBackup);
      }
      FEditBackup = nullptr;
      break;
    case dsInsert: {
      TRecordBuffer record = FCurrentRecord;
      RegisterUpdate(usInserted);
      InsertRecord(record);
      break;
    }
    default:
      break;
  }
}

void TQVLDataSetImpl::InternalCancel() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  switch (FDataSet->GetState()) {
    case dsEdit:
      if (FEditBackup != nullptr) {
        ClearBlobs(FCurrentRecord);
        CopyRecordData(FEditBackup, FCurrentRecord);
        FreeRecord(FEditBackup);
        FEditBackup = nullptr;
      }
      break;
    case dsInsert: {
      // The new record is the active one. The cursor stands on it after
      // Insert and Append; a one-call insert that failed may have left it
      // on the record the new one was to go before.
      TRecordBuffer record = GetActiveRecordBuffer();
      if (record == nullptr || !RecordIsLive(record)) break;
      if (record == FCurrentRecord) MoveFromCurrentRecord();
      FreeRecord(record);
      break;
    }
    default:
      break;
  }
}

void TQVLDataSetImpl::InternalDelete() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  TRecordBuffer record = FCurrentRecord;
  CheckNotInDoubt(record);
  switch (RecordStatus(record)) {
    case usUnmodified:
      RegisterUpdate(usDeleted);
      break;
    case usModified:
      SetRecordStatus(record, usDeleted);
      CalcRecordFields(record);
      break;
    case usInserted:
      RemoveFromLog(record);
      MoveFromCurrentRecord();
      DeleteRecord(record);
      break;
    case usDeleted:
      DatabaseError(SDeletedRecordDelete);
  }
}

void TQVLDataSetImpl::InternalRefresh() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  FDataSet->CheckBrowseMode();
  const int recNo = GetRecNo();
  InternalClose();
  FRecordCursor.Restart();
  InternalOpen();
  SkipRecords(recNo);
}

void TQVLDataSetImpl::RegisterUpdate(TUpdateStatus Status) {
  if (!FCachedUpdates) return ApplyAtOnce(Status);
  TRecordBuffer record = FCurrentRecord;
  GetUpdatedRecords().push_back(record);
  SetRecordStatus(record, Status);
  SetRecordOld(record, FEditBackup);
  FEditBackup = nullptr;
  CalcRecordFields(record);
}

void TQVLDataSetImpl::CommitUpdate(TRecordBuffer Record) {
  switch (RecordStatus(Record)) {
    case usDeleted:
      if (Record == FCurrentRecord) MoveFromCurrentRecord();
      DeleteRecord(Record);
      return;
    case usModified:
      if (TRecordBuffer old = RecordOld(Record)) FreeRecord(old);
      SetRecordOld(Record, nullptr);
      break;
    default:
      break;
  }
  SetRecordStatus(Record, usUnmodified);
  CalcRecordFields(Record);
  if (Record == FCurrentRecord && !IsInStatusFilter(usUnmodified)) MoveFromCurrentRecord();
}

void TQVLDataSetImpl::RollbackUpdate(TRecordBuffer Record) {
  switch (RecordStatus(Record)) {
    case usInserted:
      if (Record == FCurrentRecord) MoveFromCurrentRecord();
      DeleteRecord(Record);
      break;
    case usModified:
    case usDeleted:
      if (Record == FCurrentRecord && !IsInStatusFilter(usUnmodified)) MoveFromCurrentRecord();
      if (TRecordBuffer old = RecordOld(Record)) {
        ClearBlobs(Record);
        CopyRecordData(old, Record);
        SetRecordOld(Record, nullptr);
        FreeRecord(old);
      }
      SetRecordStatus(Record, usUnmodified);
      CalcRecordFields(Record);
      break;
    case usUnmodified:
      break;
  }
}

void TQVLDataSetImpl::RevertRecord() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  FDataSet->Cancel();
  if (!GetUpdatesPending()) return;
  FHost.UpdateCursorPos();
  TRecordBuffer record = FCurrentRecord;
  auto it = std::find(FUpdateLog->begin(), FUpdateLog->end(), record);
  if (it == FUpdateLog->end()) return;
  FUpdateLog->erase(it);
  RollbackUpdate(record);
  ResyncAndCheckForScroll();
}

void TQVLDataSetImpl::CancelUpdates() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  FDataSet->Cancel();
  if (!GetUpdatesPending()) return;
  FHost.UpdateCursorPos();
  // Last change first, so that each record gets back what it had.
  std::unique_ptr<std::vector<TRecordBuffer>> log = std::move(FUpdateLog);
  FInDoubtCommit.clear();
  FInDoubtRecords.clear();
  for (auto it = log->rbegin(); it != log->rend(); ++it) RollbackUpdate(*it);
  log.reset();
  ResyncAndCheckForScroll();
}

TUpdateStatus TQVLDataSetImpl::UpdateStatus() {
  FDataSet->CheckActive();
  TRecordBuffer record = GetFieldsRecordBuffer();
  return record == nullptr ? usUnmodified : RecordStatus(record);
}

void TQVLDataSetImpl::SetCachedUpdates(bool Value) {
  if (Value == FCachedUpdates) return;
  if (FDataSet->GetState() != dsInactive && !Value) CancelUpdates();
  FCachedUpdates = Value;
}

void TQVLDataSetImpl::SetStatusFilter(TUpdateStatusSet Value) {
  if (Value == FStatusFilter) return;
  FStatusFilter = Value;
  if (FDataSet->GetActive()) FDataSet->First();
}

bool TQVLDataSetImpl::GetCanModify() {
  if (FDataSet->GetUniDirectional()) return false;
  if (FUpdateObject != nullptr) return true;
  if ((FUpdateOptions & uoAllowAutomaticUpdate) != 0 && !FDataSet->PSGetTableName().empty())
    return true;
  return FCachedUpdates;
}

// ---- applying updates ---------------------------------------------------------------------

namespace {

TUpdateKind UpdateKindOf(TUpdateStatus Status) {
  switch (Status) {
    case usInserted:
      return ukInsert;
    case usDeleted:
      return ukDelete;
    default:
      return ukModify;
  }
}

// Ends a transaction that is being abandoned because of another error: that
// error is the one to report, and a rollback that fails with it (a lost
// connection) must not replace it.
void RollbackQuietly(TDataSet* DataSet) noexcept {
  try {
    DataSet->PSEndTransaction(false);
  } catch (...) {
  }
}

// Marks the open transaction as the apply's own while it lasts.
class TApplyTransactionScope {
 public:
  TApplyTransactionScope(bool& Flag, bool Own) : FFlag(Flag), FSaved(Flag) { Flag = Own; }
  TApplyTransactionScope(const TApplyTransactionScope&) = delete;
  TApplyTransactionScope& operator=(const TApplyTransactionScope&) = delete;
  ~TApplyTransactionScope() { FFlag = FSaved; }

 private:
  bool& FFlag;
  bool FSaved;
};

}  // namespace

bool TQVLDataSetImpl::UpdateRecord(TUpdateKind UpdateKind, TDataSet* DataSet) {
  // A statement that changed several rows is found out only after it ran:
  // outside any transaction it would be committed already.
  if (!ChecksSingleRow() || FApplyTransaction || FDataSet->PSInTransaction())
    return WriteRecord(UpdateKind, DataSet);
  FDataSet->PSStartTransaction();
  const TApplyTransactionScope own(FApplyTransaction, true);
  bool applied;
  try {
    applied = WriteRecord(UpdateKind, DataSet);
  } catch (...) {
    RollbackQuietly(FDataSet);
    throw;
  }
  FDataSet->PSEndTransaction(true);
  return applied;
}

bool TQVLDataSetImpl::WriteRecord(TUpdateKind UpdateKind, TDataSet* DataSet) {
  // Inside a transaction a failed statement can spoil the rest of it (on
  // PostgreSQL every later statement and the commit fail). When OnUpdateError
  // may answer anything but failing, the record's writes run under a
  // savepoint, so that the transaction goes on after a skip, a retry or a
  // record counted as applied. In the application's transaction they do
  // also when a statement may change too many rows: the error leaves the
  // transaction usable, and what the application commits next must not
  // hold those rows changed.
  const bool savepoint = (FOnUpdateError || (ChecksSingleRow() && !FApplyTransaction)) &&
                         FDataSet->PSIsSQLBased() && FDataSet->PSInTransaction();
  if (savepoint) FDataSet->PSExecuteStatement("SAVEPOINT qvl_update_record", nullptr);
  TUpdateAction action;
  do {
    action = uaFail;
    try {
      if (FOnUpdateRecord) FOnUpdateRecord(DataSet, UpdateKind, action);
      if (action == uaFail) {
        if (FUpdateObject != nullptr && FUpdateObject->Apply(UpdateKind, DataSet))
          action = uaApplied;
        else if ((FUpdateOptions & uoAllowAutomaticUpdate) != 0)
          action = UpdateRecordUsingAutoSQL(UpdateKind, DataSet) ? uaApplied : uaSkip;
        else
          action = uaSkip;
      }
    } catch (EDatabaseError& e) {
      if (savepoint)
        FDataSet->PSExecuteStatement("ROLLBACK TO SAVEPOINT qvl_update_record", nullptr);
      action = uaFail;
      DoUpdateError(e, UpdateKind, action);
      if (action == uaFail) throw;
    }
  } while (action == uaRetry);
  if (savepoint) FDataSet->PSExecuteStatement("RELEASE SAVEPOINT qvl_update_record", nullptr);
  switch (action) {
    case uaApplied:
      return true;
    case uaAbort:
      Abort();
    default:
      return false;  // uaSkip
  }
}

void TQVLDataSetImpl::DoUpdateError(EDatabaseError& E, TUpdateKind UpdateKind,
                                    TUpdateAction& UpdateAction) {
  if (FOnUpdateError) FOnUpdateError(FDataSet, E, UpdateKind, UpdateAction);
}

bool TQVLDataSetImpl::UpdateRecordUsingAutoSQL(TUpdateKind UpdateKind, TDataSet* DataSet) {
  (void)DataSet;
  // Kept from one record to the next (it remembers the last statement it
  // processed), but linked only while it applies one.
  if (FAutoSQLGenerator == nullptr) FAutoSQLGenerator = FRecordCursor.CreateAutoSQLGenerator();
  if (FAutoSQLGenerator == nullptr) return false;
  TQVLDataSetUpdateObject& generator = *FAutoSQLGenerator;
  generator.FDataSetImpl = this;
  struct TUnlink {
    TQVLDataSetUpdateObject& Object;
    ~TUnlink() { Object.FDataSetImpl = nullptr; }
  } unlink{generator};
  return generator.Apply(UpdateKind, generator.GetDataSet());
}

void TQVLDataSetImpl::PrefetchRecord(TRecordBuffer Record) const {
  for (std::int32_t at = 0; at < FRecordSize; at += 64) __builtin_prefetch(Record + at);
}

void TQVLDataSetImpl::PrefetchLogAhead(const std::vector<TRecordBuffer>& Log, std::size_t I) const {
  // A long log's records have long left the caches; while the server works
  // on one record the ones after it and their old values are brought in. A
  // header comes in first, as it holds its old record's address.
  if (I + 4 < Log.size()) __builtin_prefetch(Log[I + 4]);
  if (I + 2 < Log.size()) {
    PrefetchRecord(Log[I + 2]);
    if (TRecordBuffer old = RecordOld(Log[I + 2])) {
      // Reading the header above brought its page in; a processor may drop
      // a prefetch into a page it has not translated lately, so the old
      // record's page is brought in by a real read too.
      volatile std::uint8_t touch = old[0];
      (void)touch;
      PrefetchRecord(old);
    }
  }
}

void TQVLDataSetImpl::ApplyUpdates() {
  // One operation for the checks: between the commits of the records and
  // the rebuilding of the log, committed records are still listed.
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  FDataSet->CheckBrowseMode();
  if (!FInDoubtCommit.empty()) ResolveInDoubtCommit();
  if (!GetUpdatesPending()) return;
  std::vector<std::size_t> applied;  // log positions, in log order
  if (FBeforeApplyUpdates) FBeforeApplyUpdates(FDataSet);
  const bool applicationTransaction = FDataSet->PSInTransaction();
  const bool inTransaction =
      (FUpdateOptions & uoUpdateInTransaction) != 0 && !applicationTransaction;
  if (inTransaction) FDataSet->PSStartTransaction();
  const TApplyTransactionScope own(FApplyTransaction, inTransaction);
  // The framework believes the engine stands where it stood before; the loop
  // moves FCurrentRecord without telling it, so the position is put back on
  // every exit rather than left to the framework to find again.
  TRecordBuffer const current = FCurrentRecord;
  FFiltering = true;
  bool committing = false;
  try {
    // Inside a transaction, records whose statements need no handler of
    // the application's go to the server in batches.
    if ((inTransaction || applicationTransaction) && !FOnUpdateRecord &&
        FDataSet->PSBatchCapacity() > 1) {
      ApplyInBatches(applied, FOnUpdateError || applicationTransaction, applicationTransaction);
    } else {
      const std::size_t count = FUpdateLog->size();
      for (std::size_t i = 0; i < count; ++i) {
        FCurrentRecord = (*FUpdateLog)[i];
        const TUpdateKind kind = UpdateKindOf(RecordStatus(FCurrentRecord));
        PrefetchLogAhead(*FUpdateLog, i);
        if (UpdateRecord(kind, FDataSet)) applied.push_back(i);
      }
    }
    FFiltering = false;
    FCurrentRecord = current;
    if (inTransaction) {
      committing = true;
      FDataSet->PSEndTransaction(true);
    }
  } catch (...) {
    FFiltering = false;
    FCurrentRecord = current;
    if (inTransaction) {
      if (committing) {
        // Whether the COMMIT took effect is learnt on the next call.
        FInDoubtCommit = FDataSet->PSInDoubtCommit();
        for (std::size_t i : applied)
          if (!FInDoubtCommit.empty()) FInDoubtRecords.push_back((*FUpdateLog)[i]);
      }
      RollbackQuietly(FDataSet);
    } else if (!applicationTransaction && !applied.empty()) {
      // Outside any transaction the records written before the failure are
      // on the server for good: sending them again would insert them twice
      // or find their old values gone. They become final here; the record
      // that failed and those after it stay exactly as they were.
      try {
        CommitApplied(applied);
      } catch (...) {
      }
    }
    throw;
  }
  CommitApplied(applied);
  if (FAfterApplyUpdates) FAfterApplyUpdates(FDataSet);
}

void TQVLDataSetImpl::ResolveInDoubtCommit() {
  // Raises, doubt kept, while the session is not back.
  const TCommitOutcome outcome = FDataSet->PSCommitOutcome(FInDoubtCommit);
  FInDoubtCommit.clear();
  std::vector<TRecordBuffer> records;
  records.swap(FInDoubtRecords);
  // Asked again, the database would not know better: the records stay
  // pending, for the application to apply again or cancel.
  if (outcome == coUnknown) DatabaseError(SApplyOutcomeUnknown);
  if (outcome != coCommitted || records.empty()) return;
  std::sort(records.begin(), records.end());
  std::vector<std::size_t> applied;
  const std::vector<TRecordBuffer>& log = *FUpdateLog;
  for (std::size_t i = 0; i < log.size(); ++i)
    if (std::binary_search(records.begin(), records.end(), log[i])) applied.push_back(i);
  CommitApplied(applied);
}

bool TQVLDataSetImpl::QueueRecord(TUpdateKind UpdateKind) {
  const TScopedValue<bool> batching(FBatching, true);
  FQueuedBy = nullptr;
  if (FUpdateObject != nullptr && FUpdateObject->Apply(UpdateKind, FDataSet)) return true;
  if ((FUpdateOptions & uoAllowAutomaticUpdate) != 0)
    return UpdateRecordUsingAutoSQL(UpdateKind, FDataSet);
  return false;
}

void TQVLDataSetImpl::ApplyInBatches(std::vector<std::size_t>& Applied, bool Undo, bool Release) {
  // Batches start small, so that a failure early sends little again, and
  // double up to what the dataset takes. Each record's statement is queued
  // as the record would be applied; once the batch ran, the first record
  // whose statement failed or affected the wrong number of rows ends it.
  // Without Undo that failure ends the apply (its transaction rolls back).
  // With Undo the batch is rolled back to its savepoint, the records before
  // the failed one go again in a batch of their own, and the failed one
  // goes alone, exactly as an apply without batches sends it, where
  // OnUpdateError decides; then batching goes on after it. A record goes
  // alone too when its statement cannot be queued. Each record is thus
  // written once in the end, in log order.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  const auto capacity = static_cast<std::size_t>(std::max(1, FDataSet->PSBatchCapacity()));
  const std::vector<TRecordBuffer>& log = *FUpdateLog;
  const std::size_t count = log.size();
  std::size_t size = std::min<std::size_t>(256, capacity);
  std::size_t i = 0, alone = kNone;
  bool saved = false;  // the savepoint of a batch before is still there
  struct TQueued {
    std::size_t Index;
    TQVLDataSetUpdateObject* By;  // whose statement it queued; null: none
    bool Applied;
  };
  std::vector<TQueued> batch;
  std::vector<TBatchOutcome> outcomes;
  while (i < count) {
    if (i == alone) {
      FCurrentRecord = log[i];
      if (UpdateRecord(UpdateKindOf(RecordStatus(FCurrentRecord)), FDataSet)) Applied.push_back(i);
      alone = kNone;
      ++i;
      continue;
    }
    const std::size_t start = i;
    std::size_t own = 0;  // the batch's own statements, before the records'
    if (Undo) {
      if (saved) {
        FDataSet->PSBatchAdd("RELEASE SAVEPOINT qvl_apply_batch", nullptr);
        ++own;
      }
      FDataSet->PSBatchAdd("SAVEPOINT qvl_apply_batch", nullptr);
      ++own;
      saved = true;
    }
    batch.clear();
    for (; i < count && i != alone && batch.size() < size; ++i) {
      FCurrentRecord = log[i];
      PrefetchLogAhead(log, i);
      bool applied = false;
      try {
        applied = QueueRecord(UpdateKindOf(RecordStatus(FCurrentRecord)));
      } catch (const EDatabaseError&) {
        alone = i;
        break;
      }
      batch.push_back({i, FQueuedBy, applied});
    }
    FDataSet->PSBatchRun(outcomes);
    std::size_t at = 0;
    for (; at < own; ++at)
      if (at >= outcomes.size() || outcomes[at].Error != nullptr)
        std::rethrow_exception(at < outcomes.size()
                                   ? outcomes[at].Error
                                   : std::make_exception_ptr(EDatabaseError(SBatchOutcomeMissing)));
    std::size_t failed = kNone;
    std::exception_ptr why;
    for (std::size_t k = 0; k < batch.size() && failed == kNone; ++k) {
      if (batch[k].By == nullptr) continue;
      const TBatchOutcome* outcome = at < outcomes.size() ? &outcomes[at++] : nullptr;
      if (outcome == nullptr || !outcome->Run || outcome->Error != nullptr) {
        failed = k;
        why = outcome != nullptr && outcome->Error != nullptr
                  ? outcome->Error
                  : std::make_exception_ptr(EDatabaseError(SBatchOutcomeMissing));
        break;
      }
      try {
        batch[k].By->CheckRowsAffected(outcome->Rows, FUpdateOptions);
      } catch (const EDatabaseError&) {
        failed = k;
        why = std::current_exception();
      }
    }
    if (failed == kNone) {
      for (const TQueued& q : batch)
        if (q.Applied) Applied.push_back(q.Index);
      size = std::min(size * 2, capacity);
      continue;
    }
    FCurrentRecord = log[batch[failed].Index];
    if (!Undo) std::rethrow_exception(why);
    FDataSet->PSExecuteStatement("ROLLBACK TO SAVEPOINT qvl_apply_batch", nullptr);
    i = start;
    alone = batch[failed].Index;
  }
  if (saved && Release) FDataSet->PSExecuteStatement("RELEASE SAVEPOINT qvl_apply_batch", nullptr);
}

void TQVLDataSetImpl::CommitApplied(const std::vector<std::size_t>& Applied) {
  FHost.UpdateCursorPos();
  // Committing may free records (applied deletes), so the log is rebuilt by
  // position rather than searched for each record: one pass for the whole
  // log, however long.
  std::vector<TRecordBuffer>& log = *FUpdateLog;
  for (std::size_t k = 0; k < Applied.size(); ++k) {
    if (k + 2 < Applied.size()) __builtin_prefetch(log[Applied[k + 2]]);
    if (k + 1 < Applied.size()) {
      // Freeing the old record reads its blob slots.
      if (TRecordBuffer old = RecordOld(log[Applied[k + 1]])) PrefetchRecord(old);
    }
    CommitUpdate(log[Applied[k]]);
  }
  std::size_t kept = 0, next = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (next < Applied.size() && Applied[next] == i) {
      ++next;
      continue;
    }
    log[kept++] = log[i];
  }
  log.resize(kept);
  ResyncAndCheckForScroll();
}

void TQVLDataSetImpl::ApplyAtOnce(TUpdateStatus Status) {
  TRecordBuffer record = FCurrentRecord;
  if (FBeforeApplyUpdates) FBeforeApplyUpdates(FDataSet);
  const bool inTransaction =
      (FUpdateOptions & uoUpdateInTransaction) != 0 && !FDataSet->PSInTransaction();
  if (inTransaction) FDataSet->PSStartTransaction();
  const TApplyTransactionScope own(FApplyTransaction, inTransaction);
  try {
    if (!UpdateRecord(UpdateKindOf(Status), FDataSet)) DatabaseError(SCannotSkipUpdate);
    // Final in the cache only once the server has it for good.
    if (inTransaction) FDataSet->PSEndTransaction(true);
  } catch (...) {
    if (inTransaction) RollbackQuietly(FDataSet);
    throw;
  }
  SetRecordStatus(record, Status);
  SetRecordOld(record, FEditBackup);
  FEditBackup = nullptr;
  CommitUpdate(record);
  if (FAfterApplyUpdates) FAfterApplyUpdates(FDataSet);
}

void TQVLDataSetImpl::SetUpdateObject(TQVLDataSetUpdateObject* Value) {
  if (Value == FUpdateObject) return;
  if (FUpdateObject != nullptr) FUpdateObject->FDataSetImpl = nullptr;
  FUpdateObject = Value;
  if (Value == nullptr) return;
  // An object serves one engine: taking it from another one unlinks it there.
  if (Value->FDataSetImpl != nullptr && Value->FDataSetImpl != this)
    Value->FDataSetImpl->FUpdateObject = nullptr;
  Value->FDataSetImpl = this;
}

// ---- bookmarks --------------------------------------------------------------

bool TQVLDataSetImpl::RecordIsLive(TRecordBuffer Record) const {
  return FAllocator != nullptr && FAllocator->RecordStamp(Record) != 0;
}

void TQVLDataSetImpl::GetBookmarkData(TRecordBuffer Buffer, void* Data) {
  TRecordBuffer record = CellRecord(Buffer);
  std::uint64_t stamp = 0;
  if (record != FBOF && record != FEOF && FAllocator != nullptr)
    stamp = FAllocator->RecordStamp(record);
  auto* out = static_cast<std::uint8_t*>(Data);
  StorePtr(out, record);
  std::memcpy(out + sizeof(void*), &stamp, sizeof stamp);
}

void TQVLDataSetImpl::SetBookmarkData(TRecordBuffer Buffer, const void* Data) {
  if (!BookmarkValid(Data)) DatabaseError(SInvalidBookmark);
  TRecordBuffer target = LoadPtr(static_cast<const std::uint8_t*>(Data));
  if (target == FBOF) return SetBookmarkFlag(Buffer, bfBOF);
  if (target == FEOF) return SetBookmarkFlag(Buffer, bfEOF);
  TRecordBuffer record = CellRecord(Buffer);
  SetRecordNext(record, target);
  SetRecordPrior(record, RecordPrior(target));
  SetRecordNo(record, RecordNo(target));
}

TBookmarkFlag TQVLDataSetImpl::GetBookmarkFlag(TRecordBuffer Buffer) {
  TRecordBuffer record = CellRecord(Buffer);
  if (record == nullptr) return bfInserted;
  TRecordBuffer prior = RecordPrior(record);
  return prior != nullptr && RecordNext(prior) == record ? bfCurrent : bfInserted;
}

void TQVLDataSetImpl::SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) {
  TRecordBuffer record = CellRecord(Buffer);
  switch (Value) {
    case bfBOF:
      SetRecordNext(record, RecordNext(FBOF));
      SetRecordPrior(record, FBOF);
      SetRecordNo(record, 1);
      break;
    case bfEOF:
      InternalLast();
      SetRecordNext(record, FEOF);
      SetRecordPrior(record, RecordPrior(FEOF));
      SetRecordNo(record, RecordNo(RecordPrior(FEOF)) + 1);
      break;
    default:
      break;
  }
}

void TQVLDataSetImpl::InternalGotoBookmark(const void* Bookmark) {
  if (!BookmarkValid(Bookmark)) DatabaseError(SInvalidBookmark);
  FCurrentRecord = LoadPtr(static_cast<const std::uint8_t*>(Bookmark));
}

void TQVLDataSetImpl::InternalSetToRecord(TRecordBuffer Buffer) {
  if (TRecordBuffer record = CellRecord(Buffer)) FCurrentRecord = record;
}

bool TQVLDataSetImpl::BookmarkValid(const void* Bookmark) const {
  if (Bookmark == nullptr) return false;
  const auto* data = static_cast<const std::uint8_t*>(Bookmark);
  TRecordBuffer record = LoadPtr(data);
  if (record == FBOF || record == FEOF) return true;
  std::uint64_t stamp;
  std::memcpy(&stamp, data + sizeof(void*), sizeof stamp);
  // Only records the allocator vouches for are read: a freed record keeps its
  // memory until the allocator goes, but has lost its stamp.
  if (stamp == 0 || FAllocator == nullptr || FAllocator->RecordStamp(record) != stamp) return false;
  TRecordBuffer prior = RecordPrior(record);
  if (prior != FBOF && !RecordIsLive(prior)) return false;
  return RecordNext(prior) == record;
}

int TQVLDataSetImpl::CompareBookmarks(const void* Bookmark1, const void* Bookmark2) const {
  static constexpr std::int8_t kByEmptiness[4] = {0, -1, 1, 0};
  // A bookmark whose record is gone cannot be placed: it sorts as an empty
  // one, without reading the record.
  const bool empty1 = !BookmarkValid(Bookmark1);
  const bool empty2 = !BookmarkValid(Bookmark2);
  if (empty1 || empty2) return kByEmptiness[(empty1 ? 2 : 0) + (empty2 ? 1 : 0)];
  auto rank = [this](const void* Bookmark) -> std::int64_t {
    TRecordBuffer record = LoadPtr(static_cast<const std::uint8_t*>(Bookmark));
    if (record == FBOF) return 0;
    if (record == FEOF) return std::int64_t{INT32_MAX} + 1;
    return RecordNo(record);
  };
  const std::int64_t r1 = rank(Bookmark1), r2 = rank(Bookmark2);
  return r1 < r2 ? -1 : (r1 > r2 ? 1 : 0);
}

// ---- invariants -------------------------------------------------------------------------

std::string TQVLDataSetImpl::InvariantFault() const {
  // A unidirectional engine keeps its one record out of the chain.
  if (FAllocator == nullptr || FDataSet->GetUniDirectional()) return "";
  auto* bof = const_cast<std::uint8_t*>(FBOF);
  auto* eof = const_cast<std::uint8_t*>(FEOF);
  std::unordered_set<TRecordBuffer> changed;  // linked records that are not unmodified
  std::int32_t n = 0;
  TRecordBuffer last = bof;
  for (TRecordBuffer r = RecordNext(bof); r != nullptr && r != eof; r = RecordNext(r)) {
    const std::string no = std::to_string(++n);
    if (!RecordIsLive(r)) return Format(SChainRecordNotLive, {no});
    if (RecordPrior(r) != last) return Format(SChainPriorLink, {no});
    if (RecordNo(r) != n) return Format(SChainRecordNumber, {no, std::to_string(RecordNo(r))});
    const TUpdateStatus status = RecordStatus(r);
    if (status != usUnmodified) changed.insert(r);
    // A deleted record's old values are its values before an edit, if it
    // had one; otherwise the record itself holds them.
    if (status == usModified && RecordOld(r) == nullptr) return Format(SOldValuesMissing, {no});
    if ((status == usUnmodified || status == usInserted) && RecordOld(r) != nullptr)
      return Format(SOldValuesStray, {no});
    last = r;
  }
  if (RecordPrior(eof) != last) return Format(SChainLastRecord, {std::to_string(n)});
  const std::size_t logged = FUpdateLog ? FUpdateLog->size() : 0;
  std::unordered_set<TRecordBuffer> seen;
  for (std::size_t i = 0; i < logged; ++i) {
    TRecordBuffer r = (*FUpdateLog)[i];
    if (!RecordIsLive(r) || (RecordStatus(r) != usUnmodified && changed.count(r) == 0))
      return SLogRecordNotLinked;
    const std::string no = std::to_string(RecordNo(r));
    if (!seen.insert(r).second) return Format(SLogRecordTwice, {no});
    if (RecordStatus(r) == usUnmodified) return Format(SLogRecordUnmodified, {no});
  }
  for (TRecordBuffer r : changed)
    if (seen.count(r) == 0) return Format(SLogRecordMissing, {std::to_string(RecordNo(r))});
  return "";
}

std::string TQVLDataSetImpl::TailFault() const {
  if (FDataSet->GetUniDirectional()) return "";
  auto* bof = const_cast<std::uint8_t*>(FBOF);
  TRecordBuffer last = RecordPrior(const_cast<std::uint8_t*>(FEOF));
  if (last == bof) return "";
  TRecordBuffer prior = RecordPrior(last);
  const std::string no = std::to_string(RecordNo(prior) + 1);
  if (RecordNext(prior) != last) return Format(SChainPriorLink, {no});
  if (RecordNo(last) != RecordNo(prior) + 1)
    return Format(SChainRecordNumber, {no, std::to_string(RecordNo(last))});
  return "";
}

}  // namespace qvl
