#include "qvl/host/dataset/DataSet.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "qvl/host/dataset/DBConsts.h"
#include "qvl/host/dataset/DataLink.h"
#include "qvl/host/dataset/Field.h"
#include "qvl/host/runtime/BlobByteData.h"
#include "qvl/host/runtime/Invariants.h"
#include "qvl/host/runtime/ScopedValue.h"
#include "qvl/host/runtime/Stream.h"
#include "qvl/host/runtime/Strings.h"

namespace qvl {

TDataSet::TDataSet(TComponent* AOwner)
    : TComponent(AOwner),
      FFields(std::make_unique<TFields>(this)),
      FFieldDefs(std::make_unique<TFieldDefs>()) {}

TDataSet::~TDataSet() {
  // The descendant closed the dataset in its destructor (DestroyingDataSet);
  // the overrides that closing needs are gone by now.
  if (!FDestroyingDataSet) {
    FDestroyingDataSet = true;
    Destroying();
  }
  while (!FDataLinks.empty()) FDataLinks.back()->SetDataSet(nullptr);
}

// Descendants call this first in their destructors, while their overrides
// still exist: closing needs InternalClose and FreeRecordBuffer.
void TDataSet::DestroyingDataSet() {
  if (FDestroyingDataSet) return;
  FDestroyingDataSet = true;
  Destroying();
  if (FActive) {
    try {
      // Events of a dying dataset would reach half-destroyed handlers.
      FBeforeClose = nullptr;
      FAfterClose = nullptr;
      SetActive(false);
    } catch (...) {
      ApplicationHandleException(this);
    }
  }
  while (!FDataLinks.empty()) FDataLinks.back()->SetDataSet(nullptr);
}

// ---- state ---------------------------------------------------------------------

void TDataSet::CheckActive() const {
  if (!FActive) DatabaseError(SDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
  if (FActive) DatabaseError(SDataSetOpen, this);
}

void TDataSet::CheckBiDirectional() const {
  if (FUniDirectional) DatabaseError(SDataSetUnidirectional, this);
}

void TDataSet::SetState(TDataSetState Value) {
  if (FState == Value) return;
  FState = Value;
  FModified = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState Value) {
  TDataSetState old = FState;
  FState = Value;
  ++FDisableCount;
  return old;
}

void TDataSet::RestoreState(TDataSetState Value) {
  FState = Value;
  if (FDisableCount > 0) --FDisableCount;
}

void TDataSet::SetActive(bool Value) {
  if (IsReading()) {
    // Properties are still being read: open once they all are (Loaded).
    FStreamedActive = Value;
    return;
  }
  if (Value == FActive) return;
  if (Value) {
    DoBeforeOpen();
    try {
      OpenCursor();
    } catch (...) {
      try {
        CloseCursor();
      } catch (...) {
      }
      FActive = false;
      FState = dsInactive;
      throw;
    }
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    if (FBeforeClose) FBeforeClose(this);
    SetState(dsInactive);
    CloseCursor();
    DataEvent(deUpdateState, 0);
    if (FAfterClose) FAfterClose(this);
  }
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (FStreamedActive) {
    FStreamedActive = false;
    try {
      SetActive(true);
    } catch (...) {
      InternalHandleException();
    }
  }
}

void TDataSet::OpenCursor() {
  FState = dsOpening;
  InternalOpen();
  FActive = true;
  FBOF = true;
  FEOF = false;
  UpdateBufferCount();
  FState = dsInactive;
  SetState(dsBrowse);
  ClearBuffers();
  InternalFirst();
  GetNextRecord();
  GetNextRecords();
  FBOF = true;
  FEOF = FRecordCount == 0;
  DataEvent(deDataSetChange, 0);
}

void TDataSet::CloseCursor() {
  FState = dsInactive;
  ClearBuffers();
  SetBufListSize(0);
  FBufferCount = 0;
  FCalcBuffer = nullptr;
  bool wasOpen = FActive;
  FActive = false;
  if (wasOpen || IsCursorOpen()) InternalClose();
  DestroyDefaultFields();
}

void TDataSet::DoBeforeOpen() {
  if (FBeforeOpen) FBeforeOpen(this);
}
void TDataSet::DoAfterOpen() {
  if (FAfterOpen) FAfterOpen(this);
}
void TDataSet::DoOnNewRecord() {
  if (FOnNewRecord) FOnNewRecord(this);
}
void TDataSet::DoBeforeScroll() {
  if (FBeforeScroll) FBeforeScroll(this);
}
void TDataSet::DoAfterScroll() {
  if (FAfterScroll) FAfterScroll(this);
}

void TDataSet::InternalHandleException() {
  ApplicationHandleException(this);
}

// ---- fields ----------------------------------------------------------------------

void TDataSet::InitFieldDefs() {
  FFieldDefs->Clear();
  InternalInitFieldDefs();
}

void TDataSet::CreateAndBindFields() {
  bool hasDataFields = false;
  for (int i = 0; i < FFields->Count(); ++i)
    if (FFields->Items(i)->GetFieldKind() == fkData) hasDataFields = true;
  if (!hasDataFields && FFieldDefs->Count() > 0) {
    // Default fields go before the application's calculated and lookup
    // fields, in the order of the definitions.
    std::vector<std::unique_ptr<TField>> made;
    for (int i = 0; i < FFieldDefs->Count(); ++i) {
      TFieldDef* def = FFieldDefs->Items(i);
      auto field = CreateFieldForType(def->DataType, def->Size, def->Precision);
      field->SetFieldName(def->Name);
      field->SetRequired(def->Required);
      field->SetReadOnly(def->ReadOnly);
      field->SetOrigin(def->Origin);
      if (def->InKey) field->SetProviderFlags(field->GetProviderFlags() | pfInKey);
      if (!def->InWhere)
        field->SetProviderFlags(
            static_cast<TProviderFlags>(field->GetProviderFlags() & ~pfInWhere));
      if (TObjectField* obj = field->AsObjectField()) obj->SetObjectType(def->ObjectType);
      made.push_back(std::move(field));
    }
    // Re-add the application's fields after the defaults.
    std::vector<std::unique_ptr<TField>> keep;
    FFields->ExtractAll(keep);
    for (auto& f : made) FFields->Add(std::move(f));
    for (auto& f : keep) FFields->Add(std::move(f));
    FDefaultFields = true;
  } else {
    FDefaultFields = false;
  }
  // Bind: data fields take their number from their definition.
  for (int i = 0; i < FFields->Count(); ++i) {
    TField* f = FFields->Items(i);
    f->AttachTo(this);
    if (f->GetFieldKind() == fkData) {
      TFieldDef* def = FFieldDefs->Find(f->GetFieldName());
      if (def == nullptr) DatabaseErrorFmt(SFieldNotFound, {f->GetFieldName()}, this);
      f->FFieldNo = def->FieldNo;
    } else {
      f->FFieldNo = -1;
    }
  }
}

void TDataSet::DestroyDefaultFields() {
  if (!FDefaultFields) return;
  FFields->RemoveDataFields();
  FDefaultFields = false;
}

TField* TDataSet::FindField(const std::string& FieldName) const {
  return FFields->FindField(FieldName);
}

TField* TDataSet::FieldByName(const std::string& FieldName) const {
  TField* f = FindField(FieldName);
  if (f == nullptr) DatabaseErrorFmt(SFieldNotFound, {FieldName}, this);
  return f;
}

TField* TDataSet::FieldByNumber(int FieldNo) const {
  return FFields->FieldByNumber(FieldNo);
}

void TDataSet::GetFieldList(std::vector<TField*>& List, const std::string& FieldNames) const {
  std::size_t pos = 0;
  while (pos <= FieldNames.size()) {
    std::size_t end = FieldNames.find(';', pos);
    if (end == std::string::npos) end = FieldNames.size();
    std::string name = FieldNames.substr(pos, end - pos);
    while (!name.empty() && name.front() == ' ') name.erase(0, 1);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (!name.empty()) List.push_back(FieldByName(name));
    pos = end + 1;
  }
}

Variant TDataSet::GetFieldValue(const std::string& FieldNames) const {
  std::vector<TField*> fields;
  GetFieldList(fields, FieldNames);
  if (fields.size() == 1) return fields[0]->GetAsVariant();
  std::vector<Variant> values;
  for (TField* f : fields) values.push_back(f->GetAsVariant());
  return VarArrayOf(std::move(values));
}

void TDataSet::SetFieldValue(const std::string& FieldName, const Variant& Value) {
  FieldByName(FieldName)->SetAsVariant(Value);
}

int TDataSet::BlobFieldCount() const {
  int n = 0;
  for (int i = 0; i < FFields->Count(); ++i)
    if (FFields->Items(i)->IsBlob()) ++n;
  return n;
}

bool TDataSet::HasCalcFields() const {
  for (int i = 0; i < FFields->Count(); ++i) {
    TFieldKind k = FFields->Items(i)->GetFieldKind();
    if (k == fkCalculated || k == fkLookup) return true;
  }
  return false;
}

void TDataSet::SetFields(const std::vector<Variant>& Values) {
  for (std::size_t i = 0; i < Values.size() && static_cast<int>(i) < FFields->Count(); ++i)
    if (!Values[i].IsEmpty()) FFields->Items(static_cast<int>(i))->SetAsVariant(Values[i]);
}

void TDataSet::CheckRequiredFields() {
  for (int i = 0; i < FFields->Count(); ++i) {
    TField* f = FFields->Items(i);
    if (f->GetRequired() && !f->GetReadOnly() && f->GetFieldKind() == fkData && f->IsNull())
      DatabaseErrorFmt(SFieldRequired, {f->GetDisplayName()}, this);
  }
}

// ---- calculated fields -------------------------------------------------------------

void TDataSet::GetCalcFields(TRecordBuffer Buffer) {
  if (!HasCalcFields() && !FOnCalcFields) return;
  TDataSetTempState state(*this, dsCalcFields);
  CalculateFields(Buffer);
}

void TDataSet::CalculateFields(TRecordBuffer Buffer) {
  // A handler may calculate another record of this dataset (a Lookup on
  // itself): the outer calculation goes on with its own buffer afterwards.
  TScopedValue<TRecordBuffer> calcBuffer(FCalcBuffer, Buffer);
  ClearCalcFields(Buffer);
  for (int i = 0; i < FFields->Count(); ++i) {
    TField* f = FFields->Items(i);
    if (f->GetFieldKind() == fkLookup) CalcLookupValue(f);
  }
  if (FOnCalcFields) FOnCalcFields(this);
}

void TDataSet::ClearCalcFields(TRecordBuffer Buffer) {
  (void)Buffer;
}

void TDataSet::CalcLookupValue(TField* Field) {
  TDataSet* lookup = Field->GetLookupDataSet();
  if (lookup == nullptr || !lookup->GetActive() || Field->GetKeyFields().empty() ||
      Field->GetLookupKeyFields().empty() || Field->GetLookupResultField().empty()) {
    Field->SetData(nullptr);
    return;
  }
  Variant keys = GetFieldValue(Field->GetKeyFields());
  Variant value = lookup->Lookup(Field->GetLookupKeyFields(), keys, Field->GetLookupResultField());
  if (value.IsNull() || value.IsEmpty())
    Field->SetData(nullptr);
  else
    Field->SetAsVariant(value);
}

// ---- buffers ------------------------------------------------------------------------

TRecordBuffer TDataSet::Buffer(int Index) const {
  return FBuffers.at(static_cast<std::size_t>(Index));
}

// The list holds BufferCount buffers plus a spare at the end.
void TDataSet::SetBufListSize(int Value) {
  int size = static_cast<int>(FBuffers.size());
  if (Value == size) return;
  while (size > Value) {
    FreeRecordBuffer(FBuffers.back());
    FBuffers.pop_back();
    --size;
  }
  while (size < Value) {
    FBuffers.push_back(AllocRecordBuffer());
    ++size;
  }
}

void TDataSet::SetBufferCount(int Value) {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (Value < 1) Value = 1;
  if (Value == FBufferCount) return;
  // Keep the active record in the window when it shrinks.
  if (Value < FRecordCount) {
    int drop = std::max(0, FActiveRecord - (Value - 1));
    for (int i = 0; i < drop; ++i) MoveBuffer(0, FRecordCount - 1);
    FActiveRecord -= drop;
    if (FCurrentRecord >= 0) FCurrentRecord -= drop;
    FRecordCount = Value;
    if (FCurrentRecord >= FRecordCount || FCurrentRecord < 0) FCurrentRecord = -1;
  }
  SetBufListSize(Value + 1);
  FBufferCount = Value;
  if (FActive && FRecordCount > 0 && FRecordCount < FBufferCount) {
    GetNextRecords();
    GetPriorRecords();
  }
}

int TDataSet::WantedBufferCount() const {
  int n = 1;
  for (TDataLink* link : FDataLinks) n = std::max(n, link->GetBufferCount());
  return n;
}

void TDataSet::UpdateBufferCount() {
  SetBufferCount(FUniDirectional ? 1 : WantedBufferCount());
}

void TDataSet::ClearBuffers() {
  FRecordCount = 0;
  FActiveRecord = 0;
  FCurrentRecord = -1;
  FBOF = true;
  FEOF = true;
}

TDataSet::TWindowState TDataSet::SaveWindow() const {
  return {FRecordCount, FActiveRecord, FBOF, FEOF};
}

// A refill that failed before placing any record leaves the buffers as they
// were: the window shows them again, and the cursor is placed anew.
void TDataSet::RestoreEmptyWindow(const TWindowState& Saved) {
  if (FRecordCount != 0) return;
  FRecordCount = Saved.RecordCount;
  FActiveRecord = Saved.ActiveRecord;
  FBOF = Saved.AtBOF;
  FEOF = Saved.AtEOF;
  FCurrentRecord = -1;
}

void TDataSet::ActivateBuffers() {
  FRecordCount = 1;
  FActiveRecord = 0;
  FCurrentRecord = 0;
  FBOF = false;
  FEOF = false;
}

// Moves the buffer at CurIndex to NewIndex, shifting the ones between.
void TDataSet::MoveBuffer(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  TRecordBuffer b = FBuffers[static_cast<std::size_t>(CurIndex)];
  if (CurIndex < NewIndex)
    std::move(FBuffers.begin() + CurIndex + 1, FBuffers.begin() + NewIndex + 1,
              FBuffers.begin() + CurIndex);
  else
    std::move_backward(FBuffers.begin() + NewIndex, FBuffers.begin() + CurIndex,
                       FBuffers.begin() + CurIndex + 1);
  FBuffers[static_cast<std::size_t>(NewIndex)] = b;
}

void TDataSet::SetCurrentRecord(int Index) {
  if (FCurrentRecord == Index) return;
  if (!FUniDirectional) {
    TRecordBuffer buffer = FBuffers[static_cast<std::size_t>(Index)];
    switch (GetBookmarkFlag(buffer)) {
      case bfCurrent:
      case bfInserted:
        InternalSetToRecord(buffer);
        break;
      case bfBOF:
        InternalFirst();
        break;
      case bfEOF:
        InternalLast();
        break;
    }
  }
  FCurrentRecord = Index;
}

void TDataSet::UpdateCursorPos() {
  if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

// Reads the record after the window's last one into the window. When the
// window is full its first buffer is dropped (it becomes the spare).
bool TDataSet::GetNextRecord() {
  if (FRecordCount > 0) SetCurrentRecord(FRecordCount - 1);
  TRecordBuffer target = FBuffers[static_cast<std::size_t>(FRecordCount)];
  if (GetRecord(target, gmNext, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (FRecordCount == 0) {
    ActivateBuffers();
    return true;
  }
  if (FRecordCount < FBufferCount) {
    ++FRecordCount;
  } else {
    MoveBuffer(0, FRecordCount);
    if (FActiveRecord > 0) --FActiveRecord;
  }
  FCurrentRecord = FRecordCount - 1;
  return true;
}

// Reads the record before the window's first one into buffer 0. When the
// window is full its last buffer is dropped.
bool TDataSet::GetPriorRecord() {
  CheckBiDirectional();
  if (FRecordCount > 0) SetCurrentRecord(0);
  TRecordBuffer target = FBuffers[static_cast<std::size_t>(FRecordCount)];
  if (GetRecord(target, gmPrior, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (FRecordCount == 0) {
    ActivateBuffers();
    return true;
  }
  MoveBuffer(FRecordCount, 0);
  if (FRecordCount < FBufferCount) {
    ++FRecordCount;
    ++FActiveRecord;
  } else if (FActiveRecord < FRecordCount - 1) {
    ++FActiveRecord;
  }
  FCurrentRecord = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int n = 0;
  while (FRecordCount < FBufferCount && GetNextRecord()) ++n;
  return n;
}

int TDataSet::GetPriorRecords() {
  int n = 0;
  if (FUniDirectional) return 0;
  while (FRecordCount < FBufferCount && GetPriorRecord()) ++n;
  return n;
}

void TDataSet::Resync(TResyncMode Mode) {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (FUniDirectional) {
    // One buffer, no way back: show what the cursor holds now.
    if (FRecordCount > 0 && GetRecord(FBuffers[0], gmCurrent, false) != grOK) ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  TRecordBuffer spare = FBuffers[static_cast<std::size_t>(FRecordCount)];
  if (Mode & rmExact) {
    CursorPosChanged();
    if (GetRecord(spare, gmCurrent, true) != grOK) DatabaseError(SBookmarkNotFound, this);
  } else if (GetRecord(spare, gmCurrent, false) != grOK &&
             GetRecord(spare, gmNext, false) != grOK && GetRecord(spare, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  int before =
      (Mode & rmCenter) ? (FBufferCount - 1) / 2 : std::min(FActiveRecord, FBufferCount - 1);
  MoveBuffer(FRecordCount, 0);
  ActivateBuffers();
  try {
    int k = before;
    while (k > 0 && GetPriorRecord()) --k;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange, 0);
    throw;
  }
  DataEvent(deDataSetChange, 0);
}

std::string TDataSet::InvariantFault() const {
  // Opening makes the buffers after it sets Active.
  if (!FActive || FBuffers.empty()) return "";
  const auto text = [](auto N) { return std::to_string(N); };
  if (FBufferCount < 1 || FBuffers.size() != static_cast<std::size_t>(FBufferCount) + 1)
    return Format(SWindowBufferList, {text(FBuffers.size()), text(FBufferCount)});
  if (FRecordCount < 0 || FRecordCount > FBufferCount)
    return Format(SWindowRecordCount, {text(FRecordCount), text(FBufferCount)});
  if (FActiveRecord < 0 || FActiveRecord >= std::max(FRecordCount, 1))
    return Format(SWindowActiveRecord, {text(FActiveRecord), text(FRecordCount)});
  if (FCurrentRecord < -1 || FCurrentRecord >= std::max(FRecordCount, 1))
    return Format(SWindowCurrentRecord, {text(FCurrentRecord), text(FRecordCount)});
  return "";
}

// ---- navigation ------------------------------------------------------------------------

void TDataSet::First() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  CheckBrowseMode();
  DoBeforeScroll();
  const TWindowState saved = SaveWindow();
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecord();
    GetNextRecords();
  } catch (...) {
    FBOF = true;
    RestoreEmptyWindow(saved);
    DataEvent(deDataSetChange, 0);
    throw;
  }
  FBOF = true;
  FEOF = FRecordCount == 0;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Last() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  CheckBiDirectional();
  CheckBrowseMode();
  DoBeforeScroll();
  const TWindowState saved = SaveWindow();
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecord();
    GetPriorRecords();
  } catch (...) {
    FEOF = true;
    RestoreEmptyWindow(saved);
    DataEvent(deDataSetChange, 0);
    throw;
  }
  FEOF = true;
  FBOF = FRecordCount == 0;
  if (FRecordCount > 0) FActiveRecord = FRecordCount - 1;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

int TDataSet::MoveBy(int Distance) {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  // One step in a window of one buffer that no view watches: the record read
  // into the spare buffer becomes the window, and there is nobody to tell.
  if ((Distance == 1 || Distance == -1) && FBufferCount == 1 && FRecordCount == 1 &&
      FState == dsBrowse && FDataLinks.empty() && FDisableCount == 0)
    return StepOneBufferWindow(Distance > 0);
  CheckBrowseMode();
  if (Distance < 0) CheckBiDirectional();
  int moved = 0;
  if ((Distance > 0 && !FEOF) || (Distance < 0 && !FBOF)) {
    DoBeforeScroll();
    FBOF = false;
    FEOF = false;
    int shifted = 0;  // rows the window moved
    try {
      while (Distance > 0) {
        if (FActiveRecord < FRecordCount - 1) {
          ++FActiveRecord;
        } else {
          bool full = FRecordCount == FBufferCount;
          if (!GetNextRecord()) {
            FEOF = true;
            break;
          }
          if (full) ++shifted;
          FActiveRecord = FRecordCount - 1;
        }
        --Distance;
        ++moved;
      }
      while (Distance < 0) {
        if (FActiveRecord > 0) {
          --FActiveRecord;
        } else {
          bool full = FRecordCount == FBufferCount;
          if (!GetPriorRecord()) {
            FBOF = true;
            break;
          }
          if (full) --shifted;
          FActiveRecord = 0;
        }
        ++Distance;
        --moved;
      }
    } catch (...) {
      DataEvent(deDataSetChange, 0);
      throw;
    }
    if (shifted == 0 || std::abs(shifted) < FBufferCount)
      DataEvent(deDataSetScroll, shifted);
    else
      DataEvent(deDataSetChange, 0);
    DoAfterScroll();
  }
  return moved;
}

int TDataSet::StepOneBufferWindow(bool Forward) {
  if (!Forward) CheckBiDirectional();
  if (Forward ? FEOF : FBOF) return 0;
  DoBeforeScroll();
  FBOF = false;
  FEOF = false;
  if (FCurrentRecord != 0) SetCurrentRecord(0);
  if (GetRecord(FBuffers[1], Forward ? gmNext : gmPrior, true) != grOK) {
    CursorPosChanged();
    (Forward ? FEOF : FBOF) = true;
    DoAfterScroll();
    return 0;
  }
  std::swap(FBuffers[0], FBuffers[1]);
  FCurrentRecord = 0;
  DoAfterScroll();
  return Forward ? 1 : -1;
}

void TDataSet::Refresh() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  CheckBrowseMode();
  if (FBeforeRefresh) FBeforeRefresh(this);
  UpdateCursorPos();
  InternalRefresh();
  Resync(0);
  if (FAfterRefresh) FAfterRefresh(this);
}

// ---- bookmarks -------------------------------------------------------------------------

TBookmark TDataSet::GetBookmark() {
  if (!FActive || FRecordCount == 0 || FBookmarkSize <= 0) return {};
  if (GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return {};
  TBookmark b(static_cast<std::size_t>(FBookmarkSize));
  GetBookmarkData(ActiveBuffer(), b.data());
  return b;
}

void TDataSet::GotoBookmark(const TBookmark& Bookmark) {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (Bookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(Bookmark.data());
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark&) {
  return false;
}

int TDataSet::CompareBookmarks(const TBookmark& A, const TBookmark& B) {
  if (A.empty() || B.empty()) return A.empty() == B.empty() ? 0 : (A.empty() ? 1 : -1);
  return 0;
}

void TDataSet::GetBookmarkData(TRecordBuffer, void*) {}
void TDataSet::SetBookmarkData(TRecordBuffer, const void*) {}
TBookmarkFlag TDataSet::GetBookmarkFlag(TRecordBuffer) {
  return bfCurrent;
}
void TDataSet::SetBookmarkFlag(TRecordBuffer, TBookmarkFlag) {}
void TDataSet::InternalGotoBookmark(const void*) {
  DatabaseError(SNotSupported, this);
}
void TDataSet::InternalSetToRecord(TRecordBuffer) {}

// ---- editing -----------------------------------------------------------------------------

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  if (FState == dsEdit || FState == dsInsert) {
    UpdateRecord();
    if (FModified)
      Post();
    else
      Cancel();
  }
}

void TDataSet::UpdateRecord() {
  if (FState != dsEdit && FState != dsInsert && FState != dsSetKey)
    DatabaseError(SNotEditing, this);
  DataEvent(deUpdateRecord, 0);
}

void TDataSet::CheckOperation(const std::function<void()>& Operation,
                              const TDataSetErrorEvent& ErrorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      Operation();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (ErrorEvent) ErrorEvent(this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) Abort();
      // daRetry: again.
    }
  }
}

void TDataSet::Edit() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (FState == dsEdit || FState == dsInsert) return;
  if (FRecordCount == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly, this);
  if (FBeforeEdit) FBeforeEdit(this);
  CheckOperation([this] { InternalEdit(); }, FOnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  if (FAfterEdit) FAfterEdit(this);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly, this);
  if (FBeforeInsert) FBeforeInsert(this);
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    InternalCancel();
    SetState(dsBrowse);
    Resync(0);
    throw;
  }
  FModified = false;
  DataEvent(deDataSetChange, 0);
  if (FAfterInsert) FAfterInsert(this);
  DoAfterScroll();
}

void TDataSet::Insert() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  BeginInsertAppend();
  TBookmark current = GetBookmark();
  // The spare buffer becomes the new active record; the ones after it shift.
  MoveBuffer(FRecordCount, FActiveRecord);
  TRecordBuffer buffer = ActiveBuffer();
  InitRecord(buffer);
  if (FRecordCount == 0 || current.empty())
    SetBookmarkFlag(buffer, FRecordCount == 0 ? bfBOF : bfEOF);
  else
    SetBookmarkData(buffer, current.data());
  if (FRecordCount < FBufferCount) ++FRecordCount;
  FBOF = false;
  FEOF = false;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  BeginInsertAppend();
  ClearBuffers();
  TRecordBuffer buffer = FBuffers[0];
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  FRecordCount = 1;
  FActiveRecord = 0;
  FBOF = false;
  FEOF = false;
  GetPriorRecords();
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::InitRecord(TRecordBuffer Buffer) {
  InternalInitRecord(Buffer);
  ClearCalcFields(Buffer);
  SetBookmarkFlag(Buffer, bfInserted);
}

void TDataSet::InternalPost() {
  CheckRequiredFields();
}

void TDataSet::InternalAddRecord(TRecordBuffer, bool) {
  DatabaseError(SNotSupported, this);
}

void TDataSet::Post() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  UpdateRecord();
  if (FState != dsEdit && FState != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  if (FBeforePost) FBeforePost(this);
  CheckOperation([this] { InternalPost(); }, FOnPostError);
  SetState(dsBrowse);
  Resync(0);
  if (FAfterPost) FAfterPost(this);
}

void TDataSet::Cancel() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  if (FState != dsEdit && FState != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  if (FBeforeCancel) FBeforeCancel(this);
  bool scrollEvents = FState == dsInsert;
  if (scrollEvents) DoBeforeScroll();
  UpdateCursorPos();
  InternalCancel();
  SetState(dsBrowse);
  Resync(0);
  if (FAfterCancel) FAfterCancel(this);
  if (scrollEvents) DoAfterScroll();
}

void TDataSet::Delete() {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  CheckActive();
  if (FState == dsInsert) {
    Cancel();
    return;
  }
  if (FRecordCount == 0) DatabaseError(SDataSetEmpty, this);
  CheckBrowseMode();
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly, this);
  DataEvent(deCheckBrowseMode, 0);
  if (FBeforeDelete) FBeforeDelete(this);
  DoBeforeScroll();
  CheckOperation([this] { InternalDelete(); }, FOnDeleteError);
  SetState(dsBrowse);
  Resync(0);
  if (FAfterDelete) FAfterDelete(this);
  DoAfterScroll();
}

void TDataSet::InsertRecord(const std::vector<Variant>& Values) {
  AddRecordWithValues(Values, false);
}
void TDataSet::AppendRecord(const std::vector<Variant>& Values) {
  AddRecordWithValues(Values, true);
}

// The new record is filled through the active buffer (fields write to the
// active record in dsInsert state) and handed to InternalAddRecord, which
// places it before the descendant's current record or at the end and posts
// it. The descendant stays on the record that was active, so the insert
// goes before it.
void TDataSet::AddRecordWithValues(const std::vector<Variant>& Values, bool Append) {
  QVL_INVARIANT_SCOPE(*this, FCheckDepth);
  BeginInsertAppend();
  UpdateCursorPos();
  const int savedCount = FRecordCount, savedActive = FActiveRecord, savedCurrent = FCurrentRecord;
  // The new record lives in the spare buffer, shown as the active record
  // while its fields are set.
  const std::size_t spare = static_cast<std::size_t>(FRecordCount);
  const std::size_t active = savedCount == 0 ? spare : static_cast<std::size_t>(FActiveRecord);
  TRecordBuffer buffer = FBuffers[spare];
  InitRecord(buffer);
  std::swap(FBuffers[active], FBuffers[spare]);
  if (savedCount == 0) FRecordCount = 1;
  bool swapped = true;
  auto restoreWindow = [&] {
    if (swapped) std::swap(FBuffers[active], FBuffers[spare]);
    swapped = false;
    FRecordCount = savedCount;
    FActiveRecord = savedActive;
    FCurrentRecord = savedCurrent;
  };
  auto abandon = [&] {
    // The new record goes as a cancelled Append's does: shown as the
    // active one while the descendant lets go of it.
    if (!swapped) std::swap(FBuffers[active], FBuffers[spare]);
    swapped = true;
    FRecordCount = std::max(savedCount, 1);
    FActiveRecord = static_cast<int>(active);
    InternalCancel();
    restoreWindow();
    FState = dsBrowse;
    FModified = false;
    DataEvent(deUpdateState, 0);
    // Put the descendant back on the record that was active: the new one
    // was never placed.
    CursorPosChanged();
    if (FRecordCount > 0)
      UpdateCursorPos();
    else
      InternalFirst();
    Resync(0);
  };
  SetState(dsInsert);
  try {
    DoOnNewRecord();
    SetFields(Values);
    if (FBeforePost) FBeforePost(this);
    restoreWindow();
    CheckOperation([&] { InternalAddRecord(buffer, Append); }, FOnPostError);
  } catch (...) {
    try {
      abandon();
    } catch (...) {
    }
    throw;
  }
  SetState(dsBrowse);
  Resync(0);
  if (FAfterPost) FAfterPost(this);
  if (FAfterInsert) FAfterInsert(this);
  DoAfterScroll();
}

// ---- searching, blobs, field data: defaults -----------------------------------------------

bool TDataSet::Locate(const std::string&, const Variant&, TLocateOptions) {
  return false;
}

Variant TDataSet::Lookup(const std::string&, const Variant&, const std::string&) {
  return Variant::Null();
}

TUpdateStatus TDataSet::UpdateStatus() {
  return usUnmodified;
}

bool TDataSet::IsSequenced() {
  return true;
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) {
  DatabaseError(SNotSupported, this);
}

int TDataSet::GetBlobFieldData(int FieldNo, TBlobByteData& Buffer) {
  TField* f = FieldByNumber(FieldNo);
  if (f == nullptr || !f->IsBlob()) return static_cast<int>(Buffer.Length());
  Buffer = static_cast<TBlobField*>(f)->GetBlobData();
  return static_cast<int>(Buffer.Length());
}

bool TDataSet::GetFieldData(TField*, void*) {
  return false;
}

bool TDataSet::GetFieldData(int FieldNo, void* Buffer) {
  TField* f = FieldByNumber(FieldNo);
  return f != nullptr && GetFieldData(f, Buffer);
}

void TDataSet::SetFieldData(TField*, const void*) {
  DatabaseError(SNotSupported, this);
}

void TDataSet::PeekFieldsData(TField* const* Fields, std::size_t Count, const void** Data,
                              bool* Peeked) {
  for (std::size_t i = 0; i < Count; ++i) Peeked[i] = PeekFieldData(Fields[i], Data[i]);
}

bool TDataSet::GetCurrentRecord(TRecordBuffer) {
  return false;
}

void TDataSet::SetFiltered(bool Value) {
  FFiltered = Value;
}

void TDataSet::SetOnFilterRecord(TFilterRecordEvent Value) {
  FOnFilterRecord = std::move(Value);
}

// ---- provider support defaults ---------------------------------------------------------------

bool TDataSet::PSInTransaction() {
  return false;
}
void TDataSet::PSStartTransaction() {}
void TDataSet::PSEndTransaction(bool) {}
int TDataSet::PSExecuteStatement(const std::string&, TParams*) {
  DatabaseError(SNotSupported, this);
}
std::string TDataSet::PSGetTableName() {
  return "";
}
std::string TDataSet::PSGetQuoteChar() {
  return "\"";
}
bool TDataSet::PSIsSQLBased() {
  return false;
}
bool TDataSet::PSUpdateRecord(TUpdateKind, TDataSet*) {
  return false;
}
int TDataSet::PSBatchCapacity() {
  return 1;
}
void TDataSet::PSBatchAdd(const std::string& SQL, TParams* Params) {
  TBatchOutcome& outcome = FBatchOutcomes.emplace_back();
  for (const TBatchOutcome& before : FBatchOutcomes)
    if (before.Error != nullptr) return;
  try {
    outcome.Rows = PSExecuteStatement(SQL, Params);
  } catch (const EDatabaseError&) {
    outcome.Error = std::current_exception();
  }
  outcome.Run = true;
}
void TDataSet::PSBatchRun(std::vector<TBatchOutcome>& Outcomes) {
  Outcomes.clear();
  Outcomes.swap(FBatchOutcomes);
}

std::string TDataSet::PSInDoubtCommit() {
  return "";
}

TCommitOutcome TDataSet::PSCommitOutcome(const std::string&) {
  return coUnknown;
}

// ---- views ------------------------------------------------------------------------------------

void TDataSet::DisableControls() {
  if (FDisableCount++ == 0) {
    FDisableState = FState;
    FPendingChange = false;
  }
}

void TDataSet::EnableControls() {
  if (FDisableCount == 0 || --FDisableCount > 0) return;
  if (FDisableState != FState) NotifyDataLinks(deUpdateState, 0);
  if (FPendingChange || FDisableState != FState) NotifyDataLinks(deDataSetChange, 0);
  FPendingChange = false;
}

void TDataSet::DataEvent(TDataEvent Event, std::intptr_t Info) {
  switch (Event) {
    case deFieldChange: {
      auto* field = reinterpret_cast<TField*>(Info);
      if (field != nullptr &&
          (field->GetFieldKind() == fkData || field->GetFieldKind() == fkInternalCalc))
        FModified = true;
      if (FState != dsSetKey && FState != dsCalcFields && (HasCalcFields() || FOnCalcFields))
        GetCalcFields(ActiveBuffer());
      if (field != nullptr) field->Change();
      break;
    }
    default:
      break;
  }
  if (FDisableCount == 0) {
    NotifyDataLinks(Event, Info);
  } else if (Event == deDataSetChange || Event == deDataSetScroll || Event == deRecordChange ||
             Event == deFieldChange || Event == deUpdateState) {
    FPendingChange = true;
  }
}

void TDataSet::NotifyDataLinks(TDataEvent Event, std::intptr_t Info) {
  // Every scroll comes here. The links that hear an event are those linked
  // when it began, whatever a handler links or unlinks meanwhile; the usual
  // few are copied on the stack rather than the heap.
  const std::size_t count = FDataLinks.size();
  if (count == 0) return;
  constexpr std::size_t kOnStack = 8;
  if (count <= kOnStack) {
    std::array<TDataLink*, kOnStack> links;
    std::copy(FDataLinks.begin(), FDataLinks.end(), links.begin());
    for (std::size_t i = 0; i < count; ++i) links[i]->DataEvent(Event, Info);
    return;
  }
  const std::vector<TDataLink*> links = FDataLinks;
  for (TDataLink* link : links) link->DataEvent(Event, Info);
}

void TDataSet::AddDataLink(TDataLink* Link) {
  FDataLinks.push_back(Link);
  if (FActive) UpdateBufferCount();
}

void TDataSet::RemoveDataLink(TDataLink* Link) {
  FDataLinks.erase(std::remove(FDataLinks.begin(), FDataLinks.end(), Link), FDataLinks.end());
  if (FActive && !FDestroyingDataSet) UpdateBufferCount();
}

}  // namespace qvl
